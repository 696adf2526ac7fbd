// What trawlcap prints on standard error: the statistics report, at the end
// of the run and on SIGUSR1, and the one line of a failure.
#include <cinttypes>
#include <cstdarg>
#include <cstdio>

#include "trawlcap.h"

void dump_capture_result(dump_instance *instance)
{
    uint64_t received = 0;
    uint64_t captured = 0;
    fprintf(stderr, "\nCapture statistics:\n");
    for (uint32_t i = 0; i < instance->nr_threads && i < kMaxThreads; i++) {
        dump_thread_ctx *ctx = instance->threads[i];
        if (!ctx || !ctx->setup.started)
            continue;
        // Relaxed: each counter is a single writer's running total; the
        // interim report only needs some recent value of each.
        uint64_t r = ctx->shared.received.load(std::memory_order_relaxed);
        uint64_t c = ctx->shared.captured.load(std::memory_order_relaxed);
        char name[kTextSize];
        dump_current_name(instance, ctx, name, sizeof(name));
        fprintf(stderr,
                "    Thread %d: dumpfile %s, %" PRIu64 " packets recved, %" PRIu64
                " packets captured.\n",
                static_cast<int>(i), name, r, c);
        received += r;
        captured += c;
    }
    fprintf(stderr,
            "    Summary : dumpfile %s, %" PRIu64 " packets recved, %" PRIu64
            " packets captured.\n\n",
            instance->dumpfile, received, captured);
}

namespace {

// The total of one worker counter and its per-thread list; 0 when none.
uint64_t per_thread(const dump_instance *instance, std::atomic<uint64_t> dump_counters::*counter,
                    char *line, size_t size)
{
    uint64_t total = 0;
    int at = 0;
    line[0] = '\0';
    for (uint32_t i = 0; i < instance->nr_threads && i < kMaxThreads; i++) {
        const dump_thread_ctx *ctx = instance->threads[i];
        if (!ctx || !ctx->setup.started)
            continue;
        uint64_t n = (ctx->shared.counts.*counter).load(std::memory_order_relaxed);
        total += n;
        if (at >= 0 && static_cast<size_t>(at) < size)
            at += snprintf(line + at, size - static_cast<size_t>(at), " %" PRIu64, n);
    }
    return total;
}

} // namespace

void dump_report_losses(dump_instance *instance, bool final_report)
{
    // At the end the library prints its own drop lines as the process exits.
    if (!final_report && vexmo_report_drops)
        vexmo_report_drops(instance->io_instance);
    char line[kTextSize];
    uint64_t total = per_thread(instance, &dump_counters::oversize, line, sizeof(line));
    if (total)
        fprintf(stderr,
                "%" PRIu64
                " packets longer than %u bytes received but not written (per thread:%s)\n",
                total, kMaxPacket, line);
    total = per_thread(instance, &dump_counters::unwritten, line, sizeof(line));
    if (total)
        fprintf(stderr,
                "%" PRIu64 " packets received but not written: no dump file could take them "
                "(per thread:%s)\n",
                total, line);
    total = per_thread(instance, &dump_counters::output_dropped, line, sizeof(line));
    if (total)
        fprintf(stderr,
                "%" PRIu64 " packets dropped because the output fell behind (per thread:%s)\n",
                total, line);
}

int cannot(const char *format, ...)
{
    // One line even if another thread prints meanwhile.
    flockfile(stderr);
    fputs("Cannot ", stderr);
    va_list args;
    va_start(args, format);
    vfprintf(stderr, format, args);
    va_end(args);
    fputc('\n', stderr);
    funlockfile(stderr);
    return -1;
}
