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
        if (!ctx || !ctx->started)
            continue;
        // Relaxed: each counter is a single writer's running total; the
        // interim report only needs some recent value of each.
        uint64_t r = ctx->received.load(std::memory_order_relaxed);
        uint64_t c = ctx->captured.load(std::memory_order_relaxed);
        fprintf(stderr,
                "    Thread %d: dumpfile %s, %" PRIu64 " packets recved, %" PRIu64
                " packets captured.\n",
                static_cast<int>(i), ctx->dumpfile, r, c);
        received += r;
        captured += c;
    }
    fprintf(stderr,
            "    Summary : dumpfile %s, %" PRIu64 " packets recved, %" PRIu64
            " packets captured.\n\n",
            instance->dumpfile, received, captured);
}

void dump_report_losses(dump_instance *instance, bool final_report)
{
    // At the end the library prints its own drop lines as the process exits.
    if (!final_report && vexmo_report_drops)
        vexmo_report_drops(instance->io_instance);
    char line[kTextSize];
    uint64_t total = 0;
    int at = 0;
    for (uint32_t i = 0; i < instance->nr_threads && i < kMaxThreads; i++) {
        dump_thread_ctx *ctx = instance->threads[i];
        if (!ctx || !ctx->started)
            continue;
        uint64_t n = ctx->counts.oversize.load(std::memory_order_relaxed);
        total += n;
        if (at >= 0 && static_cast<size_t>(at) < sizeof(line))
            at += snprintf(line + at, sizeof(line) - static_cast<size_t>(at), " %" PRIu64, n);
    }
    if (total == 0)
        return;
    fprintf(stderr,
            "%" PRIu64 " packets longer than %u bytes received but not written (per thread:%s)\n",
            total, kMaxPacket, line);
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
