// Rotation: when a worker's records go to its next file, and which window
// a file is of. The worker decides (worker.cc asks here for each record and
// when idle); its writer opens the file the worker's mark names
// (dump_output_open in dumpfile.cc, the act).
#include <ctime>

#include "trawlcap.h"

bool dump_rotation_due(const dump_rotation &r, uint64_t file_bytes, uint64_t bytes, int64_t sec,
                       int64_t file_time, int64_t window_end, int64_t *start)
{
    // -C: a file past its header that the record would take past the size.
    bool by_size = file_bytes + bytes > r.rotate_size && file_bytes > kFileHeader;
    // -G: a record of another window than the file's (a stamp that went
    // back before the file's start too).
    bool by_time = r.rotate_seconds && (sec >= window_end || sec < file_time);
    if (!by_size && !by_time)
        return false;
    // By size alone the next file is of the same window, or (without -G)
    // named by the record's second.
    *start = sec;
    if (r.rotate_seconds)
        *start = by_time ? dump_window_start(sec, r.rotate_seconds) : file_time;
    return true;
}

// A next file of the same window (SIGHUP, -C, a retry) keeps the window's
// rule: else a SIGHUP taken just after the window's end would leave an idle
// worker in that window for good.
void dump_set_window(const dump_instance *instance, dump_thread_ctx *ctx, int64_t file_time)
{
    bool new_window = file_time != ctx->own.file_time || ctx->own.window_end == 0;
    ctx->own.file_time = file_time;
    if (!instance->rotate_seconds) {
        ctx->own.window_end = INT64_MAX;
    } else if (new_window) {
        ctx->own.window_end = file_time + instance->rotate_seconds;
        ctx->own.idle_rotates = ctx->own.window_end > dump_clock_ns(CLOCK_REALTIME) / 1000000000LL;
    }
}
