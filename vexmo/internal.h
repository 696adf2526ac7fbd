// Internal records of the libvexmo stand-in. Nothing here is exported from
// the shared object; the unit tests link the same objects directly and may
// look inside.
#ifndef VEXMO_INTERNAL_H
#define VEXMO_INTERNAL_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

#include "vexmo.h"

// Every record of the library is allocated one way: memory of its
// alignment, value-initialised in place (zero for plain fields), given back
// with free(). Null when out of memory.
template <typename T>
T *vexmo_new_record()
{
    size_t size = (sizeof(T) + alignof(T) - 1) / alignof(T) * alignof(T);
    void *p = aligned_alloc(alignof(T), size);
    return p ? new (p) T{} : nullptr;
}

// An array of n records (at least one), allocated the same way.
template <typename T>
T *vexmo_new_array(size_t n)
{
    n = n ? n : 1;
    if (n > SIZE_MAX / sizeof(T) - 1)
        return nullptr;
    size_t size = (n * sizeof(T) + alignof(T) - 1) / alignof(T) * alignof(T);
    auto *p = static_cast<T *>(aligned_alloc(alignof(T), size));
    for (size_t i = 0; p && i < n; ++i)
        new (&p[i]) T{};
    return p;
}

// The library's failure line on standard error: "Cannot ", the formatted
// text and a newline; returns -1, so that a failure site is
// `return vexmo_cannot(...);`. The _errno form appends ": " and the
// system's text for err; the _hint form then hint, what to do about it.
int vexmo_cannot(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
int vexmo_cannot_errno(int err, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int vexmo_cannot_errno_hint(int err, const char *hint, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

// Where the packets of a device come from.
enum class vexmo_source : uint8_t { replay = 1, live = 2 };

struct time_format;

// A buffer handle is a descriptor: the packet bytes stay where the source
// keeps them (the mapped savefile, the live receive ring).
struct vexmo_buff {
    const uint8_t *data;
    uint32_t len;
    uint16_t stream;     // receive stream that handed it out
    vexmo_source source; // what handed it out: tells the optional calls where to look
    union {
        const time_format *format; // replay: how the record's stamp and wire length are read
        uint32_t ring_block;       // live: the ring block holding the bytes
    };
};
static_assert(sizeof(vexmo_buff) == 24, "descriptor layout");

struct replay_device;
struct live_device;

struct vexmo_device {
    vexmo_source source;
    uint32_t nr_rx;
    replay_device *replay; // set when source is replay
    live_device *live;     // set when source is live
};

constexpr size_t kVexmoAppNameMax = 63;
// Upper bound on receive streams; the capture program asks for at most 128.
constexpr uint32_t kVexmoMaxStreams = 1024;
static_assert(kVexmoMaxStreams <= UINT16_MAX + 1, "a buffer's stream");

struct vexmo_instance {
    char app_name[kVexmoAppNameMax + 1];
    bool initialised;
    uint32_t frame_limit; // the largest frame the client writes; 0: any
    vexmo_device *device;
    vexmo_instance *next; // process-wide list: instances live until exit
};

// Savefile replay (replay.cc; the read limit in mapping.cc).
struct replay_options {
    uint64_t loops; // passes over the savefile, at least 1
};
replay_device *replay_open(const char *path, const replay_options *opts, uint32_t nr_rx);
int replay_recv(replay_device *dev, uint32_t stream, vexmo_buff **bufs, uint32_t capacity);
void replay_free(replay_device *dev, vexmo_buff **bufs, uint32_t count);
// Test hook: the bytes buffers point into (the mapped savefile, or the copy
// of input that cannot be mapped), so a test can check buffers lie inside.
void replay_file_bytes(const replay_device *dev, const uint8_t **base, size_t *size);
// Test hook: stretches indexed so far, to see that the cache spares walks.
uint64_t replay_walks(const replay_device *dev);
// Test hook: the most read whole from input that cannot be mapped (0, the
// default: half the memory available at the open).
void replay_set_read_limit(uint64_t bytes);
int replay_stats(replay_device *dev, uint32_t stream, vexmo_stream_stats_t *stats);
int replay_tstamp(const vexmo_buff *buf, int64_t *sec, uint32_t *nsec);
uint32_t replay_wirelen(const vexmo_buff *buf);
// Gives back everything replay_open took. The library itself never closes a
// device; the savefile fuzzer opens millions and must not keep them all.
void replay_close(replay_device *dev);

// Live AF_PACKET capture (live.cc).
enum class live_fanout : uint32_t { hash = 0, lb = 1, cpu = 2 };
struct live_options {
    bool promisc;  // on unless promisc=0
    uint64_t ring; // bytes per stream; 0: the default for the stream count
    live_fanout fanout;
    uint32_t frame_limit; // larger frames are said at the open; 0: none
};
live_device *live_open(const char *ifname, const live_options *opts, uint32_t nr_rx);
int live_recv(live_device *dev, uint32_t stream, vexmo_buff **bufs, uint32_t capacity);
void live_free(live_device *dev, vexmo_buff **bufs, uint32_t count);
int live_stats(live_device *dev, uint32_t stream, vexmo_stream_stats_t *stats);
void live_report_drops(live_device *dev);
int live_tstamp(const vexmo_buff *buf, int64_t *sec, uint32_t *nsec);
uint32_t live_wirelen(const vexmo_buff *buf);

// Symmetric flow hash of an Ethernet frame (flowhash.cc): both directions of
// a flow give the same value.
uint64_t flow_hash(const uint8_t *frame, uint32_t len);

// Device-name parsing (vexmo.cc), separate so that it can be tested alone.
struct device_choice {
    vexmo_source source;
    char path[4096]; // replay: savefile path; live: interface name
    replay_options replay;
    live_options live;
};
// 0 and choice filled, or -1 after one "Cannot ..." line on standard error.
// A repeated key, an unknown key and a key of the other source are refused.
int parse_device_name(const char *name, device_choice *choice);

#endif // VEXMO_INTERNAL_H
