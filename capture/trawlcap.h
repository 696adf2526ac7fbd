// trawlcap.h - the capture program's run record, worker record and routines.
//
// One `dump_instance` per process, reached through `g_dump_instance`; one
// `dump_thread_ctx` per worker index. Both are created at start-up and never
// freed. Routines return 0 on success and -1 after a failure whose one
// "Cannot ..." line was already printed on standard error.
#ifndef CAPTURE_TRAWLCAP_H
#define CAPTURE_TRAWLCAP_H

#include <pcap/pcap.h>
#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "vexmo.h"

constexpr size_t kNameSize = 64;        // app_name, dev_symbol
constexpr size_t kTextSize = 2048;      // dumpfile, bpf_rule, -q working copy
constexpr uint32_t kMaxThreads = 128;   // worker slots in the record
constexpr uint32_t kBurst = 32;         // buffers taken per poll
constexpr uint32_t kSnapLen = 65535;    // dead handle's snapshot length
constexpr uint32_t kMaxPacket = 65535;  // longer packets are never written
// Write buffer of every dump stream. It must hold the largest record (16-byte
// header + 65535 bytes), because the worker flushes before a record that
// would not fit, so every flush writes whole records only.
constexpr size_t kDumpBufferSize = size_t{1} << 20;
static_assert(kDumpBufferSize >= 16 + kMaxPacket);

struct dump_thread_ctx {
    uint32_t started;           // 1 once the thread was created
    pthread_t tid;
    uint32_t stream_index;
    char dumpfile[kTextSize];   // own file name; empty in standard-output mode
    pcap_dumper_t *dumper;
    struct bpf_program bpf_prog;
    uint64_t limit;             // 0: no limit
    // Written only by the worker (relaxed load + store, no read-modify-write);
    // read by the main thread for the interim report while the worker runs.
    // `captured` counts records that reached the dump stream and were not lost
    // to a failed write: after a write error the records of the failed flush
    // are taken back out of it.
    std::atomic<uint64_t> captured;
    std::atomic<uint64_t> received;
    // Write accounting, owned by the worker until it is joined, then by main.
    size_t buffered;            // bytes handed to the stream since the last flush
    uint64_t pending;           // records handed to the stream since the last flush
    // errno of the first failed flush, 0 when none. Written by the worker,
    // read by the main thread while it waits, to end a capture that can no
    // longer write anywhere.
    std::atomic<int> write_errno;
    // Set when the stream opens. A failed flush cuts a regular file back to
    // where that flush began, never below `keep_size`, the size the file had
    // before this run wrote to it (-1: not a regular file, never cut). On an
    // appending descriptor a flush begins at the end of the file, wherever
    // the offset is.
    int64_t keep_size;
    uint32_t appends;
};

struct dump_instance {
    char app_name[kNameSize];
    char dev_symbol[kNameSize];
    vexmo_instance_t *io_instance;
    vexmo_device_t *io_device;
    uint64_t thread_mask;
    uint32_t nr_threads;
    char dumpfile[kTextSize];
    FILE *dump_stream;          // stdout in standard-output mode, else null
    char bpf_rule[kTextSize];
    pcap_t *pcap_handle;
    uint64_t packet_count;
    dump_thread_ctx *threads[kMaxThreads];
    // Cleared by the SIGINT/SIGTERM handler and by a worker whose dump stream
    // failed; read by every worker after each poll.
    std::atomic<int> running;
};

static_assert(std::atomic<int>::is_always_lock_free, "running is written in a signal handler");
static_assert(std::atomic<uint64_t>::is_always_lock_free);
static_assert(offsetof(dump_instance, dev_symbol) == kNameSize);
static_assert(offsetof(dump_instance, running) > offsetof(dump_instance, threads));
static_assert(offsetof(dump_thread_ctx, received) > offsetof(dump_thread_ctx, captured));

extern dump_instance *g_dump_instance;

// Result of parsing the command line into the record.
enum dump_parse_result {
    DUMP_PARSE_OK = 0,
    DUMP_PARSE_USAGE,           // a rejected option: main calls usage()
    // Values the record cannot hold: refused with one line, never cut, since
    // a cut name or rule would quietly capture or write something else.
    DUMP_PARSE_TOO_MANY_THREADS,
    DUMP_PARSE_DEVICE_TOO_LONG,
    DUMP_PARSE_DUMPFILE_TOO_LONG,
    DUMP_PARSE_LIST_TOO_LONG,
    DUMP_PARSE_FILTER_TOO_LONG,
};

// Fills `instance` with the defaults, then from argv (getopt "p:w:c:i:q:" and
// the remaining filter words). Touches nothing but the record, getopt's state
// and argv's order (getopt permutes it); getopt may print its own diagnostic.
dump_parse_result dump_parse_args(dump_instance *instance, int argc, char **argv);
// The one line main prints for a refused value before it calls usage().
void dump_parse_complain(dump_parse_result result);
// Ends the process with status 0, printing nothing.
[[noreturn]] void usage();

void sig_interupt_handle(int signo);
int dump_thread_init(dump_instance *instance, dump_thread_ctx *ctx, int index);
int __thread_dumpfile_generate(const char *base, int index, char *out, size_t out_size);
// Worker index's file: the per-thread name, or the base unchanged when it is
// an existing character device (-w /dev/null must not create /dev/null_0).
// Returns the length of the whole name, as __thread_dumpfile_generate does.
int dump_thread_dumpfile(const char *base, int index, char *out, size_t out_size);
// -1 after one "Cannot" line when the base is a character device that keeps
// what is written to it (a terminal, a serial line) and more than one worker
// is selected: their files would interleave into garbage. Devices that keep
// nothing (null, zero, full) take any number of workers.
int dump_check_dumpfile(const dump_instance *instance);
void *dump_capture_thread(void *arg);
// Flushes the dump stream of ctx; 0 when all its records were written. On a
// failure the records since the last good flush leave `captured`.
int dump_thread_flush(dump_thread_ctx *ctx);
void dump_capture_result(dump_instance *instance);
// Prints the one failure line, "Cannot " and the formatted text, on standard
// error and returns -1, so that a failure site is `return cannot(...);`.
int cannot(const char *format, ...) __attribute__((format(printf, 1, 2)));

#endif  // CAPTURE_TRAWLCAP_H
