// Dump files, one at a time: naming one (through filename.cc), opening it
// with its header, keeping it whole when a write fails, its index. The
// first file of each worker is opened here by the main thread at set-up;
// going from one file to the next (closing the current one, opening the one
// a mark names, going without a file for a while) is rotation.cc's, which
// the worker's writer thread (writer.cc) runs when the worker's marks say so.
//
// The file header is libpcap's (pcap_dump_fopen on the shared dead handle);
// the records after it are the same bytes pcap_dump writes, written by the
// writer from the worker's queue. Owning the writes is what lets a failed
// write keep every record that reached the file whole and cut only the
// last, partial one, lets --min-free make room and write the rest, and
// lets -C know each file's size exactly.
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

#include "index.h"
#include "trawlcap.h"

namespace {

// Opens name for writing, or a new descriptor for what a name such as
// /dev/stdout stands for (so that its offset and O_APPEND are kept, and
// nothing is truncated). `fresh`: the name must not exist yet (errno
// EEXIST), so that a rotated name never writes over an earlier run's file.
// Null with errno EINTR when a stop signal came while the open was blocked
// (a FIFO nobody reads): the set-up ends there. Close-on-exec throughout:
// a -z command must not hold (or write into) a worker's file.
FILE *open_target(const dump_instance *instance, const char *name, bool fresh)
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
        if (f || errno != EINTR || instance->running.load(std::memory_order_relaxed) != 1)
            return f;
    }
}

// Where a failed write may cut the file, taken before anything is written.
void note_file_start(dump_output *o, int fd)
{
    struct stat st;
    int flags = fcntl(fd, F_GETFL);
    o->appends = flags >= 0 && (flags & O_APPEND) != 0;
    o->start_offset = -1;
    o->file_dev = 0;
    o->file_ino = 0;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return;
    o->file_dev = st.st_dev;
    o->file_ino = st.st_ino;
    off_t at = lseek(fd, 0, SEEK_CUR);
    o->start_offset = o->appends || at < 0 ? st.st_size : at;
}

// A file that ends inside a record is rejected by readers: the last `drop`
// bytes of ours before `end` (where our write ended) go. Only bytes of ours
// are cut: never when the file goes on beyond `end` (another writer's data
// follows; our partial record stays then), and never below where this run
// began writing.
void cut_to_whole(dump_output *o, off_t end, size_t drop)
{
    struct stat st;
    off_t cut = end - static_cast<off_t>(drop);
    if (o->start_offset < 0 || drop == 0 || end < 0 || fstat(o->fd, &st) != 0 ||
        st.st_size != end || cut < o->start_offset)
        return;
    // When the cut fails the file keeps its partial record; the write
    // error is what is reported.
    if (ftruncate(o->fd, cut) != 0)
        return;
    if (o->positioned)
        o->pos = static_cast<uint64_t>(cut);
    else
        lseek(o->fd, cut, SEEK_SET);
}

// Where the output begins: its records are written at pos, with the
// file's last partial block kept for direct writes (see writer.cc).
void start_output(const dump_instance *instance, dump_output *o, size_t head)
{
    o->positioned = o->start_offset >= 0 && !o->appends;
    o->pos = o->positioned ? static_cast<uint64_t>(o->start_offset) + head : 0;
    o->file_size = head;
    o->frames = 0;
    o->tail_len = static_cast<uint32_t>(o->pos % kDirectBlock);
    // The header alone is the file's last block when the file starts on one.
    o->tail_known = o->positioned && o->start_offset % kDirectBlock == 0;
    if (o->tail_known)
        memcpy(o->tail, instance->file_header, kFileHeader);
    dump_output_setup_direct(o);
    // An index tells where records lie from the file's start: a file that
    // had bytes before this run began is not indexed.
    o->indexing = o->index && o->positioned && o->start_offset == 0;
    if (o->indexing) {
        uint32_t linktype;
        memcpy(&linktype, instance->file_header + 20, sizeof linktype);
        uint32_t flags = (instance->nano ? uint32_t{INDEX_NANO} : 0) |
                         (o->compressed ? uint32_t{INDEX_COMPRESSED} : 0);
        index_builder_start(o->index, linktype & 0x03ffffff, flags);
    }
}

} // namespace

// One line when the index cannot be written (the capture goes on: the file
// is whole without it). A file that does not end where its last record was
// written (a failed write could not be cut back) gets none: a reader then
// finds the cut itself.
void dump_index_write(dump_output *o)
{
    struct stat st;
    if (fstat(o->fd, &st) != 0 || static_cast<uint64_t>(st.st_size) != o->pos)
        return;
    // The index's checksum of the file reads its end: through a descriptor
    // of its own, since the dumper's is open for writing only.
    char path[64];
    snprintf(path, sizeof(path), "/proc/self/fd/%d", o->fd);
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0 || index_write(o->index, o->dumpfile, fd, o->pos) != 0)
        cannot("write the index of %s: %s", o->dumpfile, strerror(errno));
    if (fd >= 0)
        close(fd);
}

namespace {

// The header frame of a compressed file, written at the descriptor's
// offset (or end) as the stream would have written it; its size in *head.
// -1 with errno when it was not written whole.
int write_header_frame(dump_instance *instance, dump_output *o, FILE *f, size_t *head)
{
    __fpurge(f);
    uint8_t out[kHeaderFrameSize];
    size_t frame = dump_zstd_frame(o, instance->file_header, kFileHeader, out, sizeof(out));
    if (frame == 0) {
        errno = ENOMEM;
        return -1;
    }
    for (size_t done = 0; done < frame;) {
        ssize_t n = write(o->fd, out + done, frame - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            errno = n < 0 ? errno : EIO;
            return -1;
        }
        done += static_cast<size_t>(n);
    }
    *head = frame;
    return 0;
}

// The file header, from libpcap's writer: a file whose header reached it is
// a valid savefile whatever happens to the records. -1 with errno when the
// header could not be written; the file is then back where it began.
int write_header(dump_instance *instance, dump_thread_ctx *ctx, FILE *f)
{
    dump_output *o = &ctx->out;
    o->fd = fileno(f);
    note_file_start(o, o->fd);
    // A compressed file's header goes in a frame of its own: libpcap's
    // bytes stay in the stream's buffer, which is then dropped.
    if (o->compressed)
        setvbuf(f, nullptr, _IOFBF, BUFSIZ);
    o->dumper = pcap_dump_fopen(instance->pcap_handle, f);
    if (!o->dumper)
        return -1;
    dump_counter_add(ctx->shared.counts.files, 1);
    errno = 0;
    size_t head = kFileHeader;
    if (o->compressed ? write_header_frame(instance, o, f, &head) == 0
                      : fflush(f) == 0 && !ferror(f)) {
        dump_counter_add(ctx->shared.counts.bytes, head);
        dump_counter_add(ctx->shared.counts.uncompressed, kFileHeader);
        start_output(instance, o, head);
        return 0;
    }
    int err = errno ? errno : EIO;
    // Dropped, or the flush at exit would write it again after the cut.
    __fpurge(f);
    // Part of a header is no savefile: the file goes back to where it began.
    struct stat st;
    if (o->start_offset >= 0 && fstat(o->fd, &st) == 0 && st.st_size > o->start_offset)
        cut_to_whole(o, o->appends ? st.st_size : lseek(o->fd, 0, SEEK_CUR),
                     static_cast<size_t>(st.st_size - o->start_offset));
    dump_counter_add(ctx->shared.counts.write_errors, 1);
    errno = err;
    return -1;
}

bool rotates(const dump_instance *instance)
{
    return instance->rotate_size || instance->rotate_seconds;
}

// Which file the writer is at, for the threads that name it. Release
// stores (no fences, which ThreadSanitizer cannot follow): a reader that
// sees either new half also sees the odd count before it.
void publish(dump_thread_ctx *ctx, uint32_t seq)
{
    dump_published_file &p = ctx->shared.published;
    uint32_t gen = p.gen.fetch_add(1, std::memory_order_acq_rel);
    p.seq.store(seq, std::memory_order_release);
    p.time.store(ctx->out.file_time, std::memory_order_release);
    p.gen.store(gen + 2, std::memory_order_release);
}

// The name of file seq into out.dumpfile.
int name_file(const dump_instance *instance, dump_thread_ctx *ctx, uint32_t seq)
{
    dump_output *o = &ctx->out;
    int len = dump_file_name(instance, ctx->setup.stem, seq, o->file_time, o->dumpfile,
                             sizeof(o->dumpfile));
    if (len >= static_cast<int>(sizeof(o->dumpfile))) {
        errno = ENAMETOOLONG;
        return -1;
    }
    return 0;
}

} // namespace

// A rotated name that exists already is passed over for the next number.
int dump_file_open_and_head(dump_instance *instance, dump_thread_ctx *ctx)
{
    dump_output *o = &ctx->out;
    FILE *f = instance->dump_stream;
    bool fresh = rotates(instance);
    while (!f) {
        publish(ctx, o->next_seq);
        if (name_file(instance, ctx, o->next_seq) < 0)
            return -1;
        f = open_target(instance, o->dumpfile, fresh);
        if (f || errno != EEXIST || !fresh || o->next_seq == UINT32_MAX)
            break;
        o->next_seq++;
    }
    if (!f)
        return errno == EINTR ? 1 : -1;
    o->seq = o->next_seq++;
    if (write_header(instance, ctx, f) == 0)
        return 0;
    int err = errno;
    // A rotated file is ours alone: one without a header goes again, and
    // the worker tries a new one later.
    if (fresh && o->dumper) {
        unlink(o->dumpfile);
        fclose(f);
        o->dumper = nullptr;
        o->fd = -1;
    } else {
        ctx->shared.write_errno.store(err, std::memory_order_relaxed);
    }
    errno = err;
    return fresh ? 2 : 0;
}

namespace {

// The worker's first file opened, or not, at set-up.
void first_file_opened(dump_thread_ctx *ctx, bool opened)
{
    ctx->own.file_open = opened;
    ctx->own.file_bytes = kFileHeader;
    ctx->own.segment_phase = ctx->out.positioned ? ctx->out.pos % kDirectBlock : kNoSegment;
    if (!opened)
        ctx->own.retry_ns = dump_clock_ns(CLOCK_MONOTONIC_COARSE) + 1000000000LL;
}

// The message of a first file that could not be opened: libpcap's text,
// or the one its own open would leave in the handle's error buffer.
int cannot_open(dump_instance *instance, dump_thread_ctx *ctx, int index)
{
    const char *err = nullptr;
    char errbuf[kTextSize + PCAP_ERRBUF_SIZE];
    if (ctx->out.fd >= 0) {
        err = pcap_geterr(instance->pcap_handle);
    } else {
        snprintf(errbuf, sizeof(errbuf), "%s: %s", ctx->out.dumpfile, strerror(errno));
        err = errbuf;
    }
    return cannot("open pcap dumper for thread %d, dumpfile is %s : %s.", index, ctx->out.dumpfile,
                  err);
}

} // namespace

namespace {

// The writer's index builder, taken once for all of the worker's files.
int init_index(dump_output *o)
{
    o->index = static_cast<index_builder *>(malloc(sizeof(index_builder)));
    if (o->index && index_builder_init(o->index) == 0)
        return 0;
    free(o->index);
    o->index = nullptr;
    errno = ENOMEM;
    return -1;
}

} // namespace

int dump_file_open(dump_instance *instance, dump_thread_ctx *ctx, int index)
{
    dump_output *o = &ctx->out;
    o->fd = -1;
    o->direct_fd = -1;
    ctx->setup.instance = instance;
    ctx->setup.stream_index = static_cast<uint32_t>(index);
    ctx->own.hup_seen = instance->hup_count.load(std::memory_order_relaxed);
    int64_t now = dump_clock_ns(CLOCK_REALTIME) / 1000000000LL;
    dump_set_window(instance, ctx,
                    instance->rotate_seconds ? dump_window_start(now, instance->rotate_seconds)
                                             : now);
    o->file_time = ctx->own.file_time;
    o->gen = ctx->own.file_gen = 1;
    int len = 0;
    if (!instance->dump_stream) {
        len = dump_thread_dumpfile(instance->dumpfile, index, ctx->setup.stem,
                                   sizeof(ctx->setup.stem));
        snprintf(o->dumpfile, sizeof(o->dumpfile), "%s", ctx->setup.stem);
    }
    o->next_seq = rotates(instance) ? dump_first_free_seq(ctx->setup.stem) : 1;
    bool queued = dump_queue_init(instance, ctx) == 0 &&
                  (!instance->compress || dump_zstd_init(o, instance->compress_level) == 0) &&
                  (!instance->index || init_index(o) == 0);
    // Under -j arrival a rotated file is named by its first record.
    if (rotates(instance) && instance->tstamp_type == DUMP_TSTAMP_ARRIVAL && queued &&
        len < static_cast<int>(sizeof(ctx->setup.stem))) {
        ctx->own.awaits_record = 1;
        ctx->own.file_gen = o->gen = 0;
        return 0;
    }
    int rc = -1;
    // A cut name is another file: refuse it instead of writing there.
    if (!queued)
        errno = ENOMEM;
    else if (len >= static_cast<int>(sizeof(ctx->setup.stem)))
        errno = ENAMETOOLONG;
    else
        rc = dump_file_open_and_head(instance, ctx);
    if (rc == 1)
        return rc;
    if (rc == 0 || rc == 2)
        first_file_opened(ctx, rc == 0);
    // Opened, but the header found no room: the worker tries again later.
    if (rc == 2)
        dump_go_without_file(ctx, "write", errno);
    return rc >= 0 ? 0 : cannot_open(instance, ctx, index);
}

int dump_file_header(dump_instance *instance)
{
    char *text = nullptr;
    size_t len = 0;
    FILE *f = open_memstream(&text, &len);
    pcap_dumper_t *d = f ? pcap_dump_fopen(instance->pcap_handle, f) : nullptr;
    if (d)
        pcap_dump_close(d); // closes f, which leaves the text and its length
    else if (f)
        fclose(f);
    bool whole = d && text && len == kFileHeader;
    if (whole)
        memcpy(instance->file_header, text, kFileHeader);
    free(text);
    return whole ? 0 : -1;
}

namespace {

// After a failed write: `lost` records reached no file; without rotation
// the file takes nothing more, under rotation it is closed as it stands
// and the worker goes on with a new file once it can.
void give_up_output(dump_instance *instance, dump_thread_ctx *ctx, uint64_t lost, int err)
{
    dump_counter_add(ctx->shared.counts.write_errors, 1);
    ctx->shared.counts.unwritten.fetch_add(lost, std::memory_order_relaxed);
    ctx->shared.captured.fetch_sub(lost, std::memory_order_relaxed);
    if (!rotates(instance)) {
        ctx->shared.write_errno.store(err, std::memory_order_relaxed);
        return;
    }
    dump_output_close(instance, ctx, false);
    dump_go_without_file(ctx, "write", err);
}

} // namespace

void dump_output_failed(dump_instance *instance, dump_thread_ctx *ctx, const uint8_t *mem,
                        size_t done, uint64_t records, int err)
{
    dump_output *o = &ctx->out;
    // What a pipe or device took of a failed write may never reach its
    // reader, so none of it counts there.
    savefile_walk whole{0, 0, false};
    if (o->start_offset >= 0)
        whole = savefile_whole_records(mem, done, SIZE_MAX, false);
    uint64_t kept = whole.count;
    size_t keep = whole.end;
    if (keep < done) {
        struct stat st;
        off_t end = o->positioned            ? static_cast<off_t>(o->pos)
                    : fstat(o->fd, &st) == 0 ? st.st_size
                                             : -1;
        cut_to_whole(o, end, done - keep);
    }
    dump_counter_add(ctx->shared.counts.flushed, kept);
    dump_counter_add(ctx->shared.counts.bytes, keep);
    give_up_output(instance, ctx, records - kept, err);
}

void dump_output_failed_frame(dump_instance *instance, dump_thread_ctx *ctx, size_t partial,
                              uint64_t records, int err)
{
    dump_output *o = &ctx->out;
    struct stat st;
    if (partial && o->start_offset >= 0) {
        off_t end = o->positioned            ? static_cast<off_t>(o->pos)
                    : fstat(o->fd, &st) == 0 ? st.st_size
                                             : -1;
        cut_to_whole(o, end, partial);
    }
    give_up_output(instance, ctx, records, err);
}

void dump_index_records(dump_output *o, const uint8_t *mem, size_t len, uint64_t pos)
{
    if (o->indexing)
        index_add_records(o->index, mem, len, pos);
}

void dump_index_frame(dump_output *o, uint64_t pos, size_t frame, const uint8_t *mem, size_t len)
{
    if (o->indexing)
        index_add_frame(o->index, pos, static_cast<uint32_t>(frame), mem, len, 0);
}
