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
constexpr long kJoinPollNs = 100 * 1000 * 1000;

void sig_report_handle(int)
{
    g_report_requested.store(1, std::memory_order_relaxed);
}

// True when every started worker's dump stream has failed: nothing more can
// be written, so the capture ends as after an interrupt. A worker whose stream
// failed keeps taking and freeing its packets meanwhile, so that the others
// are not stopped by one bad file.
bool no_writer_left(const dump_instance *instance)
{
    bool any = false;
    for (uint32_t i = 0; i < instance->nr_threads; i++) {
        const dump_thread_ctx *ctx = instance->threads[i];
        if (!ctx || !ctx->started)
            continue;
        if (ctx->write_errno.load(std::memory_order_relaxed) == 0)
            return false;
        any = true;
    }
    return any;
}

// pthread_join that wakes up now and then to serve SIGUSR1 (the handler may
// only set a flag, and the main thread is the one that prints) and to end a
// capture that can no longer write.
void join_worker(dump_instance *instance, dump_thread_ctx *ctx)
{
    for (;;) {
        timespec deadline;
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_nsec += kJoinPollNs;
        if (deadline.tv_nsec >= 1000000000L) {
            deadline.tv_sec++;
            deadline.tv_nsec -= 1000000000L;
        }
        if (pthread_timedjoin_np(ctx->tid, nullptr, &deadline) != ETIMEDOUT)
            return;
        if (g_report_requested.exchange(0, std::memory_order_relaxed))
            dump_capture_result(instance);
        if (no_writer_left(instance))
            instance->running.store(0, std::memory_order_relaxed);
    }
}

// After a failed set-up the run ends without a report, but the workers already
// started are stopped and joined first: the exit's flush of their dump
// streams must not race their writes and leave a file cut inside a record.
int abandon_setup(dump_instance *instance, uint32_t failed)
{
    instance->running.store(0, std::memory_order_relaxed);
    for (uint32_t i = 0; i < failed; i++)
        if (instance->threads[i]->started)
            pthread_join(instance->threads[i]->tid, nullptr);
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
    instance->pcap_handle = pcap_open_dead(DLT_EN10MB, kSnapLen);
    if (!instance->pcap_handle)
        return cannot("open pcap handle: %s.", strerror(errno));
    instance->io_instance = vexmo_create();
    if (vexmo_init(instance->io_instance, instance->app_name) < 0)
        return cannot("initialize dravon handle. ");
    instance->io_device = vexmo_open_device(instance->io_instance, instance->dev_symbol,
                                            instance->nr_threads, instance->nr_threads);
    if (!instance->io_device)
        return cannot("open device %s.", instance->dev_symbol);
    return 0;
}

// Sets the workers up in index order. A stop signal ends the set-up where it
// is: the workers not yet set up get no file and no thread, and the run goes
// on to the joins and the report as after any stop.
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
        if (dump_thread_init(instance, ctx, static_cast<int>(i)) < 0)
            return abandon_setup(instance, i);
    }
    install_handlers(SA_RESTART);
    return 0;
}

// Joins the workers, then flushes what their streams still hold; -1 when a
// dump file could not be written, after one line per such file.
int flush_workers(dump_instance *instance)
{
    for (uint32_t i = 0; i < instance->nr_threads; i++)
        if (instance->threads[i] && instance->threads[i]->started)
            join_worker(instance, instance->threads[i]);

    int status = 0;
    for (uint32_t i = 0; i < instance->nr_threads; i++) {
        dump_thread_ctx *ctx = instance->threads[i];
        if (!ctx || !ctx->started || dump_thread_flush(ctx) == 0)
            continue;
        status = cannot("write dumpfile %s for thread %u : %s",
                        ctx->dumpfile[0] ? ctx->dumpfile : instance->dumpfile, i,
                        strerror(ctx->write_errno.load(std::memory_order_relaxed)));
    }
    return status;
}

int dump_run(dump_instance *instance)
{
    if (open_io(instance) < 0 || start_workers(instance) < 0)
        return -1;
    int status = flush_workers(instance);
    pcap_close(instance->pcap_handle);
    dump_capture_result(instance);
    return status;
}

}  // namespace

void sig_interupt_handle(int)
{
    g_dump_instance->running.store(0, std::memory_order_relaxed);
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
    auto *instance = new (std::nothrow) dump_instance{};
    if (!instance)
        return -1;
    g_dump_instance = instance;

    dump_parse_result parsed = dump_parse_args(instance, argc, argv);
    if (parsed != DUMP_PARSE_OK) {
        dump_parse_complain(parsed);
        usage();
    }
    return dump_run(instance);
}
