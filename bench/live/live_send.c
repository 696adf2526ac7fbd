/*
 * Sender for the live capture benchmark (bench/live/live_bench.py).
 *
 *     live_send IFNAME DST_MAC COUNT RATE SECONDS
 *
 * Sends COUNT frames of 64 bytes (60 on the wire without the check sequence)
 * out of IFNAME through an AF_PACKET socket, addressed to DST_MAC, as fast as
 * the kernel takes them when RATE is 0, else RATE frames per second, and
 * stops after SECONDS whatever the count. Prints one line:
 *
 *     sent N frames in S s
 *
 * The frames are IPv4/UDP over 64 flows (source port 20000 + flow, to port
 * 9), so that a capturer that spreads flows over several streams gets work
 * for each. They are built once: the loop only hands the kernel batches of
 * the same prepared messages, so the capturers, not the sender, set the pace.
 * On a veth pair the kernel delivers each frame to the peer's packet sockets
 * in the sender's own system call: copying into the capturers' rings is
 * charged to the sender, not to the capturers.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "ip_checksum.h"

enum { kFlows = 64, kFrameLen = 60, kBatch = 64, kPacedBatch = 8 };
_Static_assert(kBatch <= kFlows, "a batch starts anywhere in two rounds of flows");

static uint8_t frames[kFlows][kFrameLen];

static int cannot(const char *what)
{
    fprintf(stderr, "Cannot %s: %s\n", what, strerror(errno));
    return -1;
}

static void put16(uint8_t *p, uint16_t v)
{
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}

static void build_frame(uint8_t *f, const uint8_t dst[6], int flow)
{
    static const uint8_t src[6] = {0x02, 0x00, 0x00, 0x00, 0x00, 0x0a};
    uint8_t *ip = f + 14, *udp = ip + 20;
    memset(f, 0, kFrameLen);
    memcpy(f, dst, 6);
    memcpy(f + 6, src, 6);
    put16(f + 12, ETH_P_IP);
    ip[0] = 0x45;
    put16(ip + 2, kFrameLen - 14);
    ip[8] = 64;
    ip[9] = 17;
    ip[12] = 10, ip[13] = 77, ip[14] = 0, ip[15] = 1;
    ip[16] = 10, ip[17] = 77, ip[18] = 1, ip[19] = (uint8_t)(1 + flow);
    put16(ip + 10, ip_checksum(ip, 20));
    put16(udp, (uint16_t)(20000 + flow));
    put16(udp + 2, 9);
    put16(udp + 4, kFrameLen - 14 - 20);
    memcpy(udp + 8, "trawlkit-live", 13);
}

static int parse_mac(const char *text, uint8_t mac[6])
{
    unsigned v[6];
    if (sscanf(text, "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) != 6)
        return -1;
    for (int i = 0; i < 6; i++)
        mac[i] = (uint8_t)v[i];
    return 0;
}

static int open_socket(const char *ifname)
{
    int fd = socket(AF_PACKET, SOCK_RAW, 0); /* protocol 0: receives nothing */
    if (fd < 0)
        return cannot("open an AF_PACKET socket");
    int one = 1;
    /* veth has no queue anyway; this only skips the qdisc lookup. */
    setsockopt(fd, SOL_PACKET, PACKET_QDISC_BYPASS, &one, sizeof one);
    struct sockaddr_ll addr;
    memset(&addr, 0, sizeof addr);
    addr.sll_family = AF_PACKET;
    addr.sll_ifindex = (int)if_nametoindex(ifname);
    if (addr.sll_ifindex == 0 || bind(fd, (struct sockaddr *)&addr, sizeof addr) < 0) {
        cannot("bind the sender to the interface");
        close(fd);
        return -1;
    }
    return fd;
}

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static void sleep_until(double t)
{
    struct timespec ts = {(time_t)t, (long)((t - (double)(time_t)t) * 1e9)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, NULL) == EINTR) {
    }
}

/* Sends up to count frames, rate per second (0: no pacing), for at most
 * seconds; returns the number the kernel took. */
static uint64_t send_frames(int fd, uint64_t count, double rate, double seconds, double t0)
{
    /* Two rounds of the flows, so that a batch can start at any flow. */
    static struct iovec iov[2 * kFlows];
    static struct mmsghdr msgs[2 * kFlows];
    for (int i = 0; i < 2 * kFlows; i++) {
        iov[i].iov_base = frames[i % kFlows];
        iov[i].iov_len = kFrameLen;
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    uint64_t sent = 0, loops = 0;
    unsigned batch = rate > 0 ? kPacedBatch : kBatch;
    while (sent < count) {
        if (rate > 0)
            sleep_until(t0 + (double)sent / rate);
        /* Reading the clock every 64 batches keeps the time bound cheap. */
        if ((++loops & 63) == 0 && now() - t0 > seconds)
            break;
        unsigned n = count - sent < batch ? (unsigned)(count - sent) : batch;
        int r = sendmmsg(fd, msgs + sent % kFlows, n, 0);
        if (r < 0) {
            if (errno == ENOBUFS || errno == EAGAIN || errno == EINTR)
                continue;
            cannot("send");
            break;
        }
        sent += (uint64_t)r;
    }
    return sent;
}

int main(int argc, char **argv)
{
    uint8_t dst[6];
    if (argc != 6 || parse_mac(argv[2], dst) < 0) {
        fprintf(stderr, "usage: live_send IFNAME DST_MAC COUNT RATE SECONDS\n");
        return 2;
    }
    uint64_t count = strtoull(argv[3], NULL, 10);
    double rate = strtod(argv[4], NULL), seconds = strtod(argv[5], NULL);
    for (int f = 0; f < kFlows; f++)
        build_frame(frames[f], dst, f);
    int fd = open_socket(argv[1]);
    if (fd < 0)
        return 1;
    double t0 = now();
    uint64_t sent = send_frames(fd, count, rate, seconds, t0);
    printf("sent %llu frames in %.3f s\n", (unsigned long long)sent, now() - t0);
    close(fd);
    return 0;
}
