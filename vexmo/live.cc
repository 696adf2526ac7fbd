// Live capture: one AF_PACKET socket per receive stream, each with a
// TPACKET_V3 receive ring mapped into the process, all in one fanout group
// (hash mode by default, so the kernel keeps each flow on one stream).
// Buffers point into the ring; a ring block goes back to the kernel once
// every packet in it was handed out and freed. VLAN tags that the kernel
// took out of a frame are put back, so frames look as they did on the wire.
// The kernel's drop counts are printed when the process ends, and then the
// sockets are closed from several threads at once.
#include <arpa/inet.h>
#include <linux/ethtool.h>
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <linux/sockios.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "internal.h"
#include "meminfo.h"
#include "mutex.h"

namespace {

// The kernel fills a ring block by block and wakes the poller once per
// block, when it retires the block to user space: full, or
// kBlockTimeoutMs after the block was opened. A wake-up costs far more
// than a frame (a system call, a switch, cold caches; on a virtual machine
// an exit to the host), so blocks are large: an eighth of the ring,
// from kBlockMin to kBlockMax. kBlockMin holds a frame merged up to 64 KiB
// (GRO's usual bound) whole; only frames over 128 KiB can come out cut.
constexpr uint32_t kBlockMin = 1u << 17;
constexpr uint32_t kBlockMax = 1u << 20;
constexpr uint64_t kRingBlocks = 8;
constexpr uint32_t kFrameSize = 2048; // only used to size the ring
// A lone frame reaches its worker within kBlockTimeoutMs: long enough that
// light traffic does not wake the worker for every few frames, short
// enough that a client that stops polls on this long (settle_ms in the
// stream's statistics) to take what arrived before the stop; what is still
// in the ring when the client stops polling is said at exit. While the
// worker stalls, each block holds at least that long of light traffic, so
// the number of blocks says how long a stall of light traffic a ring
// survives.
constexpr uint32_t kBlockTimeoutMs = 250;
// Only data and the stop flag end a wait: a stop is seen within this, and
// an idle worker wakes this seldom.
constexpr int kPollWaitMs = 100;
// Default ring: traffic is spread over the streams, so the time the rings
// cover at a given rate depends on their sum, which bounds the memory at
// any stream count. One stream gets at most kDefaultRingMax: the ring is
// walked as the kernel fills it, and a ring larger than the processor's
// caches makes every frame a cache and TLB miss on both sides, dearest on
// a virtualised machine where a TLB miss walks two sets of page tables; a
// box that must absorb longer bursts asks for ring=. Any ring, asked for
// or not, has at least kRingMin (kRingBlocks blocks): a smaller one is
// raised to it, since a few blocks leave the kernel nowhere to write while
// the worker holds one.
constexpr uint64_t kDefaultRingTotal = 128ull << 20;
constexpr uint64_t kDefaultRingMax = 8ull << 20;
constexpr uint64_t kRingMin = 1ull << 20;
constexpr uint32_t kVlanTagLen = 4;
// At exit, sockets are closed by up to this many threads at once.
constexpr uint32_t kCloseThreads = 128;
constexpr size_t kCloseStack = 256u << 10;

// A buffer descriptor lives in the ring, in the gap between a packet's
// tpacket3_hdr and its frame (where the kernel put a sockaddr_ll we do not
// read), so no descriptor memory is kept per possible packet. The kernel
// puts an Ethernet frame at TPACKET_ALIGN(TPACKET3_HDRLEN + 16) + reserve -
// 14 bytes after its header; a restored VLAN tag takes 4 of those.
constexpr size_t kDescOffset = TPACKET_ALIGN(sizeof(tpacket3_hdr));
static_assert(kDescOffset + sizeof(vexmo_buff) + kVlanTagLen <=
              TPACKET_ALIGN(TPACKET3_HDRLEN + 16) + kVlanTagLen - ETH_HLEN);
static_assert(kDescOffset % alignof(vexmo_buff) == 0);
static_assert(kBlockMin % 4096 == 0 && kBlockMin % kFrameSize == 0);

} // namespace

struct alignas(64) live_stream {
    int fd;
    uint32_t nr_blocks;
    uint8_t *ring;
    uint32_t block_shift; // log2 of the block size
    uint32_t cur_block;   // block being handed out, or next to wait for
    uint32_t pkts_left;   // packets of cur_block not handed out yet
    uint32_t quiet_waits; // poller only: idle waits since the last frame or ENETDOWN
    const uint8_t *next_pkt;
    // Poller only: ENETDOWN seen. Frames handed out after it do not clear
    // it: the kernel retires the block that was open when the link went up
    // to kBlockTimeoutMs later, and tells each socket only once. From then
    // on the stream looks for its interface whenever it is idle.
    bool link_down;
    // VEXMO_STREAM_RUNNING, or FAILED once the interface is gone; set by
    // the poller, read by any thread.
    std::atomic<uint32_t> state;
    // Frames handed out shorter than they were; only the poller adds.
    std::atomic<uint64_t> truncated;
    // Per block: 0 while the kernel owns it; else 1 + its packets not yet
    // freed (handed out or still to hand out). The 1 is dropped only after
    // the block went back, so the poller never mistakes a block that the
    // caller still holds for a fresh one. Frees may come from another
    // thread than the poller.
    std::atomic<uint32_t> *pending;
    // Kernel drops and frames put in the ring, read so far. Reading the
    // kernel's counts resets them, so every read is added here, from
    // whichever thread read it.
    std::atomic<uint64_t> drops;
    std::atomic<uint64_t> delivered;
    // Frames handed out; only the poller adds. What the kernel delivered
    // and nobody took is said at exit: a stop leaves frames in the ring.
    std::atomic<uint64_t> handed;
};

struct live_device {
    live_stream *streams;
    uint32_t nr_streams;
    int ifindex;
    char ifname[IFNAMSIZ];
    std::atomic<uint32_t> ended_streams;
    // Set by the first stream that found the interface gone, which said so;
    // every other stream then ends once its ring is read empty, whatever
    // its own socket was told.
    std::atomic<bool> gone;
    live_device *next; // process-wide list, for the drop report at exit
};

static_assert(std::atomic<uint32_t>::is_always_lock_free);

namespace {

annotated_mutex g_live_lock;
live_device *g_live_devices GUARDED_BY(g_live_lock) = nullptr;

// What every stream of one open shares.
struct live_setup {
    const char *ifname;
    int ifindex;
    uint32_t block_shift;
    uint32_t nr_blocks;
    int fanout_mode;
};

int cannot_open(const char *ifname, const char *what)
{
    int err = errno;
    return vexmo_cannot_errno_hint(err, err == EPERM ? " (live capture needs CAP_NET_RAW)" : "",
                                   "open interface %s: %s", ifname, what);
}

int set_option(int fd, int level, int name, const void *val, socklen_t len, const live_setup *cfg,
               const char *what)
{
    return setsockopt(fd, level, name, val, len) < 0 ? cannot_open(cfg->ifname, what) : 0;
}

tpacket_block_desc *block_at(const live_stream *s, uint32_t b)
{
    return reinterpret_cast<tpacket_block_desc *>(s->ring +
                                                  (static_cast<size_t>(b) << s->block_shift));
}

size_t ring_bytes(const live_stream *s)
{
    return static_cast<size_t>(s->nr_blocks) << s->block_shift;
}

// The one place the block status word the kernel shares with us is read
// and written. Acquire: a block seen as ours is read only after the
// kernel's writes to it. Release: our reads of a block happen before the
// kernel reuses it.
uint32_t block_status_acquire(const tpacket_block_desc *bd)
{
    return std::atomic_ref<const uint32_t>(bd->hdr.bh1.block_status)
        .load(std::memory_order_acquire);
}

void block_status_release(tpacket_block_desc *bd)
{
    std::atomic_ref<uint32_t>(bd->hdr.bh1.block_status)
        .store(TP_STATUS_KERNEL, std::memory_order_release);
}

void give_back(live_stream *s, uint32_t b)
{
    block_status_release(block_at(s, b));
}

// The ring, mapped; and the per-block counts that go with it.
int set_ring(live_stream *s, const live_setup *cfg)
{
    tpacket_req3 req{};
    req.tp_block_size = 1u << cfg->block_shift;
    req.tp_block_nr = cfg->nr_blocks;
    req.tp_frame_size = kFrameSize;
    req.tp_frame_nr = req.tp_block_size / kFrameSize * cfg->nr_blocks;
    req.tp_retire_blk_tov = kBlockTimeoutMs;
    char what[64];
    snprintf(what, sizeof what, "ring of %llu KiB",
             static_cast<unsigned long long>(cfg->nr_blocks) << (cfg->block_shift - 10));
    if (set_option(s->fd, SOL_PACKET, PACKET_RX_RING, &req, sizeof req, cfg, what) < 0)
        return -1;
    s->nr_blocks = cfg->nr_blocks;
    s->block_shift = cfg->block_shift;
    void *ring = mmap(nullptr, ring_bytes(s), PROT_READ | PROT_WRITE, MAP_SHARED, s->fd, 0);
    if (ring == MAP_FAILED)
        return cannot_open(cfg->ifname, what);
    s->ring = static_cast<uint8_t *>(ring);
    s->pending = vexmo_new_array<std::atomic<uint32_t>>(s->nr_blocks);
    errno = ENOMEM;
    if (!s->pending)
        return cannot_open(cfg->ifname, "block counts");
    return 0;
}

// A filter that takes nothing: the socket sees no packets until it is in
// the fanout group, so none is delivered both alone and through the group.
int set_drop_all(int fd, const live_setup *cfg)
{
    static sock_filter drop[] = {{BPF_RET | BPF_K, 0, 0, 0}};
    sock_fprog prog{1, drop};
    return set_option(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog, cfg,
                      "SO_ATTACH_FILTER");
}

// Joins fanout group *group (0: let the kernel pick a free id, which is
// written back).
int join_fanout(int fd, const live_setup *cfg, int *group)
{
    int arg = *group | (cfg->fanout_mode << 16);
    if (*group == 0)
        arg |= PACKET_FANOUT_FLAG_UNIQUEID << 16;
    if (set_option(fd, SOL_PACKET, PACKET_FANOUT, &arg, sizeof arg, cfg, "PACKET_FANOUT") < 0)
        return -1;
    socklen_t len = sizeof arg;
    if (*group == 0 && getsockopt(fd, SOL_PACKET, PACKET_FANOUT, &arg, &len) < 0)
        return cannot_open(cfg->ifname, "PACKET_FANOUT");
    *group = arg & 0xffff;
    return 0;
}

// Opens stream s and joins it to fanout group *group.
int stream_open(live_stream *s, const live_setup *cfg, int *group)
{
    s->fd = socket(AF_PACKET, SOCK_RAW, 0);
    if (s->fd < 0)
        return cannot_open(cfg->ifname, "socket");
    int version = TPACKET_V3;
    if (set_option(s->fd, SOL_PACKET, PACKET_VERSION, &version, sizeof version, cfg,
                   "PACKET_VERSION") < 0)
        return -1;
    // Room in front of each frame to put back a VLAN tag (see below).
    unsigned reserve = kVlanTagLen;
    if (set_option(s->fd, SOL_PACKET, PACKET_RESERVE, &reserve, sizeof reserve, cfg,
                   "PACKET_RESERVE") < 0)
        return -1;
    if (set_ring(s, cfg) < 0 || set_drop_all(s->fd, cfg) < 0)
        return -1;
    sockaddr_ll addr{};
    addr.sll_family = AF_PACKET;
    addr.sll_protocol = htons(ETH_P_ALL);
    addr.sll_ifindex = cfg->ifindex;
    if (bind(s->fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0)
        return cannot_open(cfg->ifname, "bind");
    return join_fanout(s->fd, cfg, group);
}

void stream_close(live_stream *s)
{
    if (s->ring)
        munmap(s->ring, ring_bytes(s));
    if (s->fd >= 0)
        close(s->fd);
    free(s->pending);
}

// Adds the kernel's counts since the last read (reading resets them): its
// packets count the drops too.
void read_counts(live_stream *s)
{
    tpacket_stats_v3 st{};
    socklen_t len = sizeof st;
    if (getsockopt(s->fd, SOL_PACKET, PACKET_STATISTICS, &st, &len) < 0)
        return;
    s->drops.fetch_add(st.tp_drops, std::memory_order_relaxed);
    s->delivered.fetch_add(st.tp_packets - st.tp_drops, std::memory_order_relaxed);
}

// All the drops of s so far.
uint64_t total_drops(live_stream *s)
{
    read_counts(s);
    return s->drops.load(std::memory_order_relaxed);
}

// Frames the kernel put in the ring of s that were never handed out.
uint64_t left_in_ring(live_stream *s)
{
    read_counts(s);
    uint64_t delivered = s->delivered.load(std::memory_order_relaxed);
    uint64_t handed = s->handed.load(std::memory_order_relaxed);
    return delivered > handed ? delivered - handed : 0;
}

// "Interface IF: N WHAT (per stream: n0 n1 ...)", nothing when N is 0.
void report_per_stream(live_device *d, const char *what, uint64_t (*count)(live_stream *))
{
    uint64_t per[kVexmoMaxStreams];
    uint64_t total = 0;
    for (uint32_t i = 0; i < d->nr_streams; ++i)
        total += per[i] = count(&d->streams[i]);
    if (total == 0)
        return;
    char line[4096];
    int at = snprintf(line, sizeof line, "Interface %s: %llu %s (per stream:", d->ifname,
                      static_cast<unsigned long long>(total), what);
    for (uint32_t i = 0; i < d->nr_streams && at > 0 && static_cast<size_t>(at) < sizeof line; ++i)
        at += snprintf(line + at, sizeof line - static_cast<size_t>(at), " %llu",
                       static_cast<unsigned long long>(per[i]));
    fprintf(stderr, "%s)\n", line);
}

// One line for a device that dropped frames; nothing when it dropped none.
void report_device_drops(live_device *d)
{
    report_per_stream(d, "packets dropped by kernel", total_drops);
}

// What the closing threads at exit share: the next stream to close,
// counted over every device.
struct close_work {
    std::atomic<uint32_t> next;
    uint32_t total;
};

// Called by the threads close_all_streams starts, while the one that
// started them holds the lock for all of their lives.
live_stream *nth_stream(uint32_t n) NO_THREAD_SAFETY_ANALYSIS
{
    for (live_device *d = g_live_devices; d; d = d->next) {
        if (n < d->nr_streams)
            return &d->streams[n];
        n -= d->nr_streams;
    }
    return nullptr;
}

// The ring's mapping holds the socket open, so it goes first: swapped for
// zeroed memory, where a poller that still runs finds no block instead of
// a fault.
void *close_streams(void *arg)
{
    auto *work = static_cast<close_work *>(arg);
    // Relaxed: the counter only hands out indexes, each once.
    for (uint32_t n; (n = work->next.fetch_add(1, std::memory_order_relaxed)) < work->total;) {
        live_stream *s = nth_stream(n);
        if (s->ring)
            mmap(s->ring, ring_bytes(s), PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
        if (s->fd >= 0)
            close(s->fd);
    }
    return nullptr;
}

// Closing a packet socket waits for RCU grace periods, and the kernel
// closes a dying process's sockets one after another: 128 streams took
// seconds to exit. Closes that overlap share their grace periods, so the
// sockets are closed by several threads at once (this one too, and alone
// when no thread can be had).
void close_all_streams() REQUIRES(g_live_lock)
{
    close_work work{{0}, 0};
    for (live_device *d = g_live_devices; d; d = d->next)
        work.total += d->nr_streams;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kCloseStack);
    pthread_t tids[kCloseThreads];
    uint32_t started = 0;
    while (started < kCloseThreads && started + 1 < work.total &&
           pthread_create(&tids[started], &attr, close_streams, &work) == 0)
        ++started;
    pthread_attr_destroy(&attr);
    close_streams(&work);
    for (uint32_t i = 0; i < started; ++i)
        pthread_join(tids[i], nullptr);
}

// At process exit: one line per live device that dropped frames, after
// everything the program printed before it returned from main; then the
// sockets are closed.
void live_exit()
{
    mutex_lock held(&g_live_lock);
    for (live_device *d = g_live_devices; d; d = d->next) {
        report_device_drops(d);
        report_per_stream(d, "packets still in the ring at exit", left_in_ring);
    }
    close_all_streams();
}

// Every socket is in the group now: let packets in. The kernel's counts
// start from here: read (which resets them) and forgotten before the first
// filter goes, so that every frame let in is counted.
int complete_group(live_device *dev, const live_setup *cfg)
{
    for (uint32_t i = 0; i < dev->nr_streams; ++i) {
        read_counts(&dev->streams[i]);
        dev->streams[i].drops.store(0, std::memory_order_relaxed);
        dev->streams[i].delivered.store(0, std::memory_order_relaxed);
    }
    for (uint32_t i = 0; i < dev->nr_streams; ++i) {
        int unused = 0;
        if (set_option(dev->streams[i].fd, SOL_SOCKET, SO_DETACH_FILTER, &unused, sizeof unused,
                       cfg, "SO_DETACH_FILTER") < 0)
            return -1;
    }
    return 0;
}

// Promiscuous mode through a membership: the kernel counts it per socket
// and drops it when the socket closes, however the process ends.
int set_promisc(const live_device *dev, const live_setup *cfg)
{
    if (dev->nr_streams == 0)
        return 0;
    packet_mreq mreq{};
    mreq.mr_ifindex = cfg->ifindex;
    mreq.mr_type = PACKET_MR_PROMISC;
    return set_option(dev->streams[0].fd, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mreq, sizeof mreq,
                      cfg, "promiscuous mode");
}

// Each stream's ring: ring= (0: the default for the stream count), raised
// to kRingMin, cut into blocks of an eighth of it (kBlockMin to
// kBlockMax) and rounded up to whole blocks. Rings are kernel memory that
// is never swapped out, so all of them must fit in what is available; 0,
// or -1 after one "Cannot" line.
int ring_layout(const char *ifname, const live_options *opts, uint32_t nr_rx, live_setup *cfg)
{
    uint64_t streams = nr_rx ? nr_rx : 1;
    uint64_t ring = opts->ring;
    if (ring == 0)
        ring = kDefaultRingTotal / streams < kDefaultRingMax ? kDefaultRingTotal / streams
                                                             : kDefaultRingMax;
    ring = ring < kRingMin ? kRingMin : ring;
    uint32_t shift = static_cast<uint32_t>(__builtin_ctz(kBlockMax));
    while ((1ull << shift) > kBlockMin && (1ull << shift) * kRingBlocks > ring)
        --shift;
    uint64_t blocks = (ring >> shift) + ((ring & ((1ull << shift) - 1)) != 0);
    uint64_t available = memory_available();
    if (blocks > (available >> shift) / streams ||
        blocks > UINT32_MAX / ((1u << shift) / kFrameSize))
        return vexmo_cannot("open interface %s: rings of %llu KiB for %u streams need more than "
                            "the %llu MiB of memory available",
                            ifname, static_cast<unsigned long long>(ring >> 10), nr_rx,
                            static_cast<unsigned long long>(available >> 20));
    cfg->block_shift = shift;
    cfg->nr_blocks = static_cast<uint32_t>(blocks);
    return 0;
}

// Whether the interface merges received frames (GRO or LRO): it then
// hands over frames of up to 64 KiB and more, which a client that writes
// smaller ones only leaves out, so a bulk transfer shows holes. Loopback
// merges nothing; its frames are as large as its MTU.
bool merges_frames(int fd, const char *ifname)
{
    ethtool_value gro{ETHTOOL_GGRO, 0}, flags{ETHTOOL_GFLAGS, 0};
    ifreq ifr{};
    snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", ifname);
    ifr.ifr_data = reinterpret_cast<char *>(&gro);
    bool merges = ioctl(fd, SIOCETHTOOL, &ifr) == 0 && gro.data;
    ifr.ifr_data = reinterpret_cast<char *>(&flags);
    return (ioctl(fd, SIOCETHTOOL, &ifr) == 0 && (flags.data & ETH_FLAG_LRO)) || merges;
}

// Frames of other link types than Ethernet would be written as garbage
// Ethernet; loopback frames carry Ethernet headers. An interface that
// hands over frames larger than the client writes (merging them, or with
// an MTU that large, as loopback's 65536) is only said once: the capture
// goes on. What the client writes is its own rule (limit, 0 for any).
int check_interface(const char *ifname, uint32_t limit)
{
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    ifreq ifr{};
    snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", ifname);
    int rc = fd < 0 ? -1 : ioctl(fd, SIOCGIFHWADDR, &ifr);
    int err = errno;
    unsigned type = ifr.ifr_hwaddr.sa_family;
    bool merges = rc == 0 && type == ARPHRD_ETHER && merges_frames(fd, ifname);
    int mtu = rc == 0 && ioctl(fd, SIOCGIFMTU, &ifr) == 0 ? ifr.ifr_mtu : 0;
    if (fd >= 0)
        close(fd);
    if (rc < 0)
        return vexmo_cannot_errno(err, "open interface %s", ifname);
    if (type != ARPHRD_ETHER && type != ARPHRD_LOOPBACK)
        return vexmo_cannot("open interface %s: link type %u is not Ethernet", ifname, type);
    if (limit != 0 && merges)
        fprintf(stderr,
                "Interface %s merges received frames (GRO or LRO): frames over %u "
                "bytes are not written; ethtool -K %s gro off lro off\n",
                ifname, limit, ifname);
    else if (limit > ETH_HLEN && mtu > static_cast<int64_t>(limit) - ETH_HLEN)
        fprintf(stderr,
                "Interface %s carries frames of up to %d bytes (MTU %d): frames over %u "
                "bytes are not written; ip link set %s mtu %u\n",
                ifname, mtu + ETH_HLEN, mtu, limit, ifname, limit - ETH_HLEN);
    return 0;
}

// True when the interface of s no longer exists (deleted, or its
// namespace gone); a merely downed one still has its index.
bool interface_gone(const live_stream *s, int ifindex)
{
    ifreq ifr{};
    ifr.ifr_ifindex = ifindex;
    return ioctl(s->fd, SIOCGIFNAME, &ifr) < 0 && (errno == ENODEV || errno == ENXIO);
}

// The interface went away: the stream ends. One line for the device; the
// last stream to end interrupts the process once, as the replay source
// does when drained, so that the program reports and exits.
void end_stream(live_device *dev, live_stream *s)
{
    // Relaxed: the state publishes nothing but itself.
    s->state.store(VEXMO_STREAM_FAILED, std::memory_order_relaxed);
    if (!dev->gone.exchange(true, std::memory_order_relaxed))
        vexmo_cannot_errno(ENODEV, "capture on interface %s", dev->ifname);
    // acq_rel: exactly one caller sees the final count.
    if (dev->ended_streams.fetch_add(1, std::memory_order_acq_rel) + 1 == dev->nr_streams)
        kill(getpid(), SIGINT);
}

// A socket error after the interface went down or away: clear it so the
// next wait waits, and remember to look for the interface.
void take_error(live_stream *s)
{
    int err = 0;
    socklen_t len = sizeof err;
    getsockopt(s->fd, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err == ENETDOWN || err == ENXIO || err == ENODEV) {
        s->link_down = true;
        s->quiet_waits = 0;
    }
}

bool block_ready(const live_stream *s)
{
    return block_status_acquire(block_at(s, s->cur_block)) & TP_STATUS_USER;
}

// Waits (bounded) for the next block of s; true when one is ready. A ring
// that still holds frames is read empty before a vanished interface ends
// the stream.
bool next_block_ready(live_device *dev, live_stream *s)
{
    if (s->state.load(std::memory_order_relaxed) != VEXMO_STREAM_RUNNING ||
        s->pending[s->cur_block].load(std::memory_order_acquire) != 0) {
        // Nothing can come, or every block is out with the caller.
        poll(nullptr, 0, kPollWaitMs);
        return false;
    }
    if (block_ready(s))
        return true;
    pollfd pfd{s->fd, POLLIN | POLLERR, 0};
    int woken = poll(&pfd, 1, kPollWaitMs);
    if (woken > 0 && (pfd.revents & POLLERR))
        take_error(s);
    if (woken > 0 && (pfd.revents & POLLNVAL)) // closed at exit: wait, do not spin
        poll(nullptr, 0, kPollWaitMs);
    if (block_ready(s)) {
        s->quiet_waits = 0;
        return true;
    }
    // Only after quiet waits longer than kBlockTimeoutMs: the kernel
    // retires the last, partly filled block that long after the interface
    // went at the latest. Relaxed: the flag publishes nothing but itself.
    bool gone = dev->gone.load(std::memory_order_relaxed);
    if (woken == 0 && (s->link_down || gone) && ++s->quiet_waits > kBlockTimeoutMs / kPollWaitMs &&
        (gone || interface_gone(s, dev->ifindex)))
        end_stream(dev, s);
    return false;
}

// The kernel takes an 802.1Q/802.1ad tag out of a received frame and
// reports it beside it; a capture must show the frame as it was on the
// wire, so the tag goes back in, in place: the addresses move 4 bytes down
// into the room PACKET_RESERVE left in front of the frame.
void restore_vlan_tag(const tpacket3_hdr *h, vexmo_buff *b)
{
    if (b->len < 12)
        return;
    uint16_t tpid = (h->tp_status & TP_STATUS_VLAN_TPID_VALID) ? h->hv1.tp_vlan_tpid : ETH_P_8021Q;
    uint16_t tci = static_cast<uint16_t>(h->hv1.tp_vlan_tci);
    uint8_t *frame = const_cast<uint8_t *>(b->data) - kVlanTagLen;
    memmove(frame, b->data, 12);
    frame[12] = static_cast<uint8_t>(tpid >> 8);
    frame[13] = static_cast<uint8_t>(tpid);
    frame[14] = static_cast<uint8_t>(tci >> 8);
    frame[15] = static_cast<uint8_t>(tci);
    b->data = frame;
    b->len += kVlanTagLen;
}

// Makes the next ready block of s current; false when none is.
bool take_block(live_device *dev, live_stream *s)
{
    if (!next_block_ready(dev, s))
        return false;
    tpacket_block_desc *bd = block_at(s, s->cur_block);
    uint32_t n = bd->hdr.bh1.num_pkts;
    if (n == 0) {
        give_back(s, s->cur_block);
        s->cur_block = (s->cur_block + 1) % s->nr_blocks;
        return false;
    }
    // Set before any buffer of the block leaves this thread.
    s->pending[s->cur_block].store(n + 1, std::memory_order_relaxed);
    s->pkts_left = n;
    s->next_pkt = reinterpret_cast<const uint8_t *>(bd) + bd->hdr.bh1.offset_to_first_pkt;
    return true;
}

// Process-wide: the drop report walks every live device at exit.
void register_device(live_device *dev)
{
    mutex_lock held(&g_live_lock);
    if (g_live_devices == nullptr)
        atexit(live_exit);
    dev->next = g_live_devices;
    g_live_devices = dev;
}

live_device *new_device(const char *ifname, int ifindex, uint32_t nr_rx)
{
    auto *dev = vexmo_new_record<live_device>();
    auto *streams = vexmo_new_array<live_stream>(nr_rx);
    if (!dev || !streams) {
        vexmo_cannot_errno(ENOMEM, "open interface %s", ifname);
        free(dev);
        free(streams);
        return nullptr;
    }
    dev->streams = streams;
    dev->ifindex = ifindex;
    snprintf(dev->ifname, sizeof dev->ifname, "%s", ifname);
    return dev;
}

// The interface's index, or -1 after the "Cannot" line.
int interface_index(const char *ifname)
{
    if (strlen(ifname) >= IFNAMSIZ)
        return vexmo_cannot("open interface %s: name too long", ifname);
    int ifindex = static_cast<int>(if_nametoindex(ifname));
    return ifindex != 0 ? ifindex : vexmo_cannot_errno(errno, "open interface %s", ifname);
}

} // namespace

live_device *live_open(const char *ifname, const live_options *opts, uint32_t nr_rx)
{
    int ifindex = interface_index(ifname);
    if (ifindex < 0)
        return nullptr;
    static constexpr int kFanoutModes[] = {PACKET_FANOUT_HASH, PACKET_FANOUT_LB, PACKET_FANOUT_CPU};
    live_setup cfg{ifname, ifindex, 0, 0, kFanoutModes[static_cast<uint32_t>(opts->fanout)]};
    live_device *dev = nullptr;
    if (ring_layout(ifname, opts, nr_rx, &cfg) < 0 ||
        check_interface(ifname, opts->frame_limit) < 0 ||
        !(dev = new_device(ifname, ifindex, nr_rx)))
        return nullptr;
    int group = 0;
    bool ok = true;
    for (; dev->nr_streams < nr_rx && ok; ++dev->nr_streams) {
        live_stream *s = &dev->streams[dev->nr_streams];
        s->fd = -1;
        ok = stream_open(s, &cfg, &group) == 0;
    }
    if (ok && (!opts->promisc || set_promisc(dev, &cfg) == 0) && complete_group(dev, &cfg) == 0) {
        register_device(dev);
        return dev;
    }
    for (uint32_t i = 0; i < dev->nr_streams; ++i)
        stream_close(&dev->streams[i]);
    free(dev->streams);
    free(dev);
    return nullptr;
}

int live_recv(live_device *dev, uint32_t stream, vexmo_buff **out, uint32_t capacity)
{
    live_stream *s = &dev->streams[stream];
    if (s->pkts_left == 0 && !take_block(dev, s))
        return 0;
    uint32_t n = s->pkts_left < capacity ? s->pkts_left : capacity;
    uint32_t cut = 0;
    for (uint32_t i = 0; i < n; ++i) {
        auto *h = reinterpret_cast<const tpacket3_hdr *>(s->next_pkt);
        auto *b = reinterpret_cast<vexmo_buff *>(const_cast<uint8_t *>(s->next_pkt) + kDescOffset);
        b->data = s->next_pkt + h->tp_mac;
        b->len = h->tp_snaplen;
        cut += h->tp_snaplen < h->tp_len;
        if (h->tp_status & TP_STATUS_VLAN_VALID)
            restore_vlan_tag(h, b);
        b->stream = static_cast<uint16_t>(stream);
        b->ring_block = s->cur_block;
        b->source = vexmo_source::live;
        out[i] = b;
        s->next_pkt += h->tp_next_offset;
    }
    // Loads and stores: the poller is the only writer.
    s->handed.store(s->handed.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
    if (cut != 0)
        s->truncated.store(s->truncated.load(std::memory_order_relaxed) + cut,
                           std::memory_order_relaxed);
    s->pkts_left -= n;
    if (s->pkts_left == 0)
        s->cur_block = (s->cur_block + 1) % s->nr_blocks;
    return static_cast<int>(n);
}

void live_free(live_device *dev, vexmo_buff **bufs, uint32_t count)
{
    // One atomic per run of buffers from the same block.
    live_stream *run_stream = nullptr;
    uint32_t run_block = 0, run = 0;
    auto settle = [&]() {
        if (run &&
            run_stream->pending[run_block].fetch_sub(run, std::memory_order_acq_rel) == run + 1) {
            give_back(run_stream, run_block);
            // Release: the poller sees the block as gone back only after it is.
            run_stream->pending[run_block].store(0, std::memory_order_release);
        }
        run = 0;
    };
    for (uint32_t i = 0; i < count; ++i) {
        const vexmo_buff *b = bufs[i];
        if (b == nullptr || b->stream >= dev->nr_streams)
            continue;
        live_stream *s = &dev->streams[b->stream];
        auto *at = reinterpret_cast<const uint8_t *>(b);
        if (at < s->ring || at >= s->ring + ring_bytes(s) || b->ring_block >= s->nr_blocks)
            continue; // not one of ours
        if (s != run_stream || b->ring_block != run_block)
            settle();
        run_stream = s;
        run_block = b->ring_block;
        run++;
    }
    settle();
}

int live_stats(live_device *dev, uint32_t stream, vexmo_stream_stats_t *stats)
{
    live_stream *s = &dev->streams[stream];
    stats->dropped = total_drops(s);
    stats->truncated = s->truncated.load(std::memory_order_relaxed);
    stats->state = s->state.load(std::memory_order_relaxed);
    stats->settle_ms = kBlockTimeoutMs;
    return 0;
}

void live_report_drops(live_device *dev)
{
    mutex_lock held(&g_live_lock);
    report_device_drops(dev);
}

namespace {

// The frame's ring header: the descriptor sits a fixed distance after it.
const tpacket3_hdr *frame_header(const vexmo_buff *buf)
{
    return reinterpret_cast<const tpacket3_hdr *>(reinterpret_cast<const uint8_t *>(buf) -
                                                  kDescOffset);
}

} // namespace

int live_tstamp(const vexmo_buff *buf, int64_t *sec, uint32_t *nsec)
{
    const tpacket3_hdr *h = frame_header(buf);
    *sec = h->tp_sec;
    *nsec = h->tp_nsec;
    return 0;
}

uint32_t live_wirelen(const vexmo_buff *buf)
{
    const tpacket3_hdr *h = frame_header(buf);
    // A VLAN tag put back adds to both lengths alike.
    return h->tp_len + (buf->len - h->tp_snaplen);
}
