// Dump files: opening them with their header, the write buffer and its
// writes, keeping a file whole when a write fails, closing and rotating.
//
// Records go into the worker's own buffer and reach the file with write(2),
// a megabyte at a time, or sooner when they have waited a second. The file
// header is libpcap's (pcap_dump_fopen on the shared dead handle); the
// records after it are the same bytes pcap_dump writes. Owning the buffer
// is what lets a failed write keep every record that reached the file whole
// and cut only the last, partial one, lets --min-free make room and write
// the rest, and lets -C know each file's size exactly.
#include <dirent.h>
#include <fcntl.h>
#include <stdio_ext.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "trawlcap.h"

namespace {

// Opens name for writing, or a new descriptor for what a name such as
// /dev/stdout stands for (so that its offset and O_APPEND are kept, and
// nothing is truncated). `fresh`: the name must not exist yet (errno
// EEXIST), so that a rotated name never writes over an earlier run's file.
// Null with errno EINTR when a stop signal came while the open was blocked
// (a FIFO nobody reads): the set-up ends there. Close-on-exec throughout:
// a -z command must not hold (or write into) a worker's file.
FILE *open_target(const char *name, bool fresh)
{
    int fd = dump_target_fd(name);
    if (fd >= 0) {
        int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
        FILE *f = copy < 0 ? nullptr : fdopen(copy, "wb");
        if (!f && copy >= 0)
            close(copy);
        return f;
    }
    for (;;) {
        int made = fresh ? open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666) : -1;
        FILE *f = fresh ? (made < 0 ? nullptr : fdopen(made, "wb")) : fopen(name, "wbe");
        if (!f && made >= 0)
            close(made);
        // Other signals (SIGUSR1) interrupt the open too; they must not end it.
        if (f || errno != EINTR || g_dump_instance->running.load(std::memory_order_relaxed) != 1)
            return f;
    }
}

// The number after the highest any file of this stem has in its folder (1
// when none): a restart in the same window, or the same second under -C,
// goes on numbering instead of meeting the last run's names.
uint32_t first_free_seq(const char *stem)
{
    char dir[kTextSize];
    const char *slash = strrchr(stem, '/');
    const char *base = slash ? slash + 1 : stem;
    int dir_len = slash ? static_cast<int>(slash - stem) + (slash == stem) : 1;
    snprintf(dir, sizeof(dir), "%.*s", dir_len, slash ? stem : ".");
    const char *dot = strrchr(base, '.');
    size_t len = dot ? static_cast<size_t>(dot - base) : strlen(base);
    DIR *d = opendir(dir);
    uint32_t highest = 0;
    while (d) {
        dirent *e = readdir(d);
        if (!e)
            break;
        const char *p = e->d_name + len + 1;
        uint32_t v = 0;
        if (strncmp(e->d_name, base, len) != 0 || e->d_name[len] != '_')
            continue;
        auto [end, ec] = std::from_chars(p, p + strlen(p), v);
        if (ec == std::errc() && end - p >= 5 && *end == '_' && v > highest)
            highest = v;
    }
    if (d)
        closedir(d);
    return highest < UINT32_MAX ? highest + 1 : highest;
}

// Where a failed write may cut the file, taken before anything is written.
void note_file_start(dump_thread_ctx *ctx, int fd)
{
    struct stat st;
    int flags = fcntl(fd, F_GETFL);
    ctx->appends = flags >= 0 && (flags & O_APPEND) != 0;
    ctx->start_offset = -1;
    ctx->file_dev = 0;
    ctx->file_ino = 0;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return;
    ctx->file_dev = st.st_dev;
    ctx->file_ino = st.st_ino;
    off_t at = lseek(fd, 0, SEEK_CUR);
    ctx->start_offset = ctx->appends || at < 0 ? st.st_size : at;
}

// The first `done` bytes of the buffer reached the file: how many of them
// are whole records, and how many records that is.
size_t whole_records(const uint8_t *buf, size_t done, uint64_t *records)
{
    size_t off = 0;
    uint64_t n = 0;
    while (off + kRecordHeader <= done) {
        uint32_t caplen;
        memcpy(&caplen, buf + off + 8, sizeof caplen);
        if (off + kRecordHeader + caplen > done)
            break;
        off += kRecordHeader + caplen;
        n++;
    }
    *records = n;
    return off;
}

// A file that ends inside a record is rejected by readers: cut it back to
// `keep` bytes of this write, the whole records. Only bytes of ours are
// cut: never when the file goes on beyond where our write ended (another
// writer's data follows; our partial record stays then), and never below
// where this run began writing.
void cut_to_whole(const dump_thread_ctx *ctx, size_t done, size_t keep)
{
    struct stat st;
    if (ctx->start_offset < 0 || keep >= done || fstat(ctx->fd, &st) != 0)
        return;
    off_t end = ctx->appends ? st.st_size : lseek(ctx->fd, 0, SEEK_CUR);
    off_t cut = end - static_cast<off_t>(done - keep);
    if (end < 0 || st.st_size != end || cut < ctx->start_offset)
        return;
    if (ftruncate(ctx->fd, cut) == 0)
        lseek(ctx->fd, cut, SEEK_SET);
    // When the cut fails the file keeps its partial record; the write
    // error is what is reported.
}

// Writes the buffer; the bytes written. A full file system is given room
// from this run's oldest files when --min-free allows it.
size_t write_out(dump_thread_ctx *ctx, int *err)
{
    size_t done = 0;
    *err = 0;
    while (done < ctx->buffered) {
        ssize_t n = write(ctx->fd, ctx->buf + done, ctx->buffered - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        *err = n < 0 ? errno : EIO;
        // Rescued: the write goes on as if it had never failed.
        if ((*err == ENOSPC || *err == EDQUOT) &&
            dump_files_make_room(g_dump_instance, ctx->dumpfile, true)) {
            *err = 0;
            continue;
        }
        break;
    }
    return done;
}

// After a failed write: a file keeps the whole records that reached it. What
// a pipe or device took of a failed write may never reach its reader, so
// none of it counts there.
void keep_whole_records(dump_thread_ctx *ctx, size_t done)
{
    uint64_t records = 0;
    size_t keep = ctx->start_offset < 0 ? 0 : whole_records(ctx->buf, done, &records);
    cut_to_whole(ctx, done, keep);
    dump_counter_add(ctx->counts.flushed, records);
    dump_counter_add(ctx->counts.bytes, keep);
    dump_counter_add(ctx->counts.write_errors, 1);
    dump_counter_add(ctx->counts.unwritten, ctx->pending - records);
    ctx->captured.store(ctx->captured.load(std::memory_order_relaxed) - (ctx->pending - records),
                        std::memory_order_relaxed);
    ctx->file_bytes -= ctx->buffered - keep;
}

// The file header, from libpcap's writer: a file whose header reached it is
// a valid savefile whatever happens to the records. -1 with errno when the
// header could not be written; the file is then back where it began.
int write_header(dump_instance *instance, dump_thread_ctx *ctx, FILE *f)
{
    ctx->fd = fileno(f);
    note_file_start(ctx, ctx->fd);
    ctx->dumper = pcap_dump_fopen(instance->pcap_handle, f);
    if (!ctx->dumper)
        return -1;
    dump_counter_add(ctx->counts.files, 1);
    errno = 0;
    if (fflush(f) == 0 && !ferror(f)) {
        dump_counter_add(ctx->counts.bytes, kFileHeader);
        ctx->file_bytes = kFileHeader;
        return 0;
    }
    int err = errno ? errno : EIO;
    // Dropped, or the flush at exit would write it again after the cut.
    __fpurge(f);
    // Part of a header is no savefile: the file goes back to where it began.
    struct stat st;
    if (ctx->start_offset >= 0 && fstat(ctx->fd, &st) == 0 && st.st_size > ctx->start_offset)
        cut_to_whole(ctx, static_cast<size_t>(st.st_size - ctx->start_offset), 0);
    dump_counter_add(ctx->counts.write_errors, 1);
    errno = err;
    return -1;
}

bool rotates(const dump_instance *instance)
{
    return instance->rotate_size || instance->rotate_seconds;
}

// Which file the worker is at, for the threads that name it. Release
// stores (no fences, which ThreadSanitizer cannot follow): a reader that
// sees either new half also sees the odd count before it.
void publish(dump_thread_ctx *ctx, uint32_t seq)
{
    dump_published_file &p = ctx->published;
    uint32_t gen = p.gen.fetch_add(1, std::memory_order_acq_rel);
    p.seq.store(seq, std::memory_order_release);
    p.time.store(ctx->file_time, std::memory_order_release);
    p.gen.store(gen + 2, std::memory_order_release);
}

// The name of file seq into ctx->dumpfile.
int name_file(const dump_instance *instance, dump_thread_ctx *ctx, uint32_t seq)
{
    int len = dump_file_name(instance, ctx->stem, seq, ctx->file_time, ctx->dumpfile,
                             sizeof(ctx->dumpfile));
    if (len >= static_cast<int>(sizeof(ctx->dumpfile))) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return 0;
}

// Opens the worker's next file, or the instance's stream, and writes its
// header; 1 after an interrupted open, -1 with errno set when it could not
// be opened, 2 (errno set) when a rotated file got no header and is gone
// again. A rotated name that exists already is passed over for the next
// number.
int open_and_head(dump_instance *instance, dump_thread_ctx *ctx)
{
    FILE *f = instance->dump_stream;
    bool fresh = rotates(instance);
    while (!f) {
        publish(ctx, ctx->next_seq);
        if (name_file(instance, ctx, ctx->next_seq) < 0)
            return -1;
        f = open_target(ctx->dumpfile, fresh);
        if (f || errno != EEXIST || !fresh || ctx->next_seq == UINT32_MAX)
            break;
        ctx->next_seq++;
    }
    if (!f)
        return errno == EINTR ? 1 : -1;
    ctx->seq = ctx->next_seq++;
    if (write_header(instance, ctx, f) == 0)
        return 0;
    int err = errno;
    // A rotated file is ours alone: one without a header goes again, and
    // the worker tries a new one later.
    if (fresh && ctx->dumper) {
        unlink(ctx->dumpfile);
        fclose(f);
        ctx->dumper = nullptr;
        ctx->fd = -1;
    } else {
        ctx->write_errno.store(err, std::memory_order_relaxed);
    }
    errno = err;
    return fresh ? 2 : 0;
}

// The file of the window (or second) that starts at file_time. A next file
// of the same window (SIGHUP, -C, a retry) keeps the window's rule: else a
// SIGHUP taken just after the window's end would leave an idle worker in
// that window for good.
void set_window(const dump_instance *instance, dump_thread_ctx *ctx, int64_t file_time)
{
    bool new_window = file_time != ctx->file_time || ctx->window_end == 0;
    ctx->file_time = file_time;
    if (!instance->rotate_seconds)
        ctx->window_end = INT64_MAX;
    else if (new_window) {
        ctx->window_end = file_time + instance->rotate_seconds;
        ctx->idle_rotates = ctx->window_end > dump_clock_ns(CLOCK_REALTIME) / 1000000000LL;
    }
}

// A worker that cannot write says so once, and tries a new file a second
// later.
void go_without_file(dump_thread_ctx *ctx, const char *what, int err)
{
    ctx->retry_ns = dump_clock_ns(CLOCK_MONOTONIC_COARSE) + 1000000000LL;
    ctx->awaits_record = 0;
    if (!ctx->outage)
        cannot("%s dumpfile %s for thread %u : %s", what, ctx->dumpfile, ctx->stream_index,
               strerror(err));
    ctx->outage = 1;
}

// Closes the current file; the ring, the floor and -z take it from here.
void close_file(dump_instance *instance, dump_thread_ctx *ctx)
{
    fclose(pcap_dump_file(ctx->dumper));
    ctx->dumper = nullptr;
    ctx->fd = -1;
    dump_files_closed(instance, ctx);
}

// Opens the worker's next file under rotation, starting at file_time.
int start_file(dump_instance *instance, dump_thread_ctx *ctx, int64_t file_time)
{
    set_window(instance, ctx, file_time);
    if (instance->file_count)
        dump_files_keep_ring(instance, ctx->stream_index);
    if (instance->min_free)
        dump_files_make_room(instance, ctx->stem, false);
    int rc = open_and_head(instance, ctx);
    if (rc == 0) {
        ctx->outage = 0;
        ctx->awaits_record = 0;
        return 0;
    }
    int err = errno ? errno : EIO;
    dump_counter_add(ctx->counts.write_errors, rc == 2 ? 0 : 1);
    go_without_file(ctx, rc == 2 ? "write" : "open", err);
    return -1;
}

} // namespace

int dump_file_open(dump_instance *instance, dump_thread_ctx *ctx, int index)
{
    // Lives as long as the worker, that is until the process ends.
    ctx->buf = static_cast<uint8_t *>(malloc(kDumpBufferSize));
    ctx->fd = -1;
    ctx->stream_index = static_cast<uint32_t>(index);
    ctx->hup_seen = instance->hup_count.load(std::memory_order_relaxed);
    int64_t now = dump_clock_ns(CLOCK_REALTIME) / 1000000000LL;
    set_window(instance, ctx,
               instance->rotate_seconds ? dump_window_start(now, instance->rotate_seconds) : now);
    int len = 0;
    if (!instance->dump_stream) {
        len = dump_thread_dumpfile(instance->dumpfile, index, ctx->stem, sizeof(ctx->stem));
        snprintf(ctx->dumpfile, sizeof(ctx->dumpfile), "%s", ctx->stem);
    }
    ctx->next_seq = rotates(instance) ? first_free_seq(ctx->stem) : 1;
    // Under -j arrival a rotated file is named by its first record.
    if (rotates(instance) && instance->tstamp_type == DUMP_TSTAMP_ARRIVAL && ctx->buf &&
        len < static_cast<int>(sizeof(ctx->stem))) {
        ctx->awaits_record = 1;
        return 0;
    }
    int rc = -1;
    // A cut name is another file: refuse it instead of writing there.
    if (!ctx->buf)
        errno = ENOMEM;
    else if (len >= static_cast<int>(sizeof(ctx->stem)))
        errno = ENAMETOOLONG;
    else
        rc = open_and_head(instance, ctx);
    if (rc == 0 || rc == 1)
        return rc;
    if (rc == 2) {
        // Opened, but the header found no room: the worker tries again later.
        go_without_file(ctx, "write", errno);
        return 0;
    }
    const char *err = nullptr;
    char errbuf[kTextSize + PCAP_ERRBUF_SIZE];
    if (ctx->fd >= 0) {
        err = pcap_geterr(instance->pcap_handle);
    } else {
        // The text libpcap's own open would leave in the handle's error buffer.
        snprintf(errbuf, sizeof(errbuf), "%s: %s", ctx->dumpfile, strerror(errno));
        err = errbuf;
    }
    return cannot("open pcap dumper for thread %d, dumpfile is %s : %s.", index, ctx->dumpfile,
                  err);
}

int dump_thread_flush(dump_thread_ctx *ctx)
{
    if (ctx->write_errno.load(std::memory_order_relaxed))
        return -1;
    int err = 0;
    size_t done = ctx->buffered ? write_out(ctx, &err) : 0;
    if (err == 0) {
        dump_counter_add(ctx->counts.flushed, ctx->pending);
        dump_counter_add(ctx->counts.bytes, ctx->buffered);
    } else {
        keep_whole_records(ctx, done);
    }
    ctx->buffered = 0;
    ctx->pending = 0;
    if (err == 0)
        return 0;
    dump_instance *instance = g_dump_instance;
    if (!rotates(instance)) {
        ctx->write_errno.store(err, std::memory_order_relaxed);
        return -1;
    }
    // Under rotation a failed file is closed as it stands, whole records
    // only, and the worker goes on with a new file once it can.
    close_file(instance, ctx);
    go_without_file(ctx, "write", err);
    return -1;
}

int dump_file_finish(dump_instance *instance, dump_thread_ctx *ctx)
{
    if (!ctx->dumper)
        return ctx->write_errno.load(std::memory_order_relaxed) ? -1 : 0;
    int rc = dump_thread_flush(ctx);
    if (instance->dump_stream || !ctx->dumper)
        return rc;
    close_file(instance, ctx);
    return rc;
}

int dump_file_rotate(dump_instance *instance, dump_thread_ctx *ctx, int64_t file_time)
{
    if (dump_file_finish(instance, ctx) < 0)
        return -1;
    return start_file(instance, ctx, file_time);
}

int dump_file_reopen(dump_instance *instance, dump_thread_ctx *ctx, int64_t file_time)
{
    return start_file(instance, ctx, file_time);
}

void dump_file_close(dump_instance *instance, dump_thread_ctx *ctx)
{
    if (dump_file_finish(instance, ctx) == 0)
        ctx->awaits_record = 1;
}
