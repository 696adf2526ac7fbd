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
#include <sys/types.h>
#include <time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "vexmo.h"

// The packet I/O library's calls beyond the classic set are bound weakly in
// every file that uses them: the platform's own libvexmo.so.4 does not have
// them, and each is tested for null before it is called.
#pragma weak vexmo_stream_stats
#pragma weak vexmo_report_drops
#pragma weak vexmo_buff_tstamp
#pragma weak vexmo_buff_wirelen

constexpr size_t kNameSize = 64;         // app_name, dev_symbol
constexpr size_t kTextSize = 2048;       // dumpfile, bpf_rule, -q working copy
constexpr uint32_t kMaxThreads = 128;    // worker slots in the record
constexpr uint32_t kBurst = 32;          // buffers taken per poll
constexpr uint32_t kSnapLen = 65535;     // dead handle's snapshot length
constexpr uint32_t kMaxPacket = 65535;   // without -s, longer packets are never written
constexpr uint32_t kMaxSnapLen = 262144; // -s 0, and the largest -s
constexpr size_t kFileHeader = 24;       // a savefile's header
constexpr size_t kRecordHeader = 16;     // a savefile record's header
// Write buffer of every dump file. It holds the largest record, because the
// worker writes it out before a record that would not fit, so every write
// holds whole records only.
constexpr size_t kDumpBufferSize = size_t{1} << 20;
// -z commands of one worker that run at once; its later files wait their turn.
constexpr uint32_t kCommandsPerWorker = 2;
static_assert(kDumpBufferSize >= kRecordHeader + kMaxSnapLen);

// Where a record's time stamp comes from (-j).
enum dump_tstamp_type : uint32_t {
    DUMP_TSTAMP_WRITE = 0,   // the clock, just before the record is written
    DUMP_TSTAMP_ARRIVAL = 1, // the packet source's own stamp of the packet
};

// What a worker counts beside `received` and `captured`. The worker is the
// only writer (relaxed load + store); the main thread reads them while the
// worker runs, for SIGUSR1's report and the statistics file.
struct dump_counters {
    std::atomic<uint64_t> oversize;     // received, passed the filter, too long to write
    std::atomic<uint64_t> flushed;      // records that reached a file; never goes down
    std::atomic<uint64_t> bytes;        // bytes in this worker's files, headers included
    std::atomic<uint64_t> files;        // dump files opened
    std::atomic<uint64_t> write_errors; // writes and opens that failed
    // Passed the filter but reached no file: no file could be opened or
    // written when they came, or a failed write took them back out.
    std::atomic<uint64_t> unwritten;
};

// The worker's current file as other threads may name it while the worker
// rotates: a sequence lock over its number and time (the stem is fixed
// before the thread starts). seq 0: no file yet.
struct dump_published_file {
    std::atomic<uint32_t> gen; // odd while the worker changes the pair
    std::atomic<uint32_t> seq;
    std::atomic<int64_t> time;
};

struct dump_thread_ctx {
    uint32_t started;  // 1 once the thread was created
    uint32_t prepared; // its file and filter are ready: the thread may start
    pthread_t tid;
    uint32_t stream_index;
    // Own file name; empty in standard-output mode. The worker's alone while
    // it runs: other threads name its file through `published`.
    char dumpfile[kTextSize];
    pcap_dumper_t *dumper; // the file's stdio stream, which libpcap wrote the header to
    struct bpf_program bpf_prog;
    uint64_t limit; // 0: no limit
    // Written only by the worker (relaxed load + store, no read-modify-write);
    // read by the main thread for the interim report while the worker runs.
    // `captured` counts records handed to the write buffer and not lost to a
    // failed write: after a write error the records that did not reach the
    // file whole are taken back out of it.
    std::atomic<uint64_t> captured;
    std::atomic<uint64_t> received;
    alignas(64) dump_counters counts;

    // The write buffer and the file it goes to: the worker's until it is
    // joined, then main's.
    alignas(64) uint8_t *buf;
    size_t buffered;          // bytes in buf
    uint64_t pending;         // records in buf
    int fd;                   // the dumper's descriptor
    uint64_t file_bytes;      // the current file's size, buf included
    int64_t first_pending_ns; // monotonic time of the oldest record in buf
    // Set by the worker as it returns: the main thread may join it at once.
    std::atomic<int> finished;
    // errno of the first failed write, 0 when none. Written by the worker,
    // read by the main thread while it waits, to end a capture that can no
    // longer write anywhere.
    std::atomic<int> write_errno;
    // Set when the stream opens. A failed write cuts a regular file back to
    // its last whole record, never below `start_offset`, where this run's
    // first byte went (-1: not a regular file, never cut). On an appending
    // descriptor a write begins at the end of the file, wherever the offset is.
    int64_t start_offset;
    uint32_t appends;

    // Rotation (-C, -G, SIGHUP): the current file's number and window.
    uint32_t seq;          // 1 for the first file
    uint32_t next_seq;     // the number the next file gets, unless its name is taken
    int64_t file_time;     // the time in its name: its window's start, or its opening
    int64_t window_end;    // -G: the file takes records stamped before this
    uint32_t idle_rotates; // its window was not over when the window's first file opened
    uint32_t hup_seen;     // the instance's SIGHUP count this worker has acted on
    dev_t file_dev;        // which file it is, so that only it is ever removed
    ino_t file_ino;
    char stem[kTextSize]; // -C/-G: the per-worker name the numbered names derive from
    // Under rotation a worker may be without a file: before its first record
    // under -j arrival (a file is named by its first record's time), or after
    // a file could not be opened or written (it tries again a second later,
    // at `retry_ns` on the monotonic clock). `outage` is set once a failure
    // was said, so that a long outage is said once.
    uint32_t awaits_record;
    uint32_t outage;
    int64_t retry_ns;
    alignas(64) dump_published_file published;
};

struct dump_files; // the closed files of this run (rotation.cc)

struct dump_instance {
    char app_name[kNameSize];
    char dev_symbol[kNameSize];
    vexmo_instance_t *io_instance;
    vexmo_device_t *io_device;
    uint64_t thread_mask;
    uint32_t nr_threads;
    char dumpfile[kTextSize];
    FILE *dump_stream; // stdout in standard-output mode, else null
    char bpf_rule[kTextSize];
    pcap_t *pcap_handle;
    uint64_t packet_count;
    dump_thread_ctx *threads[kMaxThreads];
    // Cleared by the SIGINT/SIGTERM handler and by a worker whose dump stream
    // failed; read by every worker after each poll.
    std::atomic<int> running;

    // Options beyond the classic set; all off by default.
    uint64_t rotate_size;         // -C: bytes, 0 for none
    uint32_t rotate_seconds;      // -G: 0 for none
    uint32_t file_count;          // -W: files kept per worker, 0 for all
    uint64_t min_free;            // --min-free: bytes, 0 for none
    char post_command[kTextSize]; // -z
    char run_as[kNameSize];       // -Z
    uid_t run_uid;
    gid_t run_gid;
    char stats_file[kTextSize];   // -S
    dump_tstamp_type tstamp_type; // -j
    uint32_t nano;                // --nano: nanosecond savefiles
    uint32_t snaplen;             // -s: 0 when not given
    uint32_t check_only;          // --check: main ends after the checks, nothing opened
    // Raised by SIGHUP under rotation: every worker starts its next file.
    std::atomic<uint32_t> hup_count;
    dump_files *files; // set up when rotation, -z or --min-free need it
    char refusal[256]; // why the command line was refused
};

static_assert(std::atomic<int>::is_always_lock_free, "running is written in a signal handler");
static_assert(std::atomic<uint32_t>::is_always_lock_free,
              "hup_count is written in a signal handler");
static_assert(std::atomic<uint64_t>::is_always_lock_free);
static_assert(offsetof(dump_instance, dev_symbol) == kNameSize);
static_assert(offsetof(dump_instance, running) > offsetof(dump_instance, threads));
static_assert(offsetof(dump_thread_ctx, received) > offsetof(dump_thread_ctx, captured));

extern dump_instance *g_dump_instance;

// Adds n to a counter only its worker writes: a load and a store, no locked
// instruction, while other threads still read whole values.
inline void dump_counter_add(std::atomic<uint64_t> &counter, uint64_t n)
{
    counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

// Nanoseconds on clock (CLOCK_MONOTONIC, CLOCK_REALTIME_COARSE, ...).
inline int64_t dump_clock_ns(clockid_t clock)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

// The start of the -G window of `seconds` that holds second sec, for any
// sec: the windows are the multiples of `seconds` since the epoch.
inline int64_t dump_window_start(int64_t sec, int64_t seconds)
{
    return sec - ((sec % seconds) + seconds) % seconds;
}

// Result of parsing the command line into the record.
enum dump_parse_result {
    DUMP_PARSE_OK = 0,
    DUMP_PARSE_USAGE, // a rejected option: main ends through dump_parse_exit
    // Values the record cannot hold: refused with one line, never cut, since
    // a cut name or rule would quietly capture or write something else.
    DUMP_PARSE_TOO_MANY_THREADS,
    DUMP_PARSE_DEVICE_TOO_LONG,
    DUMP_PARSE_DUMPFILE_TOO_LONG,
    DUMP_PARSE_LIST_TOO_LONG,
    DUMP_PARSE_FILTER_TOO_LONG,
    DUMP_PARSE_REFUSED, // a bad value of a newer option: why is in `refusal`
    DUMP_PARSE_HELP,    // -h, --help: the usage text on standard output
    DUMP_PARSE_VERSION, // --version
};

// Fills `instance` with the defaults, then from argv (the options, then the
// remaining filter words). Touches nothing but the record, getopt's state
// and argv's order (getopt permutes it); getopt may print its own diagnostic.
dump_parse_result dump_parse_args(dump_instance *instance, int argc, char **argv);
// What the command line asks of the system, checked before anything is
// opened: the -Z user, the -z command, what the packet I/O library offers,
// options that need another. DUMP_PARSE_REFUSED with `refusal` set, or OK.
dump_parse_result dump_check_options(dump_instance *instance);
// The one line main prints for a refused value before it ends, or
// the usage text or version on standard output for -h and --version. Under
// --check a command line refused without a line of its own gets one.
void dump_parse_complain(const dump_instance *instance, dump_parse_result result);
// Stores why the command line is refused; returns DUMP_PARSE_REFUSED.
dump_parse_result dump_refuse(dump_instance *instance, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
// -Z: started as root, the program becomes the user once the device is
// open, before any dump file is created; -1 after the "Cannot" line.
int dump_drop_privileges(const dump_instance *instance);
// The usage text of -h, on standard output.
void dump_print_usage(const char *app_name);
// Ends the process with status 0, printing nothing.
[[noreturn]] void usage();
// Ends a process that does not capture, after dump_parse_complain: a refused
// command line, -h or --version end as usage() does; with --check the status
// is 0 when the command line passed dump_parse_args and dump_check_options
// (result OK), else 1.
[[noreturn]] void dump_parse_exit(const dump_instance *instance, dump_parse_result result);

void sig_interupt_handle(int signo);
int dump_thread_init(dump_instance *instance, dump_thread_ctx *ctx, int index);
// dump_thread_init in two steps, so that every worker's first file has its
// header before any worker captures (a worker that came last would find
// the disk filled by the others): the file and the filter, then the thread.
int dump_thread_prepare(dump_instance *instance, dump_thread_ctx *ctx, int index);
int dump_thread_start(dump_thread_ctx *ctx, int index);
int __thread_dumpfile_generate(const char *base, int index, char *out, size_t out_size);
// Worker index's file: the per-thread name, or the base unchanged when it is
// an existing character device (-w /dev/null must not create /dev/null_0).
// Returns the length of the whole name, as __thread_dumpfile_generate does.
int dump_thread_dumpfile(const char *base, int index, char *out, size_t out_size);
// Whether -w names a target that is written as it is rather than as one
// file per worker: standard output, a name that stands for an open
// descriptor (/dev/stdout, /dev/fd/N), or an existing file that is not a
// regular file (a character device, a FIFO).
bool dump_target_is_stream(const char *dumpfile);
// The descriptor a -w name stands for (/dev/stdout: 1), or -1.
int dump_target_fd(const char *dumpfile);
// -1 after one "Cannot" line when the base is a character device that keeps
// what is written to it (a terminal, a serial line) and more than one worker
// is selected: their files would interleave into garbage. Devices that keep
// nothing (null, zero, full) take any number of workers.
int dump_check_dumpfile(const dump_instance *instance);
void *dump_capture_thread(void *arg);

// Dump files (dumpfile.cc).
// Opens worker index's first dump file, or its stream in standard-output
// mode, and writes its header (under rotation with -j arrival the file waits
// for its first record). 1 when a stop signal ended a blocked open, -1
// after the "Cannot" line.
int dump_file_open(dump_instance *instance, dump_thread_ctx *ctx, int index);
// A worker without a file (see awaits_record) opens the next one, named by
// file_time. 0, or -1 when it could not (said once per outage).
int dump_file_reopen(dump_instance *instance, dump_thread_ctx *ctx, int64_t file_time);
// Closes the current file without opening another (-G under -j arrival: an
// idle worker's window is over; the next record opens the next file).
void dump_file_close(dump_instance *instance, dump_thread_ctx *ctx);
// The name of the worker's current file (the one it last tried to open),
// for any thread while the worker runs.
void dump_current_name(const dump_instance *instance, const dump_thread_ctx *ctx, char *out,
                       size_t out_size);
// Writes the buffer out; 0 when all its records reached the file. After a
// failure the file ends on its last whole record and the records that did
// not reach it leave `captured`.
int dump_thread_flush(dump_thread_ctx *ctx);
// Flushes and closes the worker's file at the end of the run; -1 as the flush.
int dump_file_finish(dump_instance *instance, dump_thread_ctx *ctx);
// Closes the current file and opens the next (-C, -G, SIGHUP); file_time is
// the new file's time. -1 when the next file cannot be opened (said once).
int dump_file_rotate(dump_instance *instance, dump_thread_ctx *ctx, int64_t file_time);
// The numbered name of a worker's file: the stem with _NNNNN_TIME before
// its suffix, TIME in UTC as YYYYMMDDTHHMMSSZ.
// A worker's file seq, started at file_time: its numbered name under -C or
// -G, else the stem itself; the length of the whole name, as snprintf.
int dump_file_name(const dump_instance *instance, const char *stem, uint32_t seq, int64_t file_time,
                   char *out, size_t out_size);
int dump_rotated_name(const char *stem, uint32_t seq, int64_t file_time, char *out,
                      size_t out_size);

// The closed files of this run (rotation.cc): the ring of -W, the floor of
// --min-free and the command of -z.
int dump_files_init(dump_instance *instance);
// A worker's file was closed: its command, if any, is started by the main
// thread; the ring and the floor count it from now on.
void dump_files_closed(dump_instance *instance, const dump_thread_ctx *ctx);
// Before a worker opens its next file: keeps its ring at -W files with the
// one it opens, so that the ring holds at every moment, not only when the
// main thread wakes.
void dump_files_keep_ring(dump_instance *instance, uint32_t worker);
// Before a worker opens its next file, or when a write failed for want of
// room (then at least one file goes): removes the oldest closed files of
// the run until the file system of `path` has the floor free. True when
// something was removed.
bool dump_files_make_room(dump_instance *instance, const char *path, bool write_failed);
// The main thread's share, called whenever it wakes: starts commands (at
// most kCommandsPerWorker of a worker's at once, the rest wait their turn),
// reaps those that ended, keeps each worker's ring. `final`: no worker has
// a file open any more. Returns the commands still running or waiting.
size_t dump_files_service(dump_instance *instance, bool final);
// A stop signal came while the last commands ran: one line for each that
// is left running (or never started), and the program ends without them.
void dump_files_abandon(dump_instance *instance);
// Wakes the main thread early (a file was closed).
void dump_files_kick(dump_instance *instance);
// Waits at most timeout_ms for dump_files_kick.
void dump_files_wait(dump_instance *instance, int timeout_ms);
uint64_t dump_files_removed(const dump_instance *instance);
uint64_t dump_files_command_failures(const dump_instance *instance);

// Statistics file (statsfile.cc), written by the main thread.
void dump_stats_write(dump_instance *instance);

void dump_capture_result(dump_instance *instance);
// After a report: the source's drop lines and the count of packets too long
// to write, one line each, nothing when there were none.
void dump_report_losses(dump_instance *instance, bool final_report);
// Prints the one failure line, "Cannot " and the formatted text, on standard
// error and returns -1, so that a failure site is `return cannot(...);`.
int cannot(const char *format, ...) __attribute__((format(printf, 1, 2)));

#endif // CAPTURE_TRAWLCAP_H
