// The write queue between a worker and its writer thread, and the writer.
//
// A worker copies each record into its queue and goes straight back to its
// stream: it never waits for a disk. Its writer thread takes the records in
// order and writes them, opening, closing and rotating files where the
// worker's marks say, so that a worker's files are written in order and
// independent workers never wait on each other. When the queue is full
// the worker drops the packet and counts it (output_dropped): it never
// sleeps on the queue.
//
// The queue is one ring of bytes rather than a set of separate buffers:
// the records of a file lie in it back to back, each at a position equal to
// its file offset modulo kDirectBlock (see dump_queue), so a writer that
// fell behind writes several marks' records with one call, and whole blocks
// of them go to the file with O_DIRECT straight from where the worker put
// them, with no copy. Regular files are written at explicit offsets: the
// blocks from the start of the file's last partial block on with O_DIRECT,
// then what is left of the last block (less than kDirectBlock) with an
// ordinary write, which the next direct write rewrites whole. After each
// write the file ends on a whole record; between its two calls it may end
// on the block boundary. Nothing is ever padded.
//
// Direct I/O goes through a second descriptor of the same file, opened
// again through /proc/self/fd, so that the flags of a descriptor shared
// with other processes (standard output) are never changed. Where a file
// system refuses it (EINVAL at the open or at a write), and for appending
// descriptors (whose writes go wherever the end is, perhaps after another
// writer's bytes), the writer writes ordinarily and then has the kernel
// write back and drop what it wrote, so that capture data does not fill
// the page cache; memory file systems keep their pages, which are the file.
#include <fcntl.h>
#include <linux/futex.h>
#include <linux/magic.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "index.h"
#include "trawlcap.h"

namespace {

uint64_t align_down(uint64_t value, uint64_t to)
{
    return value - value % to;
}

uint64_t align_up(uint64_t value, uint64_t to)
{
    return align_down(value + to - 1, to);
}

// The futex word is the atomic itself: std::atomic<uint32_t> is a plain
// 32-bit word on Linux.
void futex_wait(std::atomic<uint32_t> *word, uint32_t value)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), FUTEX_WAIT_PRIVATE, value, nullptr,
            nullptr, 0);
}

void futex_wake(std::atomic<uint32_t> *word)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr,
            0);
}

// A mark for every block of the ring, at least 64: each file's records
// start on a block of their own, so the ring holds no more files than
// that, however small they are (-G 1 over a looped trace makes files of a
// few packets).
uint32_t marks_for(uint64_t ring_size)
{
    uint32_t n = 64;
    while (n < ring_size / kDirectBlock && n < (uint32_t{1} << 24))
        n *= 2;
    return n;
}

// Whether the worker may hand over a mark now; the last one (`ends`) alone
// may take the last free slot, so that it always finds one.
bool mark_slot_free(dump_thread_ctx *ctx, bool ends)
{
    const dump_queue &q = ctx->queue;
    // Relaxed: the worker is the only thread that stores head.
    uint32_t used = q.head.load(std::memory_order_relaxed) - ctx->own.tail_seen;
    uint32_t limit = q.nr_marks - (ends ? 0 : 1);
    if (used < limit)
        return true;
    // Acquire: the writer is done with the marks before tail, so that the
    // worker may write over them.
    ctx->own.tail_seen = q.tail.load(std::memory_order_acquire);
    return q.head.load(std::memory_order_relaxed) - ctx->own.tail_seen < limit;
}

// Whether the writer is done with the marks before `head`.
bool writer_done_with(dump_thread_ctx *ctx, uint32_t head)
{
    // Acquire: as in mark_slot_free.
    ctx->own.tail_seen = ctx->queue.tail.load(std::memory_order_acquire);
    return static_cast<int32_t>(ctx->own.tail_seen - head) >= 0;
}

// Whether [at, at + bytes) is free: the writer has released what the ring
// held there a lap before.
bool room_at(dump_thread_ctx *ctx, uint64_t at, size_t bytes)
{
    uint64_t ring = ctx->queue.ring_size;
    if (at + bytes - std::max(ctx->own.released_seen, ctx->own.free_below) <= ring)
        return true;
    // Acquire: the writer read those bytes before it released them.
    ctx->own.released_seen = ctx->queue.released.load(std::memory_order_acquire);
    // The lap the worker left last holds nothing after its last mark: all
    // of it is free once the writer is done with that mark.
    if (ctx->own.free_below < ctx->own.lap_left && writer_done_with(ctx, ctx->own.lap_left_marks))
        ctx->own.free_below = ctx->own.lap_left;
    return at + bytes - std::max(ctx->own.released_seen, ctx->own.free_below) <= ring;
}

// Whether the writer is done with every mark handed over: it then reads
// nothing of the ring until the next one, and keeps the file's last
// partial block in its own copy.
bool writer_idle(dump_thread_ctx *ctx)
{
    // Relaxed: the worker is the only thread that stores head.
    return writer_done_with(ctx, ctx->queue.head.load(std::memory_order_relaxed));
}

// Where a record of `bytes` goes when it cannot simply follow the last: the
// first of a new file, or one that would pass the ring's end. A new run
// starts `phase` bytes into a block, whose start the writer fills with the
// file's last partial block. The mark being filled is handed over first: a
// mark is one run. UINT64_MAX when that cannot be done now.
//
// A record also goes back to the ring's beginning when the worker is far
// enough into it and the writer is idle, so that a worker whose writer
// keeps up touches only the first kQueueReuseAfter bytes of the ring. The
// writer is asked at every record from there on, not only at a mark's
// first: that one follows a full mark's hand-over, which the writer is
// still writing. The mark being filled then goes over as the lap's last:
// until the writer is done with it the new lap has the kQueueReuseAfter
// bytes and more before it, and the whole ring after (room_at).
uint64_t place_run(dump_thread_ctx *ctx, size_t bytes)
{
    const uint64_t next_lap = ctx->own.lap_start + ctx->queue.ring_size;
    bool new_file = ctx->own.segment_phase != kNoSegment;
    uint32_t phase = new_file ? ctx->own.segment_phase : ctx->own.wpos % kDirectBlock;
    uint64_t at = new_file ? align_up(ctx->own.wpos, kDirectBlock) + phase : ctx->own.wpos;
    bool wraps = at + bytes > next_lap;
    bool reuse =
        !wraps && ctx->own.wpos - ctx->own.lap_start >= kQueueReuseAfter && writer_idle(ctx);
    if (!new_file && !wraps && !reuse)
        return at;
    // An idle writer leaves every mark slot free: this hand-over cannot fail.
    if (ctx->own.mark.records && dump_queue_hand_over(ctx, 0) < 0)
        return UINT64_MAX;
    if (wraps || reuse) {
        ctx->own.lap_left = next_lap;
        // Relaxed: the worker is the only thread that stores head.
        ctx->own.lap_left_marks = ctx->queue.head.load(std::memory_order_relaxed);
    }
    return wraps || reuse ? next_lap + phase : at;
}

} // namespace

int dump_queue_init(const dump_instance *instance, dump_thread_ctx *ctx)
{
    dump_queue &q = ctx->queue;
    uint64_t size = instance->write_queue ? instance->write_queue : kDefaultWriteQueue;
    q.ring_size = align_down(size, kDumpBufferSize);
    q.mark_bytes = std::min<uint64_t>(kDumpBufferSize, q.ring_size / 4);
    q.nr_marks = marks_for(q.ring_size);
    // Reserved, not committed: a page is backed once the worker first
    // writes it, so memory grows with how far the writer falls behind.
    void *ring = mmap(nullptr, q.ring_size, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    q.marks = static_cast<dump_mark *>(calloc(q.nr_marks, sizeof(dump_mark)));
    if (ring == MAP_FAILED || !q.marks) {
        errno = ENOMEM;
        return -1;
    }
    q.ring = static_cast<uint8_t *>(ring);
    ctx->own.segment_phase = kNoSegment;
    return 0;
}

uint8_t *dump_queue_reserve(dump_thread_ctx *ctx, size_t bytes)
{
    uint64_t at = ctx->own.wpos;
    if (ctx->own.segment_phase != kNoSegment ||
        at + bytes > ctx->own.lap_start + ctx->queue.ring_size ||
        at - ctx->own.lap_start >= kQueueReuseAfter)
        at = place_run(ctx, bytes);
    if (at == UINT64_MAX || !room_at(ctx, at, bytes))
        return nullptr;
    if (ctx->own.mark.records == 0) {
        ctx->own.mark.start = at;
        ctx->own.first_pending_ns = dump_clock_ns(CLOCK_MONOTONIC_COARSE);
    }
    if (at >= ctx->own.lap_start + ctx->queue.ring_size)
        ctx->own.lap_start += ctx->queue.ring_size;
    ctx->own.segment_phase = kNoSegment;
    ctx->own.wpos = at + bytes;
    ctx->own.mark.records++;
    ctx->own.captured_pending++;
    return ctx->queue.ring + (at - ctx->own.lap_start);
}

void dump_queue_appended(dump_thread_ctx *ctx)
{
    if (ctx->own.wpos - ctx->own.mark.start >= ctx->queue.mark_bytes)
        dump_queue_hand_over(ctx, 0); // no free mark: the mark grows, and is tried again
}

void dump_queue_count(dump_thread_ctx *ctx)
{
    if (ctx->own.captured_pending == 0)
        return;
    // Relaxed: a running total; it is added before the records' mark is
    // handed over, so the writer's fetch_sub of them always comes after.
    ctx->shared.captured.fetch_add(ctx->own.captured_pending, std::memory_order_relaxed);
    ctx->own.captured_pending = 0;
}

int dump_queue_hand_over(dump_thread_ctx *ctx, uint32_t flags)
{
    dump_queue &q = ctx->queue;
    if (!mark_slot_free(ctx, (flags & DUMP_MARK_ENDS) != 0))
        return -1;
    dump_queue_count(ctx);
    uint32_t head = q.head.load(std::memory_order_relaxed);
    dump_mark &m = q.marks[head & (q.nr_marks - 1)];
    m = ctx->own.mark;
    m.end = ctx->own.wpos;
    m.flags |= flags;
    // seq_cst: publishes the mark and its records (release), and is ordered
    // before the load of `sleeping` (see dump_queue).
    q.head.store(head + 1, std::memory_order_seq_cst);
    if (q.sleeping.load(std::memory_order_seq_cst))
        futex_wake(&q.head);
    ctx->own.mark = dump_mark{};
    ctx->own.mark.start = ctx->own.wpos;
    return 0;
}

namespace {

// The writer's wait for marks: head once it moved past tail.
uint32_t wait_for_marks(dump_queue *q, uint32_t tail)
{
    for (;;) {
        // Acquire: the marks before head, and their records, are complete.
        uint32_t head = q->head.load(std::memory_order_acquire);
        if (head != tail)
            return head;
        q->sleeping.store(1, std::memory_order_seq_cst);
        // The futex sleeps only while head is still tail, so a mark handed
        // over between this load and the sleep ends the sleep at once.
        if (q->head.load(std::memory_order_seq_cst) == tail)
            futex_wait(&q->head, tail);
        q->sleeping.store(0, std::memory_order_relaxed);
    }
}

const dump_mark &mark_at(const dump_queue &q, uint32_t index)
{
    return q.marks[index & (q.nr_marks - 1)];
}

// How many marks from `first` on are written as one: one after the other in
// one lap of the ring, up to kMaxWriteBatch, no file boundary inside.
uint32_t batch_length(const dump_queue &q, uint32_t first, uint32_t head)
{
    const dump_mark &m0 = mark_at(q, first);
    uint64_t end = m0.end;
    uint32_t n = 1;
    if (m0.flags & (DUMP_MARK_CLOSES | DUMP_MARK_ENDS))
        return 1;
    for (; first + n != head; n++) {
        const dump_mark &m = mark_at(q, first + n);
        if ((m.flags & DUMP_MARK_OPENS) || m.start != end || end % q.ring_size == 0 ||
            m.end - m0.start > kMaxWriteBatch)
            break;
        end = m.end;
        if (m.flags & (DUMP_MARK_CLOSES | DUMP_MARK_ENDS))
            return n + 1;
    }
    return n;
}

// A write failed for want of room: --min-free frees some, and the write goes on.
bool rescued(dump_instance *instance, dump_thread_ctx *ctx, int err)
{
    return (err == ENOSPC || err == EDQUOT) &&
           dump_files_make_room(instance, ctx->out.dumpfile, true);
}

// `done` bytes from mem were written at pos: pos moves on, and the file's
// last partial block is kept for the next direct write.
void advance(dump_output *o, const uint8_t *mem, size_t done)
{
    if (!o->positioned)
        return;
    o->pos += done;
    uint32_t tail = static_cast<uint32_t>(o->pos % kDirectBlock);
    if (done >= tail) {
        memcpy(o->tail, mem + done - tail, tail);
        o->tail_known = 1; // the whole block is this run's
    } else if (o->tail_known) {
        memcpy(o->tail + o->tail_len, mem, done);
    }
    o->tail_len = tail;
}

// Ordinary writes of mem at the end of the output; the bytes written.
size_t write_plain(dump_instance *instance, dump_thread_ctx *ctx, const uint8_t *mem, size_t len,
                   int *err)
{
    dump_output *o = &ctx->out;
    size_t done = 0;
    while (done < len) {
        ssize_t n = o->positioned
                        ? pwrite(o->fd, mem + done, len - done, static_cast<off_t>(o->pos + done))
                        : write(o->fd, mem + done, len - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        *err = n < 0 ? errno : EIO;
        // Rescued: the write goes on as if it had never failed.
        if (rescued(instance, ctx, *err)) {
            *err = 0;
            continue;
        }
        break;
    }
    advance(o, mem, done);
    return done;
}

// The whole blocks from the start of the file's last partial block through
// mem, with O_DIRECT; the part of the last block after them is left for
// write_plain, and so is the rest after a failure: a direct write may fail
// as a whole where ordinary ones still fill the disk to its last byte, and
// these find the true error and how far the file got. EINVAL: the file
// system refuses these writes after all (or a file-size limit cut one to
// an odd length): the file goes on with ordinary ones. The bytes of mem
// written.
size_t write_blocks(dump_instance *instance, dump_thread_ctx *ctx, uint8_t *mem, size_t len)
{
    dump_output *o = &ctx->out;
    size_t tail = o->tail_len;
    // The worker left this room before a run; after a run it holds these bytes already.
    uint8_t *block = mem - tail;
    memcpy(block, o->tail, tail);
    size_t whole = align_down(tail + len, kDirectBlock);
    off_t at = static_cast<off_t>(o->pos - tail);
    size_t put = 0;
    while (put < whole) {
        ssize_t n = pwrite(o->direct_fd, block + put, whole - put, at + static_cast<off_t>(put));
        if (n > 0) {
            put += static_cast<size_t>(n);
            continue;
        }
        int err = n < 0 ? errno : EIO;
        if (err == EINTR || rescued(instance, ctx, err))
            continue;
        if (err == EINVAL) {
            close(o->direct_fd);
            o->direct_fd = -1;
        }
        break;
    }
    if (put <= tail)
        return 0;
    o->pos -= tail;
    o->tail_len = 0;
    advance(o, block, put);
    return put - tail;
}

// What went through the page cache of a regular file is written back and
// dropped: started now, dropped once written (a later call drops it).
void drop_cache(const dump_output *o)
{
    sync_file_range(o->fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    posix_fadvise(o->fd, 0, 0, POSIX_FADV_DONTNEED);
}

// Writes the records at mem, which hold `records` whole ones, at the end of
// the output; after a failure the output is as dump_output_failed leaves it.
void write_records(dump_instance *instance, dump_thread_ctx *ctx, uint8_t *mem, size_t len,
                   uint64_t records, size_t runs)
{
    dump_output *o = &ctx->out;
    int err = 0;
    size_t done = 0;
    const uint64_t at = o->pos;
    // Up to the first whole block of this run: the bytes before the run in
    // that block are not known, so it cannot be written whole.
    if (o->direct_fd >= 0 && !o->tail_known)
        done = write_plain(instance, ctx, mem, std::min(len, kDirectBlock - o->pos % kDirectBlock),
                           &err);
    bool in_phase = (reinterpret_cast<uintptr_t>(mem + done) - o->pos) % kDirectBlock == 0;
    if (!err && o->direct_fd >= 0 && o->tail_known && in_phase)
        done += write_blocks(instance, ctx, mem + done, len - done);
    if (!err && done < len)
        done += write_plain(instance, ctx, mem + done, len - done, &err);
    if (err) {
        dump_output_failed(instance, ctx, mem, done, records, err);
        return;
    }
    dump_counter_add(ctx->shared.counts.flushed, records);
    dump_counter_add(ctx->shared.counts.bytes, len);
    if (runs) {
        index_prefetch(ctx->out.index_runs, runs, mem + len);
        dump_index_records(o, mem, len, at);
    }
    if (o->drop_cache && o->direct_fd < 0)
        drop_cache(o);
}

// Records that no file takes: the output failed, or its file could not be opened.
void take_back(dump_thread_ctx *ctx, uint64_t records)
{
    ctx->shared.counts.unwritten.fetch_add(records, std::memory_order_relaxed);
    ctx->shared.captured.fetch_sub(records, std::memory_order_relaxed);
}

// -C on a compressed file counts its bytes on disk, which only the writer
// knows once a frame is made: a frame that would take the file past the
// limit starts the worker's next file, unless the file holds no records
// yet (a frame alone larger than the limit). The new file is the same file
// of the worker's (the same gen), named by the frame's first record, or
// by its -G window. False when no file takes the frame.
bool fits_or_rotated(dump_instance *instance, dump_thread_ctx *ctx, const uint8_t *first,
                     size_t frame)
{
    dump_output *o = &ctx->out;
    if (!o->dumper)
        return false;
    if (!instance->rotate_size || o->frames == 0 || o->file_size + frame <= instance->rotate_size)
        return true;
    uint32_t sec;
    memcpy(&sec, first, sizeof sec);
    int64_t file_time = instance->rotate_seconds ? o->file_time : int64_t{sec};
    return dump_output_open(instance, ctx, file_time, o->gen) == 0;
}

// The records at mem (`records` whole ones) as frames of whole records,
// each written whole before the next is made: after each write the file
// ends on a whole frame. Direct I/O does not apply: a frame's length and
// offset are any number of bytes.
void write_frames(dump_instance *instance, dump_thread_ctx *ctx, const uint8_t *mem, size_t len,
                  uint64_t records)
{
    dump_output *o = &ctx->out;
    for (size_t off = 0; off < len;) {
        uint64_t n = 0;
        size_t raw = dump_frame_records(mem + off, len - off, &n);
        size_t frame = dump_zstd_frame(o, mem + off, raw, o->frame, o->frame_cap);
        int err = frame ? 0 : ENOMEM;
        if (frame && !fits_or_rotated(instance, ctx, mem + off, frame)) {
            take_back(ctx, records);
            return;
        }
        const uint64_t at = o->pos;
        size_t done = frame ? write_plain(instance, ctx, o->frame, frame, &err) : 0;
        if (err) {
            dump_output_failed_frame(instance, ctx, done, records, err);
            return;
        }
        dump_counter_add(ctx->shared.counts.flushed, n);
        dump_counter_add(ctx->shared.counts.bytes, frame);
        dump_counter_add(ctx->shared.counts.uncompressed, raw);
        o->file_size += frame;
        o->frames++;
        dump_index_frame(o, at, frame, mem + off, raw);
        records -= n;
        off += raw;
    }
    if (o->drop_cache)
        drop_cache(o);
}

// --index: where up to kPrefetchRuns of the batch's marks start, spread over
// it, into ctx->out.index_runs (see index_prefetch); their number, 0 when the
// file is not indexed.
static_assert(kIndexRuns == kPrefetchRuns);

size_t index_runs(dump_thread_ctx *ctx, uint32_t first, uint32_t n)
{
    const dump_queue &q = ctx->queue;
    if (!ctx->out.indexing)
        return 0;
    uint32_t step = (n + kPrefetchRuns - 1) / kPrefetchRuns;
    size_t k = 0;
    for (uint32_t i = 0; i < n; i += step)
        ctx->out.index_runs[k++] = q.ring + mark_at(q, first + i).start % q.ring_size;
    return k;
}

// The marks [first, first + n) of one batch; returns the last one's flags.
uint32_t write_batch(dump_instance *instance, dump_thread_ctx *ctx, uint32_t first, uint32_t n)
{
    dump_queue &q = ctx->queue;
    const dump_mark &m0 = mark_at(q, first);
    const dump_mark &last = mark_at(q, first + n - 1);
    uint64_t records = 0;
    for (uint32_t i = 0; i < n; i++)
        records += mark_at(q, first + i).records;
    if (m0.flags & DUMP_MARK_OPENS)
        dump_output_open(instance, ctx, m0.file_time, m0.file_gen);
    if (records && (!ctx->out.dumper || ctx->shared.write_errno.load(std::memory_order_relaxed)))
        take_back(ctx, records);
    else if (records && ctx->out.compressed)
        write_frames(instance, ctx, q.ring + m0.start % q.ring_size, last.end - m0.start, records);
    else if (records)
        write_records(instance, ctx, q.ring + m0.start % q.ring_size, last.end - m0.start, records,
                      index_runs(ctx, first, n));
    if (last.flags & (DUMP_MARK_CLOSES | DUMP_MARK_ENDS))
        dump_output_close(instance, ctx, (last.flags & DUMP_MARK_ENDS) != 0);
    // Release: the writer is done with these bytes, but for the block that
    // holds the file's end, which the next direct write starts with.
    q.released.store(align_down(last.end, kDirectBlock), std::memory_order_release);
    return last.flags;
}

} // namespace

bool dump_output_setup_direct(dump_output *o)
{
    struct statfs fs;
    o->direct_fd = -1;
    o->drop_cache = 0;
    if (o->start_offset < 0 || fstatfs(o->fd, &fs) != 0 ||
        fs.f_type == static_cast<decltype(fs.f_type)>(TMPFS_MAGIC) ||
        fs.f_type == static_cast<decltype(fs.f_type)>(RAMFS_MAGIC))
        return false; // a pipe or device, or a file whose pages are the file
    o->drop_cache = 1;
    if (!o->positioned || o->compressed)
        return false;
#ifdef STATX_DIOALIGN
    struct statx sx;
    // A file system that says how it takes direct I/O: not at all (0), or
    // with a coarser alignment than the queue keeps.
    if (statx(o->fd, "", AT_EMPTY_PATH, STATX_DIOALIGN, &sx) == 0 &&
        (sx.stx_mask & STATX_DIOALIGN) &&
        (sx.stx_dio_offset_align == 0 || kDirectBlock % sx.stx_dio_offset_align != 0 ||
         sx.stx_dio_mem_align == 0 || kDirectBlock % sx.stx_dio_mem_align != 0))
        return false;
#endif
    char path[64];
    snprintf(path, sizeof(path), "/proc/self/fd/%d", o->fd);
    o->direct_fd = open(path, O_WRONLY | O_DIRECT | O_CLOEXEC);
    return o->direct_fd >= 0;
}

void *dump_writer_thread(void *arg)
{
    auto *ctx = static_cast<dump_thread_ctx *>(arg);
    dump_instance *instance = ctx->setup.instance;
    dump_queue &q = ctx->queue;
    uint32_t tail = q.tail.load(std::memory_order_relaxed);
    for (;;) {
        uint32_t head = wait_for_marks(&q, tail);
        uint32_t n = batch_length(q, tail, head);
        uint32_t flags = write_batch(instance, ctx, tail, n);
        tail += n;
        // Release: the worker may reuse these marks.
        q.tail.store(tail, std::memory_order_release);
        if (flags & DUMP_MARK_ENDS)
            break;
    }
    // Release: what the writer counted and closed is complete for main,
    // which joins at once.
    ctx->shared.writer_finished.store(1, std::memory_order_release);
    dump_files_kick(instance);
    return nullptr;
}
