// trawlcap: the run sequence, signals and exit statuses.
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>

#include "trawlcap.h"

dump_instance *g_dump_instance = nullptr;

namespace {

// Set by SIGUSR1; the main thread prints the interim report while it waits.
std::atomic<int> g_report_requested{0};
// Stop signals so far (SIGINT, SIGTERM, SIGHUP without rotation): one that
// comes while the last -z commands run ends the wait for them.
std::atomic<uint32_t> g_stops{0};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "g_stops is written in a signal handler");
constexpr int kWakeMs = 100;
constexpr int64_t kStatsEveryNs = 1000 * 1000 * 1000;
// SIGHUP was ignored when the program started (nohup): it stays so.
bool g_hangup_ignored = false;

void sig_report_handle(int)
{
    g_report_requested.store(1, std::memory_order_relaxed);
}

// A terminal that closes, an ssh session that drops: under rotation every
// worker starts its next file (an analyst gets the current one without
// stopping the capture); otherwise the capture ends as after SIGTERM.
void sig_hangup_handle(int)
{
    dump_instance *instance = g_dump_instance;
    if (instance->rotate_size || instance->rotate_seconds) {
        instance->hup_count.fetch_add(1, std::memory_order_relaxed);
    } else {
        instance->running.store(0, std::memory_order_relaxed);
        g_stops.fetch_add(1, std::memory_order_relaxed);
    }
    dump_files_kick(instance);
}

// True when every started worker's dump stream has failed for good: nothing
// more can be written, so the capture ends as after an interrupt. A worker
// whose stream failed keeps taking and freeing its packets meanwhile, so that
// the others are not stopped by one bad file. (Under rotation a worker tries
// a new file instead: its stream never fails for good.)
bool no_writer_left(const dump_instance *instance)
{
    bool any = false;
    for (uint32_t i = 0; i < instance->nr_threads; i++) {
        const dump_thread_ctx *ctx = instance->threads[i];
        if (!ctx || !ctx->setup.started)
            continue;
        if (ctx->shared.write_errno.load(std::memory_order_relaxed) == 0)
            return false;
        any = true;
    }
    return any;
}

// Joins a thread that said it is done (it is about to return: wait for
// it), or one that happens to have returned already.
bool joined_now(pthread_t tid, const std::atomic<int> &done)
{
    // Acquire: what the thread wrote before it said so is complete.
    if (done.load(std::memory_order_acquire))
        return pthread_join(tid, nullptr) == 0;
    return pthread_tryjoin_np(tid, nullptr) == 0;
}

// Whether every started worker and its writer have returned (the writer
// once it wrote everything the worker queued); joins those that have.
bool all_joined(dump_instance *instance, bool *joined)
{
    bool all = true;
    for (uint32_t i = 0; i < instance->nr_threads; i++) {
        dump_thread_ctx *ctx = instance->threads[i];
        if (!ctx || !ctx->setup.started || joined[2 * i + 1])
            continue;
        if (!joined[2 * i])
            joined[2 * i] = joined_now(ctx->setup.tid, ctx->shared.finished);
        if (joined[2 * i])
            joined[2 * i + 1] = joined_now(ctx->setup.writer_tid, ctx->shared.writer_finished);
        all = all && joined[2 * i + 1];
    }
    return all;
}

// The main thread while the workers capture and their writers write: it
// wakes every 100 ms, or at once when a file was closed or a thread ended,
// to serve SIGUSR1 (the handler may only set a flag), run the commands and
// keep the rings of closed files, rewrite the statistics file every second,
// and end a capture that can no longer write. It returns once every writer
// has written what its worker queued.
void wait_for_workers(dump_instance *instance)
{
    bool joined[2 * kMaxThreads] = {};
    int64_t next_stats = 0;
    for (;;) {
        dump_files_wait(instance, kWakeMs);
        bool done = all_joined(instance, joined);
        dump_files_service(instance, false);
        if (instance->stats_file[0] && (done || dump_clock_ns(CLOCK_MONOTONIC) >= next_stats)) {
            dump_stats_write(instance);
            next_stats = dump_clock_ns(CLOCK_MONOTONIC) + kStatsEveryNs;
        }
        if (done)
            return;
        if (g_report_requested.exchange(0, std::memory_order_relaxed)) {
            dump_capture_result(instance);
            dump_report_losses(instance, false);
        }
        if (no_writer_left(instance))
            instance->running.store(0, std::memory_order_relaxed);
    }
}

// After a failed set-up the run ends without a report, but the workers already
// started are stopped and joined first, and their writers after them: the
// exit's flush of their dump streams must not race their writes and leave a
// file cut inside a record.
int abandon_setup(dump_instance *instance, uint32_t failed)
{
    instance->running.store(0, std::memory_order_relaxed);
    for (uint32_t i = 0; i < failed; i++) {
        dump_thread_ctx *ctx = instance->threads[i];
        if (ctx->setup.started) {
            pthread_join(ctx->setup.tid, nullptr);
            pthread_join(ctx->setup.writer_tid, nullptr);
        }
    }
    return -1;
}

// Without SA_RESTART (during the set-up) a stop signal makes an open that is
// blocked on a FIFO without a reader return EINTR, so that the set-up can end;
// with it (while capturing) no write of a record or a report line is cut
// short by a signal.
void install_handlers(int flags)
{
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = flags;
    sa.sa_handler = sig_interupt_handle;
    sigaction(SIGINT, &sa, nullptr);
    // Service managers and timeout(1) stop with SIGTERM: same orderly end.
    sigaction(SIGTERM, &sa, nullptr);
    sa.sa_handler = sig_report_handle;
    sigaction(SIGUSR1, &sa, nullptr);
    if (!g_hangup_ignored) {
        sa.sa_handler = sig_hangup_handle;
        sigaction(SIGHUP, &sa, nullptr);
    }
}

// The dead handle, the packet I/O instance and the device. Standard-output
// mode has one worker, so the device gets one stream: a stream that nobody
// reads would keep, or on a live interface drop, its share of the packets.
int open_io(dump_instance *instance)
{
    if (strcmp(instance->dumpfile, "-") == 0) {
        instance->nr_threads = 1;
        instance->dump_stream = stdout;
    }
    if (dump_check_dumpfile(instance) < 0)
        return -1;
    uint32_t snaplen = instance->snaplen ? instance->snaplen : kSnapLen;
    instance->pcap_handle = pcap_open_dead_with_tstamp_precision(
        DLT_EN10MB, static_cast<int>(snaplen),
        instance->nano ? PCAP_TSTAMP_PRECISION_NANO : PCAP_TSTAMP_PRECISION_MICRO);
    if (!instance->pcap_handle)
        return cannot("open pcap handle: %s.", strerror(errno));
    if (dump_file_header(instance) < 0)
        return cannot("write a pcap file header in memory: %s.", strerror(errno ? errno : EIO));
    instance->io_instance = vexmo_create();
    if (vexmo_init(instance->io_instance, instance->app_name) < 0)
        return cannot("initialize dravon handle. ");
    // An interface whose frames may be longer than the program writes is
    // said at the open; with -s longer frames are written cut, none lost.
    if (vexmo_set_frame_limit)
        vexmo_set_frame_limit(instance->io_instance, instance->snaplen ? 0 : kMaxPacket);
    instance->io_device = vexmo_open_device(instance->io_instance, instance->dev_symbol,
                                            instance->nr_threads, instance->nr_threads);
    if (!instance->io_device)
        return cannot("open device %s.", instance->dev_symbol);
    return 0;
}

// Sets the workers up in index order: every file first, then every thread.
// A stop signal ends the set-up where it is: the workers not yet set up get
// no file and no thread, and the run goes on to the joins and the report as
// after any stop.
int start_workers(dump_instance *instance)
{
    install_handlers(0);
    for (uint32_t i = 0; i < instance->nr_threads; i++) {
        if (instance->running.load(std::memory_order_relaxed) != 1)
            break;
        auto *ctx = new (std::nothrow) dump_thread_ctx{};
        if (!ctx) {
            cannot("allocate capture thread %u.", i);
            return abandon_setup(instance, i);
        }
        instance->threads[i] = ctx;
        int rc = dump_thread_prepare(instance, ctx, static_cast<int>(i));
        if (rc < 0)
            return abandon_setup(instance, 0);
        if (rc > 0)
            break;
    }
    for (uint32_t i = 0; i < instance->nr_threads && instance->threads[i]; i++)
        if (dump_thread_start(instance->threads[i], static_cast<int>(i)) < 0)
            return abandon_setup(instance, i);
    install_handlers(SA_RESTART);
    return 0;
}

// After the writers wrote and closed everything: -1 when a dump file could
// not be written or opened at any time of the run, after one line per such
// file (under rotation it was said when it happened).
int finish_files(dump_instance *instance)
{
    int status = 0;
    for (uint32_t i = 0; i < instance->nr_threads; i++) {
        dump_thread_ctx *ctx = instance->threads[i];
        if (!ctx || !ctx->setup.started)
            continue;
        int err = ctx->shared.write_errno.load(std::memory_order_relaxed);
        if (err)
            cannot("write dumpfile %s for thread %u : %s",
                   ctx->out.dumpfile[0] ? ctx->out.dumpfile : instance->dumpfile, i, strerror(err));
        if (err || ctx->shared.counts.write_errors.load(std::memory_order_relaxed))
            status = -1;
    }
    return status;
}

// The last files' commands run now; the program ends when they have, or
// at once when a stop signal comes meanwhile (a command that never ends
// must not hold the capture's end). The statistics file keeps its pace.
void wait_for_commands(dump_instance *instance)
{
    uint32_t stops = g_stops.load(std::memory_order_relaxed);
    int64_t next_stats = dump_clock_ns(CLOCK_MONOTONIC) + kStatsEveryNs;
    while (dump_files_service(instance, true) > 0) {
        if (g_stops.load(std::memory_order_relaxed) != stops) {
            dump_files_abandon(instance);
            return;
        }
        dump_files_wait(instance, kWakeMs);
        if (instance->stats_file[0] && dump_clock_ns(CLOCK_MONOTONIC) >= next_stats) {
            dump_stats_write(instance);
            next_stats = dump_clock_ns(CLOCK_MONOTONIC) + kStatsEveryNs;
        }
    }
}

// A source that ended by a failure (its interface gone, its savefile
// damaged or cut) makes the run a failure too, after the report: a service
// manager restarts it, a script sees it. Only a library that can say so.
int source_status(const dump_instance *instance)
{
    if (!vexmo_stream_stats)
        return 0;
    for (uint32_t i = 0; i < instance->nr_threads; i++) {
        const dump_thread_ctx *ctx = instance->threads[i];
        vexmo_stream_stats_t st{};
        if (ctx && ctx->setup.started && vexmo_stream_stats(instance->io_instance, i, &st) == 0 &&
            st.state == VEXMO_STREAM_FAILED)
            return -1;
    }
    return 0;
}

int dump_run(dump_instance *instance)
{
    if (open_io(instance) < 0 || dump_drop_privileges(instance) < 0 ||
        dump_files_init(instance) < 0 || start_workers(instance) < 0)
        return -1;
    wait_for_workers(instance);
    int status = finish_files(instance);
    pcap_close(instance->pcap_handle);
    dump_capture_result(instance);
    dump_report_losses(instance, true);
    if (source_status(instance) < 0)
        status = -1;
    wait_for_commands(instance);
    if (instance->stats_file[0])
        dump_stats_write(instance);
    return status;
}

} // namespace

void sig_interupt_handle(int)
{
    g_dump_instance->running.store(0, std::memory_order_relaxed);
    g_stops.fetch_add(1, std::memory_order_relaxed);
    dump_files_kick(g_dump_instance);
}

int main(int argc, char **argv)
{
    // From the first moment: a reader that goes away and a file-size limit
    // become write errors (EPIPE, EFBIG) instead of a death without a report,
    // and a monitoring script's SIGUSR1 never kills the program; it is served
    // once the workers are set up.
    signal(SIGPIPE, SIG_IGN);
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGUSR1, SIG_IGN);
    // Until the workers are set up an interrupt ends the program at once,
    // also when the shell started it with interrupts ignored (a background
    // job of a script). A hangup ignored by nohup stays ignored.
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    g_hangup_ignored = signal(SIGHUP, SIG_DFL) == SIG_IGN;
    if (g_hangup_ignored)
        signal(SIGHUP, SIG_IGN);
    auto *instance = new (std::nothrow) dump_instance{};
    if (!instance)
        return -1;
    g_dump_instance = instance;

    dump_parse_result parsed = dump_parse_args(instance, argc, argv);
    if (parsed == DUMP_PARSE_OK)
        parsed = dump_check_options(instance);
    if (parsed != DUMP_PARSE_OK || instance->check_only) {
        dump_parse_complain(instance, parsed);
        dump_parse_exit(instance, parsed);
    }
    return dump_run(instance);
}
