/*
 * Live capture: one AF_PACKET socket per receive stream, each with a
 * TPACKET_V3 receive ring mapped into the process, all in one fanout group
 * in hash mode so the kernel keeps each flow on one stream. Buffers point
 * into the ring; a ring block goes back to the kernel once every packet in
 * it was handed out and freed. VLAN tags that the kernel took out of a frame
 * are put back, so frames look as they did on the wire.
 */
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>
#include <arpa/inet.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "internal.h"

namespace {

/* A block holds a burst of packets up to 64 KiB each (GRO on veth and
 * loopback hands over such), and is retired to user space at the latest
 * after block_timeout_ms, so a poll sees a quiet trickle within the wait. */
constexpr uint32_t block_size = 1u << 18;
constexpr uint32_t nr_blocks = 16;
constexpr uint32_t frame_size = 2048; /* only used to size the ring */
constexpr uint32_t block_timeout_ms = 4;
constexpr int poll_wait_ms = 10;
constexpr uint32_t vlan_tag_len = 4;
/* Every packet in a block takes at least its aligned tpacket3_hdr. */
constexpr uint32_t slots_per_block = block_size / TPACKET_ALIGN(sizeof(tpacket3_hdr)) + 1;

static_assert(block_size % 4096 == 0 && block_size % frame_size == 0);

} // namespace

struct alignas(64) live_stream {
    int fd;
    uint8_t *ring;
    uint32_t cur_block; /* block being handed out, or next to wait for */
    uint32_t pkts_left; /* packets of cur_block not handed out yet */
    uint32_t next_slot;
    const uint8_t *next_pkt;
    vexmo_buff *slots; /* nr_blocks * slots_per_block descriptors */
    /* Per block: 0 while the kernel owns it; else 1 + its packets not yet
     * freed (handed out or still to hand out). The 1 is dropped only after
     * the block went back, so the poller never mistakes a block that the
     * caller still holds for a fresh one. Frees may come from another
     * thread than the poller. */
    std::atomic<uint32_t> *pending;
};

struct live_device {
    live_stream *streams;
    uint32_t nr_streams;
};

static_assert(std::atomic<uint32_t>::is_always_lock_free);

namespace {

tpacket_block_desc *block_at(const live_stream *s, uint32_t b)
{
    return reinterpret_cast<tpacket_block_desc *>(s->ring + static_cast<size_t>(b) * block_size);
}

void give_back(live_stream *s, uint32_t b)
{
    /* Release: our reads of the block happen before the kernel reuses it. */
    __atomic_store_n(&block_at(s, b)->hdr.bh1.block_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
}

/* A filter that takes nothing: the socket sees no packets until it is in
 * the fanout group, so none is delivered both alone and through the group. */
int set_drop_all(int fd)
{
    static sock_filter drop[] = {{BPF_RET | BPF_K, 0, 0, 0}};
    sock_fprog prog{1, drop};
    return setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog);
}

/* Opens stream s bound to ifindex and joined to fanout group *group (0:
 * let the kernel pick a free id, which is written back). */
int stream_open(live_stream *s, const char *ifname, int ifindex, int *group)
{
    const char *what = "socket";
    s->fd = socket(AF_PACKET, SOCK_RAW, 0);
    if (s->fd < 0)
        goto fail;
    {
        int version = TPACKET_V3;
        what = "PACKET_VERSION";
        if (setsockopt(s->fd, SOL_PACKET, PACKET_VERSION, &version, sizeof version) < 0)
            goto fail;
        /* Room in front of each frame to put back a VLAN tag (see below). */
        unsigned reserve = vlan_tag_len;
        what = "PACKET_RESERVE";
        if (setsockopt(s->fd, SOL_PACKET, PACKET_RESERVE, &reserve, sizeof reserve) < 0)
            goto fail;
        tpacket_req3 req{};
        req.tp_block_size = block_size;
        req.tp_block_nr = nr_blocks;
        req.tp_frame_size = frame_size;
        req.tp_frame_nr = block_size / frame_size * nr_blocks;
        req.tp_retire_blk_tov = block_timeout_ms;
        what = "PACKET_RX_RING";
        if (setsockopt(s->fd, SOL_PACKET, PACKET_RX_RING, &req, sizeof req) < 0)
            goto fail;
        what = "mmap";
        void *ring = mmap(nullptr, static_cast<size_t>(block_size) * nr_blocks,
                          PROT_READ | PROT_WRITE, MAP_SHARED, s->fd, 0);
        if (ring == MAP_FAILED)
            goto fail;
        s->ring = static_cast<uint8_t *>(ring);
        what = "SO_ATTACH_FILTER";
        if (set_drop_all(s->fd) < 0)
            goto fail;
        sockaddr_ll addr{};
        addr.sll_family = AF_PACKET;
        addr.sll_protocol = htons(ETH_P_ALL);
        addr.sll_ifindex = ifindex;
        what = "bind";
        if (bind(s->fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0)
            goto fail;
        int arg = *group | (PACKET_FANOUT_HASH << 16);
        if (*group == 0)
            arg |= PACKET_FANOUT_FLAG_UNIQUEID << 16;
        what = "PACKET_FANOUT";
        if (setsockopt(s->fd, SOL_PACKET, PACKET_FANOUT, &arg, sizeof arg) < 0)
            goto fail;
        if (*group == 0) {
            socklen_t len = sizeof arg;
            if (getsockopt(s->fd, SOL_PACKET, PACKET_FANOUT, &arg, &len) < 0)
                goto fail;
            *group = arg & 0xffff;
        }
    }
    return 0;
fail:
    int err = errno;
    std::fprintf(stderr, "Cannot open interface %s: %s: %s%s\n", ifname, what, std::strerror(err),
                 err == EPERM ? " (live capture needs CAP_NET_RAW)" : "");
    return -1;
}

void stream_close(live_stream *s)
{
    if (s->ring)
        munmap(s->ring, static_cast<size_t>(block_size) * nr_blocks);
    if (s->fd >= 0)
        close(s->fd);
    std::free(s->slots);
    std::free(s->pending);
}

/* Waits (bounded) for the next block of s; true when one is ready. */
bool next_block_ready(live_stream *s)
{
    if (s->pending[s->cur_block].load(std::memory_order_acquire) != 0) {
        /* Every block is out with the caller: wait as for data, then give up. */
        poll(nullptr, 0, poll_wait_ms);
        return false;
    }
    tpacket_block_desc *bd = block_at(s, s->cur_block);
    if (__atomic_load_n(&bd->hdr.bh1.block_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER)
        return true;
    pollfd pfd{s->fd, POLLIN | POLLERR, 0};
    if (poll(&pfd, 1, poll_wait_ms) > 0 && (pfd.revents & POLLERR)) {
        /* e.g. the interface went down: clear it so the next wait waits. */
        int err;
        socklen_t len = sizeof err;
        getsockopt(s->fd, SOL_SOCKET, SO_ERROR, &err, &len);
    }
    return __atomic_load_n(&bd->hdr.bh1.block_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER;
}

/* The kernel takes an 802.1Q/802.1ad tag out of a received frame and
 * reports it beside it; a capture must show the frame as it was on the
 * wire, so the tag goes back in, in place: the addresses move 4 bytes down
 * into the room PACKET_RESERVE left in front of the frame. */
void restore_vlan_tag(const tpacket3_hdr *h, vexmo_buff *b)
{
    if (b->len < 12)
        return;
    uint16_t tpid = (h->tp_status & TP_STATUS_VLAN_TPID_VALID) ? h->hv1.tp_vlan_tpid : ETH_P_8021Q;
    uint16_t tci = static_cast<uint16_t>(h->hv1.tp_vlan_tci);
    uint8_t *frame = const_cast<uint8_t *>(b->data) - vlan_tag_len;
    std::memmove(frame, b->data, 12);
    frame[12] = static_cast<uint8_t>(tpid >> 8);
    frame[13] = static_cast<uint8_t>(tpid);
    frame[14] = static_cast<uint8_t>(tci >> 8);
    frame[15] = static_cast<uint8_t>(tci);
    b->data = frame;
    b->len += vlan_tag_len;
}

} // namespace

live_device *live_open(const char *ifname, uint32_t nr_rx)
{
    if (std::strlen(ifname) >= IFNAMSIZ) {
        std::fprintf(stderr, "Cannot open interface %s: name too long\n", ifname);
        return nullptr;
    }
    int ifindex = static_cast<int>(if_nametoindex(ifname));
    if (ifindex == 0) {
        std::fprintf(stderr, "Cannot open interface %s: %s\n", ifname, std::strerror(errno));
        return nullptr;
    }
    auto *dev = static_cast<live_device *>(std::calloc(1, sizeof(live_device)));
    auto *streams = static_cast<live_stream *>(
        std::aligned_alloc(alignof(live_stream), (nr_rx ? nr_rx : 1) * sizeof(live_stream)));
    if (!dev || !streams) {
        std::fprintf(stderr, "Cannot open interface %s: %s\n", ifname, std::strerror(ENOMEM));
        std::free(dev);
        std::free(streams);
        return nullptr;
    }
    dev->streams = streams;
    dev->nr_streams = nr_rx;
    int group = 0;
    uint32_t opened = 0;
    bool ok = true;
    for (; opened < nr_rx && ok; ++opened) {
        live_stream *s = new (&streams[opened]) live_stream{};
        s->fd = -1;
        s->slots = static_cast<vexmo_buff *>(
            std::calloc(static_cast<size_t>(nr_blocks) * slots_per_block, sizeof(vexmo_buff)));
        s->pending = static_cast<std::atomic<uint32_t> *>(std::calloc(nr_blocks, sizeof(std::atomic<uint32_t>)));
        if (!s->slots || !s->pending) {
            std::fprintf(stderr, "Cannot open interface %s: %s\n", ifname, std::strerror(ENOMEM));
            ok = false;
        } else {
            ok = stream_open(s, ifname, ifindex, &group) == 0;
        }
    }
    /* Every socket is in the group now: let packets in. */
    for (uint32_t i = 0; i < opened && ok; ++i) {
        int unused = 0;
        if (setsockopt(streams[i].fd, SOL_SOCKET, SO_DETACH_FILTER, &unused, sizeof unused) < 0) {
            std::fprintf(stderr, "Cannot open interface %s: SO_DETACH_FILTER: %s\n", ifname,
                         std::strerror(errno));
            ok = false;
        }
    }
    if (!ok) {
        for (uint32_t i = 0; i < opened; ++i)
            stream_close(&streams[i]);
        std::free(streams);
        std::free(dev);
        return nullptr;
    }
    return dev;
}

int live_recv(live_device *dev, uint32_t stream, vexmo_buff **out, uint32_t capacity)
{
    live_stream *s = &dev->streams[stream];
    if (s->pkts_left == 0) {
        if (!next_block_ready(s))
            return 0;
        tpacket_block_desc *bd = block_at(s, s->cur_block);
        uint32_t n = bd->hdr.bh1.num_pkts;
        if (n > slots_per_block)
            n = slots_per_block; /* cannot happen: each packet takes a header */
        if (n == 0) {
            give_back(s, s->cur_block);
            s->cur_block = (s->cur_block + 1) % nr_blocks;
            return 0;
        }
        /* Set before any buffer of the block leaves this thread. */
        s->pending[s->cur_block].store(n + 1, std::memory_order_relaxed);
        s->pkts_left = n;
        s->next_slot = 0;
        s->next_pkt = reinterpret_cast<const uint8_t *>(bd) + bd->hdr.bh1.offset_to_first_pkt;
    }
    uint32_t n = s->pkts_left < capacity ? s->pkts_left : capacity;
    vexmo_buff *slots = s->slots + static_cast<size_t>(s->cur_block) * slots_per_block;
    for (uint32_t i = 0; i < n; ++i) {
        auto *h = reinterpret_cast<const tpacket3_hdr *>(s->next_pkt);
        vexmo_buff *b = &slots[s->next_slot++];
        b->data = s->next_pkt + h->tp_mac;
        b->len = h->tp_snaplen;
        if (h->tp_status & TP_STATUS_VLAN_VALID)
            restore_vlan_tag(h, b);
        b->stream = stream;
        b->block = s->cur_block;
        out[i] = b;
        s->next_pkt += h->tp_next_offset;
    }
    s->pkts_left -= n;
    if (s->pkts_left == 0)
        s->cur_block = (s->cur_block + 1) % nr_blocks;
    return static_cast<int>(n);
}

void live_free(live_device *dev, vexmo_buff **bufs, uint32_t count)
{
    /* One atomic per run of buffers from the same block. */
    live_stream *run_stream = nullptr;
    uint32_t run_block = 0, run = 0;
    auto settle = [&]() {
        if (run && run_stream->pending[run_block].fetch_sub(run, std::memory_order_acq_rel) == run + 1) {
            give_back(run_stream, run_block);
            /* Release: the poller sees the block as gone back only after it is. */
            run_stream->pending[run_block].store(0, std::memory_order_release);
        }
        run = 0;
    };
    for (uint32_t i = 0; i < count; ++i) {
        const vexmo_buff *b = bufs[i];
        if (b == nullptr || b->stream >= dev->nr_streams)
            continue;
        live_stream *s = &dev->streams[b->stream];
        const vexmo_buff *first = s->slots;
        if (b < first || b >= first + static_cast<size_t>(nr_blocks) * slots_per_block)
            continue; /* not one of ours */
        if (s != run_stream || b->block != run_block)
            settle();
        run_stream = s;
        run_block = b->block;
        run++;
    }
    settle();
}
