/*
 * vexmo.h - packet I/O client library (libvexmo.so.4), local stand-in.
 *
 * A client creates one instance, initialises it with its application name,
 * opens one device with N receive streams, and then polls each stream from
 * its own thread. Buffers handed out by vexmo_recv_all_burst() stay valid,
 * and their data stays in place, until they are given back with
 * vexmo_buff_free().
 *
 * Device names:
 *   file:PATH[,loop=N]                                      replay a savefile
 *   IFNAME[,promisc=0|1][,ring=SIZE][,fanout=hash|lb|cpu]   live capture
 * Their grammar, their options and what each source does are described in
 * one place, trawlcap(1) under DEVICES. What a host must know beyond that:
 *
 *   file:PATH  Buffers point into a mapping of the savefile (input that
 *              cannot be mapped is read whole at open). When every stream
 *              has been polled empty, SIGINT is sent to the process once
 *              (kill, not raise: any thread may take it); a stream nobody
 *              polls keeps its packets and the interrupt never comes. The
 *              poll that finds a stream drained returns at once; later
 *              ones wait 1 ms, then twice as long each time up to 100 ms;
 *              a poll whose stream's buffers are all still held waits up
 *              to 100 ms, and a free wakes it. A file cut or
 *              written over while it is replayed ends every stream after
 *              one "Cannot" line: no record at or past the new end is
 *              handed out once the library has seen the cut, which it looks
 *              for before each burst; a buffer handed out before the cut
 *              (and still held) reads as zeros from then on where the file
 *              no longer reaches, or as what was written over it. The
 *              library cannot prevent that, and the process lives on.
 *   IFNAME     Buffers point into the stream's receive ring. A poll waits
 *              at most 100 ms. At process exit, after whatever the client
 *              printed before it returned from main, the library prints its
 *              drop lines ("Interface IF: N packets dropped by kernel (per
 *              stream: ...)", and "... still in the ring at exit ..." for
 *              frames never handed out: a frame can be taken only once
 *              its ring block is handed over, up to settle_ms (see
 *              vexmo_stream_stats_t) after it arrived), then closes the
 *              sockets; buffers
 *              still held read as zeros. When the interface is gone, each
 *              stream ends once its ring is read empty, one "Cannot" line
 *              is printed, and SIGINT is sent once when every stream has
 *              ended, as for a drained savefile.
 *   A refused name gives a null device after one "Cannot" line.
 *
 * nr_tx is accepted and ignored: there is no transmit side.
 *
 * Thread rules: every stream may be polled by its own thread at the same
 * time on one instance; a given stream is polled by one thread at a time.
 * Creation, initialisation and the device open happen on one thread before
 * any poll.
 *
 * SIGBUS: reading a page of a mapped savefile that was cut raises SIGBUS.
 * The first open of a savefile installs a process-wide SIGBUS handler
 * (SA_SIGINFO) that puts zeros where a file was cut under one of the
 * library's mappings, so that the replay ends there; every other SIGBUS,
 * one sent with kill(), sigqueue() or tgkill() included, goes to the action
 * that was in place when the handler was installed (the host's handler,
 * nothing when ignored, or the default action, which ends the process),
 * and the handler stays. So a host
 *   - may install its own SIGBUS handler before its first savefile open: it
 *     is then called for every SIGBUS that is not the library's;
 *   - must not install one afterwards, nor set SIGBUS to SIG_DFL or
 *     SIG_IGN, unless its handler passes every signal it does not own to
 *     the action sigaction() returned as the old one: otherwise a savefile
 *     cut while it is replayed ends the process;
 *   - must not block SIGBUS in a thread that polls streams or reads the
 *     buffers' bytes: a fault with SIGBUS blocked ends the process.
 */
#ifndef VEXMO_H
#define VEXMO_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct vexmo_instance vexmo_instance_t;
typedef struct vexmo_device vexmo_device_t;
typedef struct vexmo_buff vexmo_buff_t;

/* A new, uninitialised instance; null when out of memory. */
vexmo_instance_t *vexmo_create(void);

/* Registers the client under app_name. Negative on failure (null instance,
 * null, empty or over-long name). */
int vexmo_init(vexmo_instance_t *inst, const char *app_name);

/* Opens dev_symbol with nr_rx receive and nr_tx transmit streams. Null on
 * failure, after one line on standard error that begins "Cannot". */
vexmo_device_t *vexmo_open_device(vexmo_instance_t *inst, const char *dev_symbol, uint32_t nr_rx,
                                  uint32_t nr_tx);

/* Places up to capacity buffers of receive stream stream_index into bufs and
 * returns how many (0 to capacity). Returns within a bounded time: 0 when
 * nothing arrived. 0 for a stream out of range or a capacity of 0. */
int vexmo_recv_all_burst(vexmo_instance_t *inst, uint32_t stream_index, vexmo_buff_t **bufs,
                         uint32_t capacity);

/* Address of the packet's first byte (the Ethernet header). */
void *vexmo_buff_mtod(const vexmo_buff_t *buf);

/* Packet length in bytes. */
uint32_t vexmo_buff_datalen(const vexmo_buff_t *buf);

/* Gives count buffers back to the service. Null handles are ignored; the two
 * trailing arguments are reserved (pass -1). */
void vexmo_buff_free(vexmo_instance_t *inst, vexmo_buff_t **bufs, uint32_t count, int reserved1,
                     int reserved2);

/*
 * Optional calls. The platform's own libvexmo.so.4 has only the calls above;
 * these belong to the stand-in. A client that must also run against the
 * platform's library binds them weakly (or looks them up with dlsym) and
 * does without them when they are absent.
 */

/* Stream states in vexmo_stream_stats_t. */
#define VEXMO_STREAM_RUNNING 0 /* may still hand out packets */
#define VEXMO_STREAM_ENDED 1   /* the source ended as it should (a savefile read to its end) */
#define VEXMO_STREAM_FAILED                                                                        \
    2 /* the source ended by a failure (damage, a cut last record,
                                  a file cut while replayed, an interface gone), after its
                                  "Cannot" line */
/* A savefile stream is RUNNING until a poll has found it drained; it then
 * stays ENDED or FAILED, whatever later happens to the file. */

typedef struct vexmo_stream_stats {
    /* Frames the source lost before the stream could take them (a live
     * ring that overflowed), as the source counts them now, not only at
     * exit. Always 0 for a savefile. */
    uint64_t dropped;
    /* Frames handed out shorter than they were on the wire because the
     * source cut them (a live frame larger than a block of its ring; a
     * savefile record whose captured length is below its original length,
     * a pcapng simple packet cut to its interface's snap length). */
    uint64_t truncated;
    uint32_t state; /* VEXMO_STREAM_* */
    /* How long after a packet arrives a poll of the stream may still not
     * hand it out, in milliseconds: a live ring hands frames over a block
     * at a time, a partly filled block once it is this old (give or take
     * the system timer's slack); 0 for a savefile, whose records are there
     * as soon as they are asked for. A client that stops on a signal and
     * wants every packet that arrived before the stop polls on for this
     * long after it. Fixed for the stream's life. (Was `reserved`, always
     * 0: the struct's size and layout are those of before.) */
    uint32_t settle_ms;
} vexmo_stream_stats_t;

/* Fills *stats for receive stream stream_index. 0, or -1 for a null
 * argument, no device or a stream out of range. Any thread may call it at
 * any time after the open, also while the stream is polled. */
int vexmo_stream_stats(vexmo_instance_t *inst, uint32_t stream_index, vexmo_stream_stats_t *stats);

/* 1 when receive stream stream_index's source waits for its reader: a
 * savefile, which hands the next record over whenever it is polled, so a
 * reader that takes its time loses nothing. 0 when the source goes on
 * without it (a live ring drops what is not taken in time), and for a null
 * argument, no device or a stream out of range. */
int vexmo_stream_waits(vexmo_instance_t *inst, uint32_t stream_index);

/* Prints the source's drop lines on standard error now, as it does at
 * process exit: one line per live device whose rings dropped frames,
 * nothing when none did. */
void vexmo_report_drops(vexmo_instance_t *inst);

/* The packet's arrival time as the source knows it: a live frame's kernel
 * time stamp, a savefile record's own time stamp. 0 and *sec, *nsec (below
 * 1000000000) filled; -1 when the source has no time for this packet (a
 * pcapng simple packet block), *sec and *nsec then untouched.
 * Savefile: classic records in micro- or nanoseconds (a fraction of a
 * second or more carries into *sec); pcapng enhanced packets in their
 * interface's if_tsresol units (default microseconds) plus its if_tsoffset
 * seconds. -1 too for a time whose seconds do not fit in 64 bits, for an
 * enhanced packet of a section's 33rd interface or later, and for a new
 * interface time format once its file has 2042 others. Read from the
 * record's header in the file when asked: a buffer of a cut file may give
 * 0 s. */
int vexmo_buff_tstamp(const vexmo_buff_t *buf, int64_t *sec, uint32_t *nsec);

/* The largest frame the client writes, told before vexmo_open_device(): a
 * live interface that may hand over larger frames (merging received frames,
 * GRO or LRO, or an MTU that large) is then named in one line on standard
 * error at the open, with its largest frame and how to make its frames
 * fit. 0, the default: the client takes frames of any length (cut or
 * whole), and nothing is said. A null instance is ignored. */
void vexmo_set_frame_limit(vexmo_instance_t *inst, uint32_t bytes);

/* The packet's length on the wire: at least vexmo_buff_datalen(buf), more
 * when the savefile's record or the live ring holds only part of it (a
 * savefile record's original length). */
uint32_t vexmo_buff_wirelen(const vexmo_buff_t *buf);

#ifdef __cplusplus
}
#endif

#endif /* VEXMO_H */
