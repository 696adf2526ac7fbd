// trawlcap.h - the capture program's run record, worker record and routines.
//
// One `dump_instance` per process; one `dump_thread_ctx` per worker index,
// which points at it for the worker's and the writer's threads. Both are
// created at start-up and never freed; `g_dump_instance` is there for the
// signal handlers alone. Routines return 0 on success and -1 after a failure whose one
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

#include "savefile.h"
#include "vexmo.h"

typedef struct ZSTD_CCtx_s ZSTD_CCtx;
struct index_builder;

// The packet I/O library's calls beyond the classic set are bound weakly in
// every file that uses them: the platform's own libvexmo.so.4 does not have
// them, and each is tested for null before it is called.
#pragma weak vexmo_stream_stats
#pragma weak vexmo_report_drops
#pragma weak vexmo_stream_waits
#pragma weak vexmo_buff_tstamp
#pragma weak vexmo_buff_wirelen
#pragma weak vexmo_set_frame_limit

constexpr size_t kNameSize = 64;       // app_name, dev_symbol
constexpr size_t kTextSize = 2048;     // dumpfile, bpf_rule, -q working copy
constexpr uint32_t kMaxThreads = 128;  // worker slots in the record
constexpr uint32_t kBurst = 32;        // buffers taken per poll
constexpr uint32_t kSnapLen = 65535;   // dead handle's snapshot length
constexpr uint32_t kMaxPacket = 65535; // without -s, longer packets are never written
// A worker hands its records to its writer in marks of about this many
// bytes (less in a queue smaller than four of them). It holds the largest
// record, because a mark holds whole records only.
constexpr size_t kDumpBufferSize = size_t{1} << 20;
// The write queue of each worker without --write-queue: 32 such buffers,
// four times the live source's default ring. Its pages are touched only as
// far as the writer falls behind (see dump_queue), so that the default costs
// a box of 128 workers nothing while their disks keep up.
constexpr uint64_t kDefaultWriteQueue = uint64_t{32} << 20;
// Direct I/O goes in blocks of this size, at offsets and addresses that are
// multiples of it: every logical block size Linux file systems use divides it.
constexpr size_t kDirectBlock = 4096;
// At most this much of the queue is written with one call: larger writes
// gain the disk nothing and would hold the queue's memory longer.
constexpr size_t kMaxWriteBatch = size_t{8} << 20;
// A worker whose writer has caught up starts again at the beginning of its
// queue once it is this far in, so that its memory stays this small.
constexpr uint64_t kQueueReuseAfter = uint64_t{8} << 20;
// dump_thread_ctx.segment_phase when the next record follows the last one.
constexpr uint32_t kNoSegment = UINT32_MAX;
// --index: the runs of a batch whose records the writer fetches side by side.
constexpr size_t kIndexRuns = 16;
// -z commands of one worker that run at once; its later files wait their turn.
constexpr uint32_t kCommandsPerWorker = 2;
static_assert(kDumpBufferSize >= kRecordHeader + kMaxSnapLen + kDirectBlock);
static_assert(kDefaultWriteQueue % kDumpBufferSize == 0 && kDumpBufferSize % kDirectBlock == 0);

// Where a record's time stamp comes from (-j).
enum dump_tstamp_type : uint32_t {
    DUMP_TSTAMP_WRITE = 0,   // the clock, just before the record is written
    DUMP_TSTAMP_ARRIVAL = 1, // the packet source's own stamp of the packet
};

// What a worker counts beside `received` and `captured`. Each has one
// writing thread (relaxed load + store) except `unwritten`, which both the
// worker and its writer add to (fetch_add); the main thread reads them while
// the threads run, for SIGUSR1's report and the statistics file.
struct dump_counters {
    // The worker's:
    std::atomic<uint64_t> oversize; // received, passed the filter, too long to write
    // Passed the filter, but the write queue had no room: the output fell behind.
    std::atomic<uint64_t> output_dropped;
    // The writer's (the main thread's for the first file, before the writer starts):
    std::atomic<uint64_t> flushed; // records that reached a file; never goes down
    std::atomic<uint64_t> bytes;   // bytes in this worker's files, headers included
    // --compress: what `bytes` hold before compression (the records' and
    // headers' own bytes); `bytes` counts what is on disk.
    std::atomic<uint64_t> uncompressed;
    std::atomic<uint64_t> files;        // dump files opened
    std::atomic<uint64_t> write_errors; // writes and opens that failed
    // Passed the filter but reached no file: no file could be opened or
    // written when they came, or a failed write took them back out.
    std::atomic<uint64_t> unwritten;
};

// The worker's current file as other threads may name it while the writer
// rotates: a sequence lock over its number and time (the stem is fixed
// before the thread starts). seq 0: no file yet.
struct dump_published_file {
    std::atomic<uint32_t> gen; // odd while the writer changes the pair
    std::atomic<uint32_t> seq;
    std::atomic<int64_t> time;
};

// What a mark asks of the writer besides writing its records.
enum dump_mark_flags : uint32_t {
    DUMP_MARK_OPENS = 1,  // before its records: open the worker's next file
    DUMP_MARK_CLOSES = 2, // after its records: close the file
    DUMP_MARK_ENDS = 4,   // the worker's last mark: the writer ends after it
};

// One handoff from a worker to its writer: the whole records in queue
// positions [start, end), all in one lap of the ring, and a file boundary.
struct dump_mark {
    uint64_t start;
    uint64_t end;
    uint64_t records;
    int64_t file_time; // DUMP_MARK_OPENS: the time in the new file's name
    uint32_t file_gen; // DUMP_MARK_OPENS: the new file's number among the worker's files
    uint32_t flags;
};

// A worker's write queue: a ring of bytes it copies records into, and a
// ring of marks through which it hands them to its writer, in order.
// Positions count bytes from the start of the run; position p is byte
// p % ring_size. The worker places every record at a position that is its
// file offset modulo kDirectBlock, so that a run of records written to a
// file lies in memory on the same block boundaries as in the file, and the
// writer can write whole blocks of it with O_DIRECT where they are. Before
// a run that does not follow on from the one before (a new file, the ring's
// wrap) the worker leaves the start of the block free: the writer puts the
// file's last partial block there, so that it is rewritten whole.
struct dump_queue {
    uint8_t *ring;      // ring_size bytes, page-aligned, touched as far as used
    uint64_t ring_size; // a multiple of kDumpBufferSize
    dump_mark *marks;
    uint32_t nr_marks;   // a power of two
    uint64_t mark_bytes; // the worker hands a mark over once it holds this much
    // Marks handed over. The worker stores (seq_cst, which also releases the
    // marks and their bytes, and orders the store before its read of
    // `sleeping`); the writer loads (acquire). The writer sleeps on it (futex).
    alignas(64) std::atomic<uint32_t> head;
    // Set by the writer (seq_cst) just before it sleeps on `head`, so that
    // the worker wakes it: the two stores and the two loads that follow them
    // are seq_cst, so at least one side sees the other's store.
    std::atomic<uint32_t> sleeping;
    // Marks the writer is done with (release: the worker may reuse the
    // slots; acquire on the worker's side).
    alignas(64) std::atomic<uint32_t> tail;
    // Positions before this the writer no longer reads (release: the worker
    // may write over their bytes; acquire on its side). A multiple of
    // kDirectBlock: the file's last partial block stays the writer's.
    std::atomic<uint64_t> released;
};

// The writer's file, and where the next record goes in it. The writer
// thread's alone while it runs; the main thread's before it starts (the
// first file is opened at set-up) and after it is joined.
struct dump_output {
    int fd;                // the dumper's descriptor
    int direct_fd;         // the same file opened again with O_DIRECT, or -1
    pcap_dumper_t *dumper; // the file's stdio stream, which libpcap wrote the header to
    // Set when the stream opens. A failed write cuts a regular file back to
    // its last whole record, never below `start_offset`, where this run's
    // first byte went (-1: not a regular file, never cut). On an appending
    // descriptor a write begins at the end of the file, wherever the offset
    // is; every other regular file is written at `pos` (pwrite).
    int64_t start_offset;
    uint32_t appends;
    uint32_t positioned; // regular and not appending: written at pos
    uint64_t pos;        // positioned: the file offset after the last byte written
    uint32_t drop_cache; // what went through the page cache is dropped from it
    // The file's last partial block, [pos - tail_len, pos), as written:
    // the next direct write begins with it. tail_known is 0 while that block
    // holds bytes from before the run, which are not known.
    uint32_t tail_len;
    uint32_t tail_known;
    uint8_t tail[kDirectBlock];
    char dumpfile[kTextSize]; // its name; empty in standard-output mode
    uint32_t seq;             // 1 for the first file
    uint32_t next_seq;        // the number the next file gets, unless its name is taken
    uint32_t gen;             // which of the worker's files it is (dump_mark.file_gen)
    int64_t file_time;        // the time in its name
    dev_t file_dev;           // which file it is, so that only it is ever removed
    ino_t file_ino;
    // Set once a failure to open or write was said, so that a long outage
    // is said once; cleared when a file opens. No file is tried before
    // retry_ns (monotonic clock), a second after the failure.
    uint32_t outage;
    int64_t retry_ns;
    // --compress: the file is a run of zstd frames (compress.cc), written
    // with ordinary writes only. file_size is what this run put in the
    // file, header frame included, which -C compares with its limit;
    // frames counts the frames of records in it.
    uint32_t compressed;
    ZSTD_CCtx *zstd;
    uint8_t *frame; // a frame being written: frame_cap bytes
    size_t frame_cap;
    uint64_t file_size;
    uint64_t frames;
    const uint8_t *index_runs[kIndexRuns]; // --index: where a batch's marks start
    // --index: the index of the file, built from the records as they are
    // written and written beside the file as it closes. Only a file this
    // run wrote from its first byte on is indexed (`indexing`).
    index_builder *index;
    uint32_t indexing;
};

struct dump_instance;

// A worker's record has one owner per part; only `shared` is touched by
// more than one thread while they run, and it holds atomics alone.
//
// Fixed before the worker's threads start (by the main thread); read by any
// thread after.
struct dump_worker_setup {
    dump_instance *instance; // the run's, for the worker's and the writer's threads
    uint32_t started;        // 1 once the threads were created
    uint32_t prepared;       // its file and filter are ready: the threads may start
    pthread_t tid;
    pthread_t writer_tid;
    uint32_t stream_index;
    // The per-worker name the file names derive from (-C/-G: numbered
    // ones); empty in standard-output mode.
    char stem[kTextSize];
    struct bpf_program bpf_prog;
    uint64_t limit; // 0: no limit
};

// What the threads tell each other and the main thread (the reports, the
// statistics file, the end of the run): counters, states, and the current
// file's number and time, from which the others name it.
struct dump_worker_shared {
    // Records handed to the write queue and not lost to a failed open or
    // write: the worker adds what it queued (fetch_add, once a burst), the
    // writer takes back what did not reach a file whole (fetch_sub).
    std::atomic<uint64_t> captured;
    // Written only by the worker (relaxed load + store).
    std::atomic<uint64_t> received;
    alignas(64) dump_counters counts;
    // Written by the writer (but `finished`), read by the worker and the
    // main thread.
    alignas(64) std::atomic<int> finished; // the worker returned (the worker sets it)
    std::atomic<int> writer_finished;      // the writer wrote everything and returned
    // errno of the first failed write, 0 when none; without rotation the
    // file then takes nothing more. Read by the worker before each record
    // and by the main thread while it waits, to end a capture that can no
    // longer write anywhere.
    std::atomic<int> write_errno;
    // Under rotation: the number of the latest file that could not be
    // opened or written (0: none). The worker goes without a file when it is
    // its current one. Relaxed: a number, nothing is published with it.
    std::atomic<uint32_t> failed_gen;
    alignas(64) dump_published_file published;
};

// The worker thread's own: where its records go in the queue, and its
// current file as it sees it.
struct dump_worker_own {
    uint64_t wpos;             // the position after its last record
    uint64_t lap_start;        // the lap of the ring wpos is in: [lap_start, lap_start + ring_size)
    dump_mark mark;            // the mark being filled, not yet handed over
    uint64_t captured_pending; // records queued and not yet added to `captured`
    int64_t first_pending_ns;  // monotonic time of the mark's oldest record
    // kNoSegment, or the next record starts a new run at this offset in a
    // block (after a new file's header, after the ring's wrap).
    uint32_t segment_phase;
    uint32_t tail_seen; // the queue's tail and released as last loaded
    uint64_t released_seen;
    uint64_t free_below; // positions before this are free whatever `released` says
    // Positions before lap_left are free once the writer is done with the
    // marks before lap_left_marks: the worker left that lap after them.
    uint64_t lap_left;
    uint32_t lap_left_marks;

    // Its current file as it sees it: a file is open or its open is queued.
    uint32_t file_open;
    uint32_t file_gen;   // the number of its latest file (dump_mark.file_gen)
    uint64_t file_bytes; // the current file's size, queued records included
    // Rotation (-C, -G, SIGHUP): the current file's window.
    int64_t file_time;     // the time in its name: its window's start, or its opening
    int64_t window_end;    // -G: the file takes records stamped before this
    uint32_t idle_rotates; // its window was not over when the window's first file opened
    uint32_t hup_seen;     // the instance's SIGHUP count this worker has acted on
    // Under rotation a worker may be without a file: before its first record
    // under -j arrival (a file is named by its first record's time), or after
    // its writer could not open or write a file (it tries again a second
    // later, at `retry_ns` on the monotonic clock).
    uint32_t awaits_record;
    int64_t retry_ns;
};

struct dump_thread_ctx {
    dump_worker_setup setup;
    alignas(64) dump_worker_shared shared;
    // Between the worker and its writer, by the rules in dump_queue.
    alignas(64) dump_queue queue;
    alignas(64) dump_worker_own own;
    // The writer's (see dump_output).
    alignas(64) dump_output out;
};

struct dump_files; // the closed files of this run (retention.cc)

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
    uint32_t compress;            // --compress: a dump_codec
    int compress_level;           // --compress=zstd:LEVEL
    uint32_t check_only;          // --check: main ends after the checks, nothing opened
    // Raised by SIGHUP under rotation: every worker starts its next file.
    std::atomic<uint32_t> hup_count;
    dump_files *files;                // set up when rotation, -z or --min-free need it
    uint64_t write_queue;             // --write-queue: bytes per worker
    uint32_t index;                   // --index: FILE.idx beside every file
    uint8_t file_header[kFileHeader]; // what libpcap writes at the start of every file
    char refusal[256];                // why the command line was refused
};

static_assert(std::atomic<int>::is_always_lock_free, "running is written in a signal handler");
static_assert(std::atomic<uint32_t>::is_always_lock_free,
              "hup_count is written in a signal handler");
static_assert(std::atomic<uint64_t>::is_always_lock_free);
static_assert(offsetof(dump_instance, dev_symbol) == kNameSize);
static_assert(offsetof(dump_instance, running) > offsetof(dump_instance, threads));
static_assert(offsetof(dump_worker_shared, received) > offsetof(dump_worker_shared, captured));

// For the signal handlers alone: everything else is handed the record.
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

// What --compress writes: independent frames of whole records.
enum dump_codec : uint32_t {
    DUMP_CODEC_NONE = 0,
    DUMP_CODEC_ZSTD = 1, // files named with .zst after their own suffix
};
constexpr int kZstdDefaultLevel = 1;
// A frame holds whole records of at most this many bytes before
// compression (one record alone may be larger): the worker's mark, so that
// a frame is usually one mark, closed when the mark is handed over, at the
// latest about a second after its first record.
constexpr size_t kFrameBytes = kDumpBufferSize;

// The command line (cmdline.cc).
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
    DUMP_PARSE_REFUSED,      // a bad value of a newer option: why is in `refusal`
    DUMP_PARSE_HELP,         // -h, --help: the usage text on standard output
    DUMP_PARSE_VERSION,      // --version
    DUMP_PARSE_LIST_OPTIONS, // --list-options (for the shell completion)
};

// Fills `instance` with the defaults, then from argv (the options, then the
// remaining filter words). Touches nothing but the record, getopt's state
// and argv's order (getopt permutes it); getopt may print its own diagnostic.
dump_parse_result dump_parse_args(dump_instance *instance, int argc, char **argv);
// The one line main prints for a refused value before it ends, or
// the usage text or version on standard output for -h and --version. Under
// --check a command line refused without a line of its own gets one.
void dump_parse_complain(const dump_instance *instance, dump_parse_result result);
// Stores why the command line is refused; returns DUMP_PARSE_REFUSED.
dump_parse_result dump_refuse(dump_instance *instance, const char *format, ...)
    __attribute__((format(printf, 2, 3)));
// The usage text of -h, on standard output, made from the option table.
void dump_print_usage(const char *app_name);
// --list-options: every option as the shell completes it (-p, --file-size=),
// one a line.
void dump_list_options();
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
void *dump_capture_thread(void *arg);

// File names (filename.cc).
int __thread_dumpfile_generate(const char *base, int index, char *out, size_t out_size);
// Worker index's file: the per-thread name, or the base unchanged when it is
// an existing character device (-w /dev/null must not create /dev/null_0).
// Returns the length of the whole name, as __thread_dumpfile_generate does.
int dump_thread_dumpfile(const char *base, int index, char *out, size_t out_size);
// A worker's file seq, started at file_time: its numbered name under -C or
// -G, else the stem itself; the length of the whole name, as snprintf.
int dump_file_name(const dump_instance *instance, const char *stem, uint32_t seq, int64_t file_time,
                   char *out, size_t out_size);
// The folder a file name lies in ("." for a bare name, "/" for one at the
// root) into out; returns the name's last component.
const char *dump_folder_of(const char *name, char *out, size_t out_size);
// The numbered name of a worker's file: the stem with _NNNNN_TIME before
// its suffix, TIME in UTC as YYYYMMDDTHHMMSSZ.
int dump_rotated_name(const char *stem, uint32_t seq, int64_t file_time, char *out,
                      size_t out_size);
// The name of the worker's current file (the one its writer last tried to
// open), for any thread while the worker runs.
void dump_current_name(const dump_instance *instance, const dump_thread_ctx *ctx, char *out,
                       size_t out_size);
// The number after the highest any file of this stem has in its folder (1
// when none), so that a restart goes on numbering: see dump_file_name.
uint32_t dump_first_free_seq(const char *stem);

// Checks before anything is opened (checks.cc).
// What the command line asks of the system, checked before anything is
// opened: the -Z user, the -z command, what the packet I/O library offers,
// options that need another. DUMP_PARSE_REFUSED with `refusal` set, or OK.
dump_parse_result dump_check_options(dump_instance *instance);
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
// -Z: started as root, the program becomes the user once the device is
// open, before any dump file is created; -1 after the "Cannot" line.
int dump_drop_privileges(const dump_instance *instance);

// Rotation (rotation.cc): the worker's decision and the writer's act.
struct dump_rotation {
    uint64_t rotate_size;   // -C, or UINT64_MAX (also with --compress: the writer decides)
    int64_t rotate_seconds; // -G, or 0
};
// Whether a record of `bytes` stamped `sec` goes to the worker's next file,
// when the current one started at file_time, holds file_bytes and its -G
// window ends at window_end: then *start is the time in the next file's
// name (the record's window under -G, else its second; the same window
// when only -C says so).
bool dump_rotation_due(const dump_rotation &r, uint64_t file_bytes, uint64_t bytes, int64_t sec,
                       int64_t file_time, int64_t window_end, int64_t *start);
// The -G window (or second) that starts at file_time is the worker's.
void dump_set_window(const dump_instance *instance, dump_thread_ctx *ctx, int64_t file_time);
// A file could not be opened or written (`what`): said once per outage; no file for a second.
void dump_go_without_file(dump_thread_ctx *ctx, const char *what, int err);
// The writer opens the worker's next file (a mark's DUMP_MARK_OPENS), named
// by file_time, after closing the current one: the ring and the floor are
// kept first. 0, or -1 when it could not (said once per outage; the worker
// learns it through failed_gen).
int dump_output_open(dump_instance *instance, dump_thread_ctx *ctx, int64_t file_time,
                     uint32_t gen);
// The writer closes its file: the ring, the floor and -z take it from
// here (`last`: the worker's last file). Standard output stays open.
void dump_output_close(dump_instance *instance, dump_thread_ctx *ctx, bool last);

// Dump files (dumpfile.cc).
// Opens worker index's first dump file, or its stream in standard-output
// mode, and writes its header (under rotation with -j arrival the file waits
// for its first record); sets up its write queue. 1 when a stop signal
// ended a blocked open, -1 after the "Cannot" line.
int dump_file_open(dump_instance *instance, dump_thread_ctx *ctx, int index);
// The bytes of the file header libpcap writes into instance->file_header;
// -1 when it wrote something else.
int dump_file_header(dump_instance *instance);
// Opens file out.next_seq (or the stream) with its header: 0; 1 when a stop signal
// interrupted; errno set with -1 (not opened) and 2 (no header: the rotated file is gone).
int dump_file_open_and_head(dump_instance *instance, dump_thread_ctx *ctx);
// The index of the output's file, written beside it as the file closes.
void dump_index_write(dump_output *o);
// A write of the records at mem (`records` whole ones) put `done` bytes in
// the file and failed with err: the file ends on its last whole record, the
// records that did not reach it leave `captured`, and without rotation the
// file takes nothing more (write_errno); under rotation it is closed and the
// worker goes without a file.
void dump_output_failed(dump_instance *instance, dump_thread_ctx *ctx, const uint8_t *mem,
                        size_t done, uint64_t records, int err);
// The write queue and the writer (writer.cc).
// The worker's queue, of --write-queue bytes; -1 with errno ENOMEM.
int dump_queue_init(const dump_instance *instance, dump_thread_ctx *ctx);
// Room for a record of `bytes` at the end of the worker's queue: where to
// copy it, after which the worker calls dump_queue_appended. Null when the
// queue has no room now (the writer fell behind); the record is then not in.
uint8_t *dump_queue_reserve(dump_thread_ctx *ctx, size_t bytes);
void dump_queue_appended(dump_thread_ctx *ctx);
// Adds the records queued since the last call to `captured` (once a burst).
void dump_queue_count(dump_thread_ctx *ctx);
// Hands the mark being filled to the writer, with flags (dump_mark_flags),
// and wakes the writer if it sleeps. -1 when no mark is free now (never
// for DUMP_MARK_ENDS, whose slot is kept for it).
int dump_queue_hand_over(dump_thread_ctx *ctx, uint32_t flags);
// The writer thread of a worker: writes its marks until DUMP_MARK_ENDS.
void *dump_writer_thread(void *arg);
// --index: the records at mem, `len` bytes from file offset pos, reached
// the file (plain files); a frame of `frame` bytes at pos holding the
// records at mem, `len` bytes (compressed ones).
void dump_index_records(dump_output *o, const uint8_t *mem, size_t len, uint64_t pos);
void dump_index_frame(dump_output *o, uint64_t pos, size_t frame, const uint8_t *mem, size_t len);
// Whether a newly opened output takes direct I/O: opens direct_fd, and
// says whether what goes through the page cache is dropped (drop_cache).
bool dump_output_setup_direct(dump_output *o);

// The closed files of this run (retention.cc): the ring of -W, the floor of
// --min-free and the command of -z.
int dump_files_init(dump_instance *instance);
// A worker's file was closed: its command, if any, is started by the main
// thread; the ring and the floor count it from now on. `last`: the worker
// will open no other.
void dump_files_closed(dump_instance *instance, const dump_thread_ctx *ctx, bool last);
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

// Compressed dump files (compress.cc).
// The output's compression context and frame buffer; -1 with errno ENOMEM.
int dump_zstd_init(dump_output *o, int level);
// Compresses in[0, len) into out (cap bytes) as one whole frame with its
// content size and checksum; the frame's size, 0 when the library failed.
size_t dump_zstd_frame(dump_output *o, const uint8_t *in, size_t len, uint8_t *out, size_t cap);
// Room for the header's frame, which is made while a frame of records may
// wait in o->frame for the file it opens.
constexpr size_t kHeaderFrameSize = 128;
// The first records at mem, of at most len bytes, that one frame holds:
// whole records, at least one, at most kFrameBytes unless that one is
// larger. Their bytes; their count in *records.
size_t dump_frame_records(const uint8_t *mem, size_t len, uint64_t *records);
// A frame's write put `partial` of its bytes in the file and failed with
// err: those are cut, so that the file ends on its last whole frame, and
// the `records` not written leave `captured`; then as dump_output_failed.
void dump_output_failed_frame(dump_instance *instance, dump_thread_ctx *ctx, size_t partial,
                              uint64_t records, int err);

// Statistics file (statsfile.cc), written by the main thread.
void dump_stats_write(dump_instance *instance);

void dump_capture_result(dump_instance *instance);
// After a report: the source's drop lines and the counts of packets too
// long to write, of packets no file could take and of packets dropped
// because the output fell behind, one line each, nothing when there were
// none.
void dump_report_losses(dump_instance *instance, bool final_report);
// Prints the one failure line, "Cannot " and the formatted text, on standard
// error and returns -1, so that a failure site is `return cannot(...);`.
int cannot(const char *format, ...) __attribute__((format(printf, 1, 2)));

#endif // CAPTURE_TRAWLCAP_H
