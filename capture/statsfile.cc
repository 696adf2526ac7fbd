// -S FILE: the capture's counters in the Prometheus text exposition format,
// as node_exporter's textfile collector reads it. The main thread rewrites
// the file whole every second and once more at the end: a temporary file in
// the same folder, renamed over it, so that a reader never sees half a file.
// Every value is a running total that never goes down (or a gauge), read
// once per rewrite from counters the workers keep.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "trawlcap.h"

namespace {

// Room for every worker's samples with their labels, and the HELP lines.
constexpr size_t kStatsTextSize = 256 * 1024;

struct worker_sample {
    uint64_t received, captured, oversize, bytes, uncompressed, write_errors, files, unwritten,
        output_dropped;
    vexmo_stream_stats_t source;
    bool has_source;
};

struct text_buffer {
    char *text;
    size_t len;
};

void append(text_buffer *t, const char *format, ...) __attribute__((format(printf, 2, 3)));
void append(text_buffer *t, const char *format, ...)
{
    if (t->len >= kStatsTextSize)
        return;
    va_list args;
    va_start(args, format);
    int n = vsnprintf(t->text + t->len, kStatsTextSize - t->len, format, args);
    va_end(args);
    if (n > 0)
        t->len += static_cast<size_t>(n);
}

// Which counter each metric shows, and what it means.
struct metric {
    const char *name;
    const char *type;
    const char *help;
    bool needs_source; // absent where the packet I/O library cannot say
    uint64_t (*value)(const worker_sample &);
    bool needs_compress = false; // shown only under --compress
};

const metric kMetrics[] = {
    {"trawlcap_received_packets_total", "counter",
     "Packets the worker took from its receive stream.", false,
     [](const worker_sample &s) { return s.received; }},
    {"trawlcap_captured_packets_total", "counter",
     "Packets that passed the filter and reached a dump file.", false,
     [](const worker_sample &s) { return s.captured; }},
    {"trawlcap_dropped_packets_total", "counter",
     "Packets the packet source dropped before the worker could take them.", true,
     [](const worker_sample &s) { return s.source.dropped; }},
    {"trawlcap_truncated_packets_total", "counter",
     "Packets the packet source handed over shorter than they were on the wire.", true,
     [](const worker_sample &s) { return s.source.truncated; }},
    {"trawlcap_oversize_packets_total", "counter",
     "Packets that passed the filter but were not written because of their length.", false,
     [](const worker_sample &s) { return s.oversize; }},
    {"trawlcap_unwritten_packets_total", "counter",
     "Packets that passed the filter but that no dump file could take (a failed open or write).",
     false, [](const worker_sample &s) { return s.unwritten; }},
    {"trawlcap_output_dropped_packets_total", "counter",
     "Packets that passed the filter but were dropped because the output fell behind (the "
     "worker's write queue was full).",
     false, [](const worker_sample &s) { return s.output_dropped; }},
    {"trawlcap_written_bytes_total", "counter",
     "Bytes written to the worker's dump files, headers included.", false,
     [](const worker_sample &s) { return s.bytes; }},
    {"trawlcap_uncompressed_bytes_total", "counter",
     "What the bytes written to the worker's compressed dump files hold before compression.", false,
     [](const worker_sample &s) { return s.uncompressed; }, true},
    {"trawlcap_write_errors_total", "counter", "Writes to the worker's dump files that failed.",
     false, [](const worker_sample &s) { return s.write_errors; }},
    {"trawlcap_files_total", "counter", "Dump files the worker opened.", false,
     [](const worker_sample &s) { return s.files; }},
    {"trawlcap_source_failed", "gauge",
     "1 once the worker's packet source ended by a failure (interface gone, savefile damaged).",
     true, [](const worker_sample &s) { return uint64_t{s.source.state == VEXMO_STREAM_FAILED}; }},
};

worker_sample sample_of(const dump_instance *instance, const dump_thread_ctx *ctx, uint32_t i)
{
    worker_sample s{};
    s.received = ctx->shared.received.load(std::memory_order_relaxed);
    s.captured = ctx->shared.counts.flushed.load(std::memory_order_relaxed);
    s.oversize = ctx->shared.counts.oversize.load(std::memory_order_relaxed);
    s.bytes = ctx->shared.counts.bytes.load(std::memory_order_relaxed);
    s.uncompressed = ctx->shared.counts.uncompressed.load(std::memory_order_relaxed);
    s.write_errors = ctx->shared.counts.write_errors.load(std::memory_order_relaxed);
    s.files = ctx->shared.counts.files.load(std::memory_order_relaxed);
    s.unwritten = ctx->shared.counts.unwritten.load(std::memory_order_relaxed);
    s.output_dropped = ctx->shared.counts.output_dropped.load(std::memory_order_relaxed);
    s.has_source =
        vexmo_stream_stats && vexmo_stream_stats(instance->io_instance, i, &s.source) == 0;
    return s;
}

void compose(const dump_instance *instance, text_buffer *t)
{
    static worker_sample samples[kMaxThreads];
    bool started[kMaxThreads] = {};
    for (uint32_t i = 0; i < instance->nr_threads; i++) {
        const dump_thread_ctx *ctx = instance->threads[i];
        started[i] = ctx && ctx->setup.started;
        if (started[i])
            samples[i] = sample_of(instance, ctx, i);
    }
    for (const metric &m : kMetrics) {
        if ((m.needs_source && !vexmo_stream_stats) || (m.needs_compress && !instance->compress))
            continue;
        append(t, "# HELP %s %s\n# TYPE %s %s\n", m.name, m.help, m.name, m.type);
        for (uint32_t i = 0; i < instance->nr_threads; i++)
            if (started[i] && (!m.needs_source || samples[i].has_source))
                append(t, "%s{worker=\"%u\"} %" PRIu64 "\n", m.name, i, m.value(samples[i]));
    }
    append(t,
           "# HELP trawlcap_removed_files_total Closed dump files removed by -W or --min-free.\n"
           "# TYPE trawlcap_removed_files_total counter\ntrawlcap_removed_files_total %" PRIu64
           "\n",
           dump_files_removed(instance));
    append(
        t,
        "# HELP trawlcap_command_failures_total Commands of -z that failed or could not run.\n"
        "# TYPE trawlcap_command_failures_total counter\ntrawlcap_command_failures_total %" PRIu64
        "\n",
        dump_files_command_failures(instance));
}

// Writes all of text to a new file beside path and renames it over path.
// The new file has a name nobody could know beforehand and is created
// exclusively, so that a link planted in a shared folder is never followed.
int replace_file(const char *path, const char *text, size_t len)
{
    char tmp[kTextSize + 16];
    const char *slash = strrchr(path, '/');
    int dir_len = slash ? static_cast<int>(slash - path + 1) : 0;
    snprintf(tmp, sizeof(tmp), "%.*s.%s.XXXXXX", dir_len, path, path + dir_len);
    int fd = mkostemp(tmp, O_CLOEXEC);
    if (fd < 0)
        return -1;
    // Readable by the collector, which runs as another user.
    fchmod(fd, 0644);
    size_t done = 0;
    while (done < len) {
        ssize_t n = write(fd, text + done, len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    int err = done == len ? 0 : errno ? errno : ENOSPC;
    if (close(fd) != 0 && err == 0)
        err = errno;
    if (err == 0 && rename(tmp, path) == 0)
        return 0;
    err = err ? err : errno;
    unlink(tmp);
    errno = err;
    return -1;
}

} // namespace

void dump_stats_write(dump_instance *instance)
{
    static char *text = static_cast<char *>(malloc(kStatsTextSize));
    static int64_t start_time = time(nullptr);
    // Said once while it fails; said again only after it worked meanwhile.
    static bool complained = false;
    if (!text)
        return;
    text_buffer t{text, 0};
    append(
        &t,
        "# HELP trawlcap_start_time_seconds When the capture started, in seconds since the epoch.\n"
        "# TYPE trawlcap_start_time_seconds gauge\ntrawlcap_start_time_seconds %" PRId64 "\n",
        start_time);
    compose(instance, &t);
    if (replace_file(instance->stats_file, text, t.len) == 0) {
        complained = false;
        return;
    }
    if (!complained)
        cannot("write statistics file %s: %s", instance->stats_file, strerror(errno));
    complained = true;
}
