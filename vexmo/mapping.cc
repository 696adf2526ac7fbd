// A savefile's bytes (mapping.h): mapped, or read whole; the SIGBUS repair.
#include "mapping.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "internal.h"
#include "savefile.h"

static_assert(std::atomic<uint64_t>::is_always_lock_free);
static_assert(std::atomic<uintptr_t>::is_always_lock_free);

namespace {

// Mappings the SIGBUS handler may repair.
constexpr int kSigbusWatches = 64;
sigbus_watch g_sigbus[kSigbusWatches];
struct sigaction g_old_sigbus;
uintptr_t g_page_mask;

// Input that cannot be mapped is read whole in growing steps from this.
constexpr size_t kFirstRead = size_t{256} << 10;

uint64_t g_read_limit; // set by a test; 0: half the available memory

// Every SIGBUS that is not a fault in one of our mappings goes where it
// would have gone without us: to the handler there was before, to nothing
// when it was ignored, or to the default action, which ends the process.
// A fault at an instruction comes back once we return; anything else (one
// sent by kill, sigqueue or tgkill, whatever its si_addr says) is raised
// again. Our handler stays installed, except on the way to the default.
void pass_on(int sig, siginfo_t *si, void *uc)
{
    bool fault = si->si_code == BUS_ADRALN || si->si_code == BUS_ADRERR ||
                 si->si_code == BUS_OBJERR || si->si_code == BUS_MCEERR_AR;
    void (*old)(int) = g_old_sigbus.sa_handler;
    if (old == SIG_IGN && !fault)
        return;
    if (old != SIG_DFL && old != SIG_IGN) {
        if (g_old_sigbus.sa_flags & SA_SIGINFO)
            g_old_sigbus.sa_sigaction(sig, si, uc);
        else
            old(sig);
        return;
    }
    signal(SIGBUS, SIG_DFL); // a fault cannot be ignored: the kernel would end the process too
    if (!fault)
        raise(sig);
}

// A cut file unmaps its pages from every mapping: map zeros over the rest of
// ours, note it, and let the access run again. Acquire on the bounds pairs
// with watch_mapping's release: a watch seen set is seen whole. Release on
// the cut pairs with its readers' acquire.
void on_sigbus(int sig, siginfo_t *si, void *uc)
{
    auto a = reinterpret_cast<uintptr_t>(si->si_addr);
    for (sigbus_watch &w : g_sigbus) {
        uintptr_t lo = w.lo.load(std::memory_order_acquire),
                  hi = w.hi.load(std::memory_order_acquire);
        if (si->si_code != BUS_ADRERR || lo == 0 || a < lo || a >= hi)
            continue;
        uintptr_t page = a & g_page_mask;
        mmap(reinterpret_cast<void *>(page), hi - page, PROT_READ,
             MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        uintptr_t seen = w.cut_at.load(std::memory_order_relaxed);
        while ((seen == 0 || page < seen) &&
               !w.cut_at.compare_exchange_weak(seen, page, std::memory_order_release))
            ;
        return;
    }
    pass_on(sig, si, uc);
}

// Called on the opening thread only (device opens are serialised).
sigbus_watch *watch_mapping(const void *base, uint64_t size)
{
    static bool installed = false;
    if (!installed) {
        g_page_mask = ~(static_cast<uintptr_t>(sysconf(_SC_PAGESIZE)) - 1);
        struct sigaction sa {};
        sa.sa_sigaction = on_sigbus;
        sa.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGBUS, &sa, &g_old_sigbus);
        installed = true;
    }
    for (sigbus_watch &w : g_sigbus) {
        if (w.lo.load(std::memory_order_relaxed) != 0)
            continue;
        auto lo = reinterpret_cast<uintptr_t>(base);
        w.cut_at.store(0, std::memory_order_relaxed);
        w.hi.store((lo + size + ~g_page_mask) & g_page_mask, std::memory_order_release);
        w.lo.store(lo, std::memory_order_release);
        return &w;
    }
    return nullptr; // unwatched: a cut file then ends the process, as before
}

// The most that input which cannot be mapped may bring: half the memory
// the machine has available now (MemAvailable), so that an endless input
// (a FIFO fed forever) is refused before it takes the memory that the
// host itself needs.
uint64_t read_limit()
{
    if (g_read_limit != 0)
        return g_read_limit;
    unsigned long long kib = 0;
    char line[128];
    FILE *f = fopen("/proc/meminfo", "re");
    while (f && fgets(line, sizeof line, f) && sscanf(line, "MemAvailable: %llu kB", &kib) != 1)
        ;
    if (f)
        fclose(f);
    uint64_t bytes = kib != 0
                         ? uint64_t{kib} << 10
                         : static_cast<uint64_t>(sysconf(_SC_AVPHYS_PAGES)) * sysconf(_SC_PAGESIZE);
    return bytes / 2;
}

// Reads f->fd to its end into memory that grows by remapping, so growing
// copies nothing; one byte past limit at most, to see that there is more.
// 0 or an errno; *size is what was read.
int read_into_copy(savefile_bytes *f, uint64_t limit, size_t *size)
{
    size_t cap = kFirstRead;
    void *p = mmap(nullptr, cap, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    int err = p == MAP_FAILED ? ENOMEM : 0;
    while (err == 0 && *size <= limit) {
        if (*size == cap) {
            void *q = mremap(p, cap, cap * 2, MREMAP_MAYMOVE);
            if (q == MAP_FAILED) {
                err = ENOMEM;
                break;
            }
            p = q;
            cap *= 2;
        }
        size_t room = std::min<uint64_t>(cap, limit + 1) - *size;
        ssize_t got = read(f->fd, static_cast<uint8_t *>(p) + *size, room);
        if (got <= 0) {
            err = got < 0 && errno != EINTR ? errno : 0;
            if (got == 0 || err != 0)
                break;
            continue;
        }
        *size += static_cast<size_t>(got);
    }
    f->copy = p == MAP_FAILED ? nullptr : p; // release_savefile gives it back
    f->copy_size = cap;
    return err;
}

// Reads what cannot be mapped (a FIFO, a pipe) whole, at most read_limit()
// bytes.
int read_whole(const char *path, savefile_bytes *f)
{
    uint64_t limit = read_limit();
    size_t size = 0;
    int err = read_into_copy(f, limit, &size);
    if (err != 0)
        return savefile_cannot_errno(err == ENOMEM ? "read" : "open", path, err);
    if (size > limit) {
        char why[160];
        snprintf(why, sizeof why,
                 "more than %llu bytes, the limit for input that cannot be mapped "
                 "(half the memory available)",
                 static_cast<unsigned long long>(limit));
        return savefile_cannot("read", path, why);
    }
    f->base = static_cast<const uint8_t *>(f->copy);
    f->size = size;
    return 0;
}

int map_or_read(const char *path, savefile_bytes *f)
{
    f->fd = open(path, O_RDONLY | O_CLOEXEC);
    struct stat st;
    if (f->fd < 0 || fstat(f->fd, &st) < 0)
        return savefile_cannot_errno("open", path, errno);
    // A device may never end (/dev/zero); a directory has no bytes.
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode))
        return savefile_cannot("open", path,
                               S_ISCHR(st.st_mode) ? "a character device is not a savefile"
                                                   : "a block device is not a savefile");
    if (S_ISDIR(st.st_mode))
        return savefile_cannot_errno("open", path, EISDIR);
    if (!S_ISREG(st.st_mode) || st.st_size == 0)
        return read_whole(path, f);
    void *p = mmap(nullptr, static_cast<size_t>(st.st_size), PROT_READ, MAP_PRIVATE, f->fd, 0);
    if (p == MAP_FAILED)
        return read_whole(path, f);
    f->base = static_cast<const uint8_t *>(p);
    f->size = static_cast<uint64_t>(st.st_size);
    f->mapped = true;
    f->watch = watch_mapping(p, f->size);
    f->page_mask = g_page_mask;
    return 0;
}

} // namespace

void replay_set_read_limit(uint64_t bytes)
{
    g_read_limit = bytes;
}

int load_savefile(const char *path, savefile_bytes *f)
{
    int rc = map_or_read(path, f);
    f->readable.store(f->size, std::memory_order_relaxed); // before any reader has f
    return rc;
}

void release_savefile(savefile_bytes *f)
{
    // Release: a handler that sees the watch free no longer reads its bounds.
    if (f->watch)
        f->watch->lo.store(0, std::memory_order_release);
    if (f->mapped)
        munmap(const_cast<uint8_t *>(f->base), f->size);
    if (f->copy)
        munmap(f->copy, f->copy_size);
    if (f->fd >= 0)
        close(f->fd);
}

void keep_head(savefile_bytes *f, uint64_t head_at)
{
    if (head_at == 0 || !f->mapped)
        return;
    f->head_at = head_at;
    memcpy(f->head, f->base + head_at, sizeof f->head);
}

uint64_t end_after_look(const savefile_bytes *f, bool *over)
{
    uint64_t was = readable_end(f);
    *over = false;
    if (!f->mapped)
        return was;
    bool changed = written_over(f); // first: reading a cut head faults, and is noted
    uint64_t now = was;
    struct stat st;
    if (fstat(f->fd, &st) == 0 && static_cast<uint64_t>(st.st_size) < now)
        now = static_cast<uint64_t>(st.st_size);
    // Acquire pairs with the handler's release of the cut.
    uintptr_t at = f->watch ? f->watch->cut_at.load(std::memory_order_acquire) : 0;
    if (at != 0 && at - reinterpret_cast<uintptr_t>(f->base) < now)
        now = at - reinterpret_cast<uintptr_t>(f->base);
    *over = changed && now >= f->head_at + sizeof f->head; // a cut head reads as zeros
    return *over ? 0 : now;
}

void lower_readable_end(savefile_bytes *f, uint64_t now)
{
    if (now < f->readable.load(std::memory_order_relaxed))
        f->readable.store(now, std::memory_order_release);
}

void populate(savefile_bytes *f, uint64_t from, uint64_t to)
{
    if (!f->mapped || to <= f->populated.load(std::memory_order_relaxed))
        return;
    uintptr_t lo = reinterpret_cast<uintptr_t>(f->base + from) & f->page_mask;
    madvise(reinterpret_cast<void *>(lo), reinterpret_cast<uintptr_t>(f->base + to) - lo,
            MADV_POPULATE_READ);
    f->populated.store(to, std::memory_order_relaxed);
}
