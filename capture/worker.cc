// Capture workers: set-up and the burst loop: filter, stamp, queue, rotate.
// Each worker has a writer thread (writer.cc) that writes what it queues.
#include <signal.h>
#include <sys/time.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "trawlcap.h"

namespace {

// Stop and report signals are blocked in the workers and writers (they
// inherit the mask), so that they reach the main thread, whose blocked open
// they must interrupt.
int start_thread(pthread_t *tid, void *(*routine)(void *), dump_thread_ctx *ctx)
{
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGUSR1);
    sigaddset(&block, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    int rc = pthread_create(tid, nullptr, routine, ctx);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return rc;
}

} // namespace

int dump_thread_prepare(dump_instance *instance, dump_thread_ctx *ctx, int index)
{
    ctx->setup.started = 0;
    if (!(instance->thread_mask & (uint64_t{1} << (static_cast<uint32_t>(index) % 64))))
        return 0;
    int opened = dump_file_open(instance, ctx, index);
    if (opened != 0)
        return opened;

    if (pcap_compile(instance->pcap_handle, &ctx->setup.bpf_prog, instance->bpf_rule, 1,
                     PCAP_NETMASK_UNKNOWN) < 0)
        return cannot("compile bpf rules for thread %d, bpf rule is %s: %s.", index,
                      instance->bpf_rule, pcap_geterr(instance->pcap_handle));

    ctx->setup.stream_index = static_cast<uint32_t>(index);
    ctx->setup.limit = instance->nr_threads ? instance->packet_count / instance->nr_threads : 0;
    // A positive count never means "no limit", also when it is smaller than
    // the number of workers.
    if (instance->packet_count != 0 && ctx->setup.limit == 0)
        ctx->setup.limit = 1;
    ctx->setup.prepared = 1;
    return 0;
}

int dump_thread_start(dump_thread_ctx *ctx, int index)
{
    if (!ctx->setup.prepared)
        return 0;
    // The writer first: the worker's first mark may come at once.
    int rc = start_thread(&ctx->setup.writer_tid, dump_writer_thread, ctx);
    if (rc != 0)
        return cannot("create writer thread %d : %s", index, strerror(rc));
    rc = start_thread(&ctx->setup.tid, dump_capture_thread, ctx);
    if (rc == 0) {
        ctx->setup.started = 1;
        return 0;
    }
    // No worker: this thread hands the writer its last mark in its stead.
    dump_queue_hand_over(ctx, DUMP_MARK_CLOSES | DUMP_MARK_ENDS);
    pthread_join(ctx->setup.writer_tid, nullptr);
    return cannot("create capture thread %d : %s", index, strerror(rc));
}

int dump_thread_init(dump_instance *instance, dump_thread_ctx *ctx, int index)
{
    int rc = dump_thread_prepare(instance, ctx, index);
    if (rc != 0)
        return rc < 0 ? -1 : 0;
    return dump_thread_start(ctx, index);
}

namespace {

// A queued record waits at most this long before its mark is handed over,
// so that files (and what the statistics file counts) keep up with a slow
// capture.
constexpr int64_t kFlushAfterNs = 1000 * 1000 * 1000;
// Under -j arrival a packet may be handed over a little after it arrived
// (a live ring hands over blocks, not frames): an idle worker moves to the
// next window only this long after its boundary, so that no late packet of
// the old window opens a file of its own.
constexpr int64_t kArrivalGraceSeconds = 2;

// What the write loop needs of each matching buffer, taken once.
struct matched_burst {
    vexmo_buff_t *buf[kBurst];
    const u_char *data[kBurst];
    uint32_t len[kBurst];
    uint32_t n;
};

// How records are written, fixed for the run.
struct record_rules {
    uint32_t snaplen;       // longer packets are cut to it (with -s) ...
    uint32_t max_len;       // ... or, without -s, not written when longer than this
    bool wire_len;          // the record's length is the packet's length on the wire
    bool arrival;           // -j arrival
    bool nano;              // nanosecond time stamps
    dump_rotation rotation; // -C and -G
    // The source waits for its reader (a replayed savefile): a full queue
    // makes the worker wait for its writer, not drop, since nothing is lost
    // meanwhile. Only a live source's packets are dropped for the output.
    bool source_waits;
    // The filter is one unconditional return of a nonzero length (no filter
    // given): every packet passes, so it is not run.
    bool takes_all;
};

// Collects the buffers that pass the filter and that a record may hold.
void filter_burst(dump_thread_ctx *ctx, const record_rules &rules, vexmo_buff_t *const *bufs, int n,
                  matched_burst *m)
{
    const bpf_insn *insns = ctx->setup.bpf_prog.bf_insns;
    uint32_t oversize = 0;
    m->n = 0;
    for (int i = 0; i < n; i++) {
        auto *data = static_cast<const u_char *>(vexmo_buff_mtod(bufs[i]));
        uint32_t len = vexmo_buff_datalen(bufs[i]);
        if (!rules.takes_all && bpf_filter(insns, data, len, len) == 0)
            continue;
        if (len > rules.max_len) {
            oversize++;
            continue;
        }
        m->buf[m->n] = bufs[i];
        m->data[m->n] = data;
        m->len[m->n] = len;
        m->n++;
    }
    if (oversize)
        dump_counter_add(ctx->shared.counts.oversize, oversize);
}

// The record's time: the source's stamp under -j arrival (the clock for a
// packet the source has no time for), else the clock just before writing.
void stamp(const record_rules &rules, const vexmo_buff_t *buf, int64_t *sec, uint32_t *frac)
{
    uint32_t nsec = 0;
    if (!rules.arrival || vexmo_buff_tstamp(buf, sec, &nsec) != 0) {
        timespec ts;
        if (rules.nano) {
            clock_gettime(CLOCK_REALTIME, &ts);
        } else {
            timeval tv;
            gettimeofday(&tv, nullptr);
            ts.tv_sec = tv.tv_sec;
            ts.tv_nsec = tv.tv_usec * 1000;
        }
        *sec = ts.tv_sec;
        nsec = static_cast<uint32_t>(ts.tv_nsec);
    }
    *frac = rules.nano ? nsec : nsec / 1000;
}

// What became of a record the worker took.
enum placed : int {
    kQueued = 0,
    kNoFile = -1, // no file takes it now: unwritten
    kBehind = -2, // the write queue has no room now: dropped for the output
};

// The worker's next file, named by file_time, takes its records from now on:
// the current one is closed after the records already queued, and the open
// travels to the writer with the next mark. kBehind when no mark is free.
int next_file(dump_instance *instance, dump_thread_ctx *ctx, int64_t file_time)
{
    bool pending = ctx->own.file_open || ctx->own.mark.records || ctx->own.mark.flags;
    if (pending && dump_queue_hand_over(ctx, DUMP_MARK_CLOSES) < 0)
        return kBehind;
    dump_set_window(instance, ctx, file_time);
    ctx->own.mark.flags = DUMP_MARK_OPENS;
    ctx->own.mark.file_time = file_time;
    ctx->own.mark.file_gen = ++ctx->own.file_gen;
    // A new file's records follow its header, at offset kFileHeader.
    ctx->own.segment_phase = kFileHeader % kDirectBlock;
    ctx->own.file_bytes = kFileHeader;
    ctx->own.file_open = 1;
    ctx->own.awaits_record = 0;
    return kQueued;
}

// Closes the current file without opening another (-G under -j arrival: an
// idle worker's window is over; the next record opens the next file).
void close_file(dump_thread_ctx *ctx)
{
    if (dump_queue_hand_over(ctx, DUMP_MARK_CLOSES) == 0) {
        ctx->own.file_open = 0;
        ctx->own.awaits_record = 1;
    }
}

// The writer could not open or write the worker's current file (it said
// so): the worker goes without a file, and tries a new one a second later.
void notice_failure(dump_thread_ctx *ctx)
{
    // Relaxed: a file number; nothing else is read on its strength.
    if (ctx->own.file_open &&
        ctx->shared.failed_gen.load(std::memory_order_relaxed) == ctx->own.file_gen) {
        ctx->own.file_open = 0;
        ctx->own.awaits_record = 0;
        ctx->own.retry_ns = dump_clock_ns(CLOCK_MONOTONIC_COARSE) + 1000000000LL;
    }
}

// A worker without a file opens one for a record stamped `sec`: named by
// the record's window under -j arrival, else by the clock; a worker whose
// last open or write failed waits a second between tries.
int open_for(dump_instance *instance, dump_thread_ctx *ctx, const record_rules &rules, int64_t sec)
{
    if (!ctx->own.awaits_record && dump_clock_ns(CLOCK_MONOTONIC_COARSE) < ctx->own.retry_ns)
        return kNoFile;
    int64_t start = rules.arrival ? sec : dump_clock_ns(CLOCK_REALTIME) / 1000000000LL;
    if (rules.rotation.rotate_seconds)
        start = dump_window_start(start, rules.rotation.rotate_seconds);
    return next_file(instance, ctx, start);
}

// Where a record of `bytes` stamped `sec` goes: the current file, or the
// worker's next one when it does not belong in the current (see placed).
int place_record(dump_instance *instance, dump_thread_ctx *ctx, const record_rules &rules,
                 uint64_t bytes, int64_t sec)
{
    // Relaxed: an error number; set once, by the writer.
    if (ctx->shared.write_errno.load(std::memory_order_relaxed) != 0)
        return kNoFile;
    if (!ctx->own.file_open)
        return open_for(instance, ctx, rules, sec);
    int64_t start = 0;
    if (!dump_rotation_due(rules.rotation, ctx->own.file_bytes, bytes, sec, ctx->own.file_time,
                           ctx->own.window_end, &start))
        return kQueued;
    return next_file(instance, ctx, start);
}

// Copies one record into the write queue.
int append_record(dump_thread_ctx *ctx, const uint32_t head[4], const u_char *data)
{
    size_t record = kRecordHeader + head[2];
    uint8_t *at = dump_queue_reserve(ctx, record);
    if (!at)
        return kBehind;
    memcpy(at, head, kRecordHeader);
    memcpy(at + kRecordHeader, data, head[2]);
    ctx->own.file_bytes += record;
    dump_queue_appended(ctx);
    return kQueued;
}

// A full queue under a source that waits: the worker hands over what it
// holds and gives its writer a millisecond. False when the packet is to be
// dropped after all (a live source, or a stop: a stalled output must not
// hold the end).
bool wait_for_writer(const dump_instance *instance, dump_thread_ctx *ctx, const record_rules &rules)
{
    if (!rules.source_waits || instance->running.load(std::memory_order_relaxed) != 1)
        return false;
    if (ctx->own.mark.records)
        dump_queue_hand_over(ctx, 0);
    timespec pause{0, 1000000};
    nanosleep(&pause, nullptr);
    return true;
}

// Queues the matched packets and counts what became of them.
void write_burst(dump_instance *instance, dump_thread_ctx *ctx, const record_rules &rules,
                 const matched_burst *m)
{
    uint32_t lost[3] = {}; // by -placed: queued, no file, behind
    notice_failure(ctx);
    for (uint32_t i = 0; i < m->n; i++) {
        int64_t sec = 0;
        uint32_t head[4];
        stamp(rules, m->buf[i], &sec, &head[1]);
        uint32_t len = m->len[i];
        head[2] = len < rules.snaplen ? len : rules.snaplen;
        head[3] = rules.wire_len && vexmo_buff_wirelen ? vexmo_buff_wirelen(m->buf[i]) : len;
        if (head[3] < len)
            head[3] = len;
        // The savefile's seconds are 32 bits wide; a stamp beyond is written
        // modulo 2^32, as every pcap writer does.
        head[0] = static_cast<uint32_t>(sec);
        int rc;
        do {
            rc = place_record(instance, ctx, rules, kRecordHeader + head[2], sec);
            if (rc == kQueued)
                rc = append_record(ctx, head, m->data[i]);
        } while (rc == kBehind && wait_for_writer(instance, ctx, rules));
        lost[-rc]++;
    }
    dump_queue_count(ctx);
    // Relaxed: the writer adds to unwritten too (fetch_add on both sides).
    if (lost[-kNoFile])
        ctx->shared.counts.unwritten.fetch_add(lost[-kNoFile], std::memory_order_relaxed);
    if (lost[-kBehind])
        dump_counter_add(ctx->shared.counts.output_dropped, lost[-kBehind]);
}

// An idle worker under -G moves to the next window when the clock says the
// current one is over: a new file under -j write (idle workers too have a
// file per window), none under -j arrival, whose next record opens it.
void idle_window(dump_instance *instance, dump_thread_ctx *ctx, const record_rules &rules)
{
    int64_t wall = dump_clock_ns(CLOCK_REALTIME_COARSE) / 1000000000LL;
    if (wall < ctx->own.window_end + (rules.arrival ? kArrivalGraceSeconds : 0))
        return;
    if (rules.arrival)
        close_file(ctx);
    else
        place_record(instance, ctx, rules, 0, wall);
}

// SIGHUP under rotation: the next file at once, in the same window under
// -G. Acted on once it could be queued.
void hangup(dump_instance *instance, dump_thread_ctx *ctx, const record_rules &rules, uint32_t hup)
{
    int64_t now = dump_clock_ns(CLOCK_REALTIME) / 1000000000LL;
    int rc = kQueued;
    if (ctx->own.file_open)
        rc = next_file(instance, ctx, rules.rotation.rotate_seconds ? ctx->own.file_time : now);
    else if (!ctx->own.awaits_record)
        rc = open_for(instance, ctx, rules, now);
    if (rc != kBehind)
        ctx->own.hup_seen = hup;
}

// Between bursts: SIGHUP's next file, an idle worker's next window, a
// worker without a file trying again, and a mark whose oldest record has
// waited long enough.
void between_bursts(dump_instance *instance, dump_thread_ctx *ctx, const record_rules &rules,
                    bool idle)
{
    if (ctx->shared.write_errno.load(std::memory_order_relaxed) != 0)
        return;
    notice_failure(ctx);
    uint32_t hup = instance->hup_count.load(std::memory_order_relaxed);
    if (hup != ctx->own.hup_seen) {
        hangup(instance, ctx, rules, hup);
        return;
    }
    if (!ctx->own.file_open) {
        if (!ctx->own.awaits_record && !rules.arrival)
            open_for(instance, ctx, rules, 0);
        return;
    }
    // A new file of an idle worker (SIGHUP, the next window) is opened now,
    // not when its first record comes.
    bool opens_idle = idle && ctx->own.mark.records == 0 && (ctx->own.mark.flags & DUMP_MARK_OPENS);
    if (opens_idle ||
        (ctx->own.mark.records &&
         dump_clock_ns(CLOCK_MONOTONIC_COARSE) - ctx->own.first_pending_ns >= kFlushAfterNs))
        dump_queue_hand_over(ctx, 0); // no free mark: tried again after the next burst
    if (idle && rules.rotation.rotate_seconds && ctx->own.idle_rotates)
        idle_window(instance, ctx, rules);
}

record_rules rules_of(const dump_instance *instance, const dump_thread_ctx *ctx)
{
    record_rules r{};
    r.snaplen = instance->snaplen ? instance->snaplen : kMaxSnapLen;
    // Without -s a packet too long for the classic snapshot length is left
    // out whole, never written cut.
    r.max_len = instance->snaplen ? UINT32_MAX : kMaxPacket;
    r.arrival = instance->tstamp_type == DUMP_TSTAMP_ARRIVAL;
    r.wire_len = instance->snaplen != 0 || r.arrival;
    r.nano = instance->nano != 0;
    // A compressed file's size is known only to the writer, which moves to
    // the next file itself (writer.cc).
    r.rotation.rotate_size =
        instance->rotate_size && !instance->compress ? instance->rotate_size : UINT64_MAX;
    r.rotation.rotate_seconds = instance->rotate_seconds;
    r.source_waits = vexmo_stream_waits &&
                     vexmo_stream_waits(instance->io_instance, ctx->setup.stream_index) == 1;
    const bpf_program &prog = ctx->setup.bpf_prog;
    r.takes_all =
        prog.bf_len == 1 && prog.bf_insns[0].code == (BPF_RET | BPF_K) && prog.bf_insns[0].k != 0;
    return r;
}

} // namespace

namespace {

// Beyond the source's settle time: one poll of the live source, and the
// timer's slack on the ring's block timeout.
constexpr int64_t kSettleMarginMs = 100;

// Whether a worker that saw the stop may return now. What arrived before a
// stop belongs in the files, but a source may hand a packet out a while
// after it arrived (a live ring, a block at a time): the worker goes on
// polling for the source's settle time and a margin from the moment it
// first saw the stop (*until_ns, 0 until then). At once without the
// statistics call, with a settle time of 0 (a savefile) or a stream that
// has ended.
bool stop_settled(const dump_instance *instance, const dump_thread_ctx *ctx, int64_t *until_ns)
{
    int64_t now = dump_clock_ns(CLOCK_MONOTONIC);
    if (*until_ns == 0) {
        vexmo_stream_stats_t st{};
        if (!vexmo_stream_stats ||
            vexmo_stream_stats(instance->io_instance, ctx->setup.stream_index, &st) != 0 ||
            st.settle_ms == 0 || st.state != VEXMO_STREAM_RUNNING)
            return true;
        *until_ns = now + (st.settle_ms + kSettleMarginMs) * 1000000;
    }
    return now >= *until_ns;
}

// Polls, filters and writes until the limit, or a stop and what came
// before it.
void capture_loop(dump_instance *instance, dump_thread_ctx *ctx)
{
    vexmo_instance_t *io = instance->io_instance;
    const record_rules rules = rules_of(instance, ctx);
    vexmo_buff_t *bufs[kBurst];
    matched_burst matched;
    int64_t settle_until = 0;

    for (;;) {
        if (ctx->setup.limit != 0 &&
            ctx->shared.captured.load(std::memory_order_relaxed) >= ctx->setup.limit)
            return;
        int n = vexmo_recv_all_burst(io, ctx->setup.stream_index, bufs, kBurst);
        // The library promises 0 to the capacity; anything else is taken as
        // nothing or as a full burst rather than read out of bounds.
        if (n < 0)
            n = 0;
        if (n > static_cast<int>(kBurst))
            n = kBurst;
        if (n > 0) {
            filter_burst(ctx, rules, bufs, n, &matched);
            write_burst(instance, ctx, rules, &matched);
            dump_counter_add(ctx->shared.received, static_cast<uint64_t>(n));
            vexmo_buff_free(io, bufs, static_cast<uint32_t>(n), -1, -1);
        }
        // Idle when nothing was written: a worker whose filter takes nothing
        // still starts its next file at the window's boundary.
        between_bursts(instance, ctx, rules, n == 0 || matched.n == 0);
        // Relaxed: `running` publishes no data, it only asks to stop.
        if (instance->running.load(std::memory_order_relaxed) != 1 &&
            stop_settled(instance, ctx, &settle_until))
            return;
    }
}

} // namespace

void *dump_capture_thread(void *arg)
{
    auto *ctx = static_cast<dump_thread_ctx *>(arg);
    dump_instance *instance = ctx->setup.instance;
    // A worker that starts after the stop still takes what arrived before it.
    int64_t settle_until = 0;
    if (instance->running.load(std::memory_order_relaxed) == 1 ||
        !stop_settled(instance, ctx, &settle_until))
        capture_loop(instance, ctx);
    // Everything queued is written and the file closed before the writer
    // ends; the slot of this mark is kept for it.
    dump_queue_hand_over(ctx, DUMP_MARK_CLOSES | DUMP_MARK_ENDS);
    // The main thread joins at once instead of at its next wake-up.
    ctx->shared.finished.store(1, std::memory_order_release);
    dump_files_kick(instance);
    return nullptr;
}
