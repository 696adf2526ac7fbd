// The closed dump files of this run: the command of -z on each, the ring
// of -W per worker, and the free-space floor of --min-free across workers.
//
// Workers close files (at each rotation) and say so here; the main thread,
// woken at once through an eventfd, starts their commands and keeps the
// rings, so that neither a command nor the removal of an old file holds up
// a worker. Only the floor is kept by the worker that needs room, before it
// opens its next file or when a write found the file system full.
//
// Only files this run created are ever removed, and only while the name
// still leads to the very file (device and inode) that was written. A file
// that its command replaced by NAME.SUFFIX (gzip, xz, zstd --rm) is that
// file from then on; one it renamed otherwise or removed leaves the ring
// and the floor when the command ends: what else the command made is its own.
// A file whose command still runs is not removed until the command ends;
// commands wait their turn, at most kCommandsPerWorker of a worker at once.
// The worker keeps its own ring as it rotates, so -W holds at every moment.
#include <dirent.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "index.h"
#include "mutex.h"
#include "trawlcap.h"

extern char **environ;

namespace {

enum file_state : uint32_t {
    kCommandDue, // closed; its command has not started yet
    kCommandRuns,
    kKept, // counts in the ring and may be removed
    kGone, // removed, or renamed by its command
};

struct closed_file {
    uint32_t worker;
    uint32_t seq;
    int64_t time;  // the time in its name
    char added[8]; // what its command added to its name (gzip: ".gz"), or empty
    dev_t dev;
    ino_t ino;
    pid_t command;
    file_state state;
};

// Commands run at a lower priority than the capture, CPU and disk alike.
constexpr int kCommandNice = 10;
constexpr int kIoprioClassIdle = 3;
constexpr int kIoprioClassShift = 13;

} // namespace

struct dump_files {
    annotated_mutex lock;
    closed_file *files GUARDED_BY(lock) PT_GUARDED_BY(lock); // in the order they were closed
    size_t count GUARDED_BY(lock);
    size_t cap GUARDED_BY(lock);
    // The worker's last file was closed: its ring counts no open file.
    bool ended[kMaxThreads] GUARDED_BY(lock);
    int wake_fd; // eventfd: a file was closed, or SIGHUP came
    std::atomic<uint64_t> removed;
    std::atomic<uint64_t> command_failures;
};

namespace {

void file_name(const dump_instance *instance, const closed_file &f, char *out, size_t size)
{
    int len =
        dump_file_name(instance, instance->threads[f.worker]->setup.stem, f.seq, f.time, out, size);
    if (f.added[0] && len >= 0 && static_cast<size_t>(len) < size)
        snprintf(out + len, size - static_cast<size_t>(len), "%s", f.added);
}

// A command that replaced its file by one new file named after it with a
// suffix (gzip, xz, zstd --rm: NAME.gz): that file takes the old one's
// place in the ring and under the floor. Anything else it made is its own.
bool take_successor(const char *name, closed_file *f)
{
    char dir[kTextSize];
    const char *base = dump_folder_of(name, dir, sizeof(dir));
    size_t len = strlen(base);
    DIR *d = opendir(dir);
    int found = 0;
    char added[sizeof(f->added)] = "";
    for (dirent *e = d ? readdir(d) : nullptr; e; e = readdir(d)) {
        const char *ext = e->d_name + len;
        // The file's own index (--index) is not what its command made.
        if (strncmp(e->d_name, base, len) != 0 || ext[0] != '.' || strlen(ext) >= sizeof(added) ||
            strcmp(ext, kIndexSuffix) == 0 ||
            strspn(ext + 1, "abcdefghijklmnopqrstuvwxyz0123456789") != strlen(ext + 1))
            continue;
        found++;
        snprintf(added, sizeof(added), "%s", ext);
    }
    if (d)
        closedir(d);
    char full[kTextSize + sizeof(added)];
    snprintf(full, sizeof(full), "%s%s", name, added);
    struct stat st;
    if (found != 1 || lstat(full, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    snprintf(f->added, sizeof(f->added), "%s", added);
    f->dev = st.st_dev;
    f->ino = st.st_ino;
    return true;
}

// Whether the name still leads to the file that was written.
bool still_ours(const char *name, const closed_file &f)
{
    struct stat st;
    return stat(name, &st) == 0 && st.st_dev == f.dev && st.st_ino == f.ino;
}

// Removes f if it is still ours; kGone either way.
void remove_file(dump_instance *instance, dump_files *d, closed_file *f) REQUIRES(d->lock)
{
    char name[kTextSize];
    file_name(instance, *f, name, sizeof(name));
    if (still_ours(name, *f) && unlink(name) == 0)
        d->removed.fetch_add(1, std::memory_order_relaxed);
    // Its index, named after the file as it was written, goes with it.
    char index[kTextSize + sizeof(kIndexSuffix)];
    if (instance->index &&
        dump_file_name(instance, instance->threads[f->worker]->setup.stem, f->seq, f->time, name,
                       sizeof(name)) < static_cast<int>(sizeof(name)) &&
        index_file_name(name, index, sizeof(index)) < static_cast<int>(sizeof(index)))
        unlink(index);
    f->state = kGone;
}

void start_command(dump_instance *instance, dump_files *d, closed_file *f) REQUIRES(d->lock)
{
    char name[kTextSize];
    file_name(instance, *f, name, sizeof(name));
    char *argv[] = {instance->post_command, name, nullptr};
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // Its own process group, so that the terminal's Ctrl-C, meant for the
    // capture, does not cut a command short; and the signals the capture
    // ignores or handles at their default again.
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGPIPE, SIGXFSZ, SIGUSR1, SIGHUP, SIGINT, SIGTERM})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                        POSIX_SPAWN_SETPGROUP);
    // Nothing of ours reaches the command: no dump file (it would keep the
    // space of a file the ring removed, or write into a live one), no socket.
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    int rc = posix_spawnp(&f->command, instance->post_command, &actions, &attr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        cannot("run %s on dumpfile %s: %s", instance->post_command, name, strerror(rc));
        d->command_failures.fetch_add(1, std::memory_order_relaxed);
        f->state = kKept;
        return;
    }
    setpriority(PRIO_PROCESS, static_cast<id_t>(f->command), kCommandNice);
    syscall(SYS_ioprio_set, 1 /* IOPRIO_WHO_PROCESS */, f->command,
            kIoprioClassIdle << kIoprioClassShift);
    f->state = kCommandRuns;
}

// A command that ended: one line when it failed; the file then counts only
// if the command left it where it was.
void reap_command(dump_instance *instance, dump_files *d, closed_file *f) REQUIRES(d->lock)
{
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(f->command, &status, WNOHANG)) < 0 && errno == EINTR)
        ;
    if (pid == 0)
        return;
    char name[kTextSize];
    file_name(instance, *f, name, sizeof(name));
    if (pid > 0 && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
        char what[64];
        if (WIFSIGNALED(status))
            snprintf(what, sizeof(what), "killed by signal %d", WTERMSIG(status));
        else
            snprintf(what, sizeof(what), "exit status %d", WEXITSTATUS(status));
        cannot("run %s on dumpfile %s: %s", instance->post_command, name, what);
        d->command_failures.fetch_add(1, std::memory_order_relaxed);
    }
    f->state =
        still_ours(name, *f) || (f->added[0] == '\0' && take_successor(name, f)) ? kKept : kGone;
}

// A file whose command has not started yet leaves the ring or the floor
// without it: said, and counted as a failed command.
void remove_waiting(dump_instance *instance, dump_files *d, closed_file *f, const char *by)
    REQUIRES(d->lock)
{
    char name[kTextSize];
    file_name(instance, *f, name, sizeof(name));
    cannot("run %s on dumpfile %s: removed by %s before its turn", instance->post_command, name,
           by);
    d->command_failures.fetch_add(1, std::memory_order_relaxed);
    remove_file(instance, d, f);
}

// Whether f may be removed: a file whose command runs is left to it; one
// whose command has not started goes without it.
bool removable(const closed_file &f)
{
    return f.state == kKept || f.state == kCommandDue;
}

// Worker w keeps its newest -W files, the one it writes (open_files)
// included, oldest first in the order they were closed; the ring stays the
// newest files without a gap. Files out of it whose command still runs
// stay until it ends: -z adds at most kCommandsPerWorker files.
void keep_ring(dump_instance *instance, dump_files *d, uint32_t w, uint32_t open_files)
    REQUIRES(d->lock)
{
    uint32_t kept = open_files;
    for (size_t i = 0; i < d->count; i++)
        kept += d->files[i].worker == w && d->files[i].state != kGone;
    for (size_t i = 0; i < d->count && kept > instance->file_count; i++) {
        closed_file *f = &d->files[i];
        if (f->worker != w || f->state == kGone)
            continue;
        kept -= f->state == kCommandRuns;
        if (f->state == kCommandRuns)
            continue;
        if (f->state == kCommandDue)
            remove_waiting(instance, d, f, "-W");
        else
            remove_file(instance, d, f);
        kept--;
    }
}

void drop_gone(dump_files *d) REQUIRES(d->lock)
{
    size_t to = 0;
    for (size_t i = 0; i < d->count; i++)
        if (d->files[i].state != kGone)
            d->files[to++] = d->files[i];
    d->count = to;
}

uint64_t free_bytes(const char *path)
{
    char dir[kTextSize];
    dump_folder_of(path, dir, sizeof(dir));
    struct statvfs vfs;
    if (statvfs(dir, &vfs) != 0)
        return UINT64_MAX; // nothing known: nothing removed on a guess
    return static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
}

// The oldest closed file that may be removed, in the order files were
// closed, whichever worker closed it.
closed_file *oldest(dump_files *d) REQUIRES(d->lock)
{
    for (size_t i = 0; i < d->count; i++)
        if (removable(d->files[i]))
            return &d->files[i];
    return nullptr;
}

// Starts the commands whose turn it is: a worker's files in the order they
// were closed, at most kCommandsPerWorker of them at once.
void start_commands(dump_instance *instance, dump_files *d) REQUIRES(d->lock)
{
    uint32_t running[kMaxThreads] = {};
    for (size_t i = 0; i < d->count; i++)
        running[d->files[i].worker] += d->files[i].state == kCommandRuns;
    for (size_t i = 0; i < d->count; i++) {
        closed_file *f = &d->files[i];
        if (f->state == kCommandDue && running[f->worker] < kCommandsPerWorker) {
            start_command(instance, d, f);
            running[f->worker] += f->state == kCommandRuns;
        }
    }
}

} // namespace

int dump_files_init(dump_instance *instance)
{
    auto *d = new (std::nothrow) dump_files{};
    if (d)
        d->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (!d || d->wake_fd < 0)
        return cannot("set up the dump files' housekeeping: %s", strerror(d ? errno : ENOMEM));
    instance->files = d;
    return 0;
}

void dump_files_closed(dump_instance *instance, const dump_thread_ctx *ctx, bool last)
{
    dump_files *d = instance->files;
    const dump_output &o = ctx->out;
    if (!d || o.file_ino == 0)
        return; // not a regular file: nothing to run or remove
    {
        mutex_lock guard(&d->lock);
        d->ended[ctx->setup.stream_index] = last;
        if (d->count == d->cap) {
            size_t cap = d->cap ? 2 * d->cap : 64;
            auto *grown = static_cast<closed_file *>(realloc(d->files, cap * sizeof(closed_file)));
            if (!grown)
                return; // forgotten: never removed, no command; the capture goes on
            d->files = grown;
            d->cap = cap;
        }
        d->files[d->count++] = closed_file{ctx->setup.stream_index,
                                           o.seq,
                                           o.file_time,
                                           "",
                                           o.file_dev,
                                           o.file_ino,
                                           0,
                                           instance->post_command[0] ? kCommandDue : kKept};
    }
    dump_files_kick(instance);
}

bool dump_files_make_room(dump_instance *instance, const char *path, bool write_failed)
{
    dump_files *d = instance->files;
    if (!d || instance->min_free == 0)
        return false;
    mutex_lock guard(&d->lock);
    bool removed = false;
    // A write that failed for want of room frees at least one file, also
    // where the floor seems kept (blocks reserved for root, quotas).
    while (free_bytes(path) < instance->min_free || (write_failed && !removed)) {
        closed_file *f = oldest(d);
        if (!f)
            break;
        if (f->state == kCommandDue)
            remove_waiting(instance, d, f, "--min-free");
        else
            remove_file(instance, d, f);
        removed = true;
    }
    drop_gone(d);
    return removed;
}

size_t dump_files_service(dump_instance *instance, bool final)
{
    dump_files *d = instance->files;
    if (!d)
        return 0;
    mutex_lock guard(&d->lock);
    for (size_t i = 0; i < d->count; i++)
        if (d->files[i].state == kCommandRuns)
            reap_command(instance, d, &d->files[i]);
    start_commands(instance, d);
    if (instance->file_count)
        for (uint32_t w = 0; w < instance->nr_threads; w++)
            keep_ring(instance, d, w, final || d->ended[w] ? 0 : 1);
    drop_gone(d);
    size_t left = 0;
    for (size_t i = 0; i < d->count; i++)
        left += d->files[i].state == kCommandRuns || d->files[i].state == kCommandDue;
    return left;
}

void dump_files_abandon(dump_instance *instance)
{
    dump_files *d = instance->files;
    if (!d)
        return;
    mutex_lock guard(&d->lock);
    for (size_t i = 0; i < d->count; i++) {
        closed_file *f = &d->files[i];
        if (f->state != kCommandRuns && f->state != kCommandDue)
            continue;
        char name[kTextSize];
        file_name(instance, *f, name, sizeof(name));
        if (f->state == kCommandRuns)
            cannot("wait for %s on dumpfile %s: stopped, left running as process %d",
                   instance->post_command, name, static_cast<int>(f->command));
        else
            cannot("run %s on dumpfile %s: stopped before its turn", instance->post_command, name);
    }
}

void dump_files_keep_ring(dump_instance *instance, uint32_t worker)
{
    dump_files *d = instance->files;
    if (!d)
        return;
    mutex_lock guard(&d->lock);
    keep_ring(instance, d, worker, 1);
    drop_gone(d);
}

void dump_files_kick(dump_instance *instance)
{
    // Async-signal-safe: SIGHUP's handler kicks too.
    if (instance->files) {
        uint64_t one = 1;
        ssize_t n = write(instance->files->wake_fd, &one, sizeof one);
        (void)n; // a counter already above zero wakes just the same
    }
}

void dump_files_wait(dump_instance *instance, int timeout_ms)
{
    if (!instance->files) {
        poll(nullptr, 0, timeout_ms);
        return;
    }
    pollfd pfd{instance->files->wake_fd, POLLIN, 0};
    if (poll(&pfd, 1, timeout_ms) > 0) {
        uint64_t n;
        ssize_t got = read(instance->files->wake_fd, &n, sizeof n);
        (void)got;
    }
}

uint64_t dump_files_removed(const dump_instance *instance)
{
    return instance->files ? instance->files->removed.load(std::memory_order_relaxed) : 0;
}

uint64_t dump_files_command_failures(const dump_instance *instance)
{
    return instance->files ? instance->files->command_failures.load(std::memory_order_relaxed) : 0;
}
