/*
 * Trace generator for the extraction benchmark (bench/extract/extract_bench.py).
 *
 *     extract_gen OUT.pcap [BYTES [ACTIVE_FLOWS [SECONDS [SEED]]]]
 *
 * Writes a microsecond Ethernet savefile of about BYTES bytes (default
 * 4.5 GB) whose stamps run in order over SECONDS (default 3600) from
 * 2026-01-01 00:00:00 UTC, and OUT.pcap.flows: a first line
 *
 *     records N bytes B seconds S start EPOCH flows F
 *
 * then one line for every 64th flow:
 *
 *     KIND VLAN CLIENT SERVER CLIENT_PORT SERVER_PORT PACKETS FIRST_US LAST_US
 *
 * (KIND tcp4, udp4, tcp6, udp6 or icmp4; VLAN 0 when untagged; ports 0 for
 * icmp4), so that the driver can pick a flow to look for and knows how many
 * records it must get back.
 *
 * The traffic: about ACTIVE_FLOWS (default 3000) flows at any moment, each
 * living 1 to 60 s (log-uniform) and sending a few to a few hundred packets
 * in both directions at random moments of its life; new flows arrive at the
 * rate that keeps the count steady. A flow's client is one of 2^16 addresses
 * and its server one of 2^12 (separate pools for IPv6), its client port is
 * ephemeral and its server port mostly a well-known one. 70 % of the flows
 * are IPv4 TCP, 17 % IPv4 UDP, 8 % IPv6 TCP, 4 % IPv6 UDP, 1 % ICMP echo;
 * a tenth of them carry an 802.1Q tag (VLAN 10-19). Frames are 64 to 1514
 * bytes: half are short (acknowledgements, requests), 38 % full, the rest in
 * between; about 700 bytes on average. Everything comes from one seeded
 * generator: the same arguments give the same bytes.
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "ip_checksum.h"

enum {
    kMinFrame = 64,
    kMaxFrame = 1514,
    kOutBuf = 8 << 20,
    kPayloadPool = 1 << 16,
    kSampleEvery = 64,
};
static const int64_t kStartEpoch = 1767225600; /* 2026-01-01T00:00:00Z */
static const double kMinLife = 1.0, kMaxLife = 60.0;

enum kind { TCP4, UDP4, TCP6, UDP6, ICMP4 };
static const char *const kind_names[] = {"tcp4", "udp4", "tcp6", "udp6", "icmp4"};

struct flow {
    double next; /* the next packet's moment, seconds from the start */
    double end;
    double gap; /* mean time between its packets */
    uint64_t first_us, last_us;
    uint32_t client, server; /* pool indexes */
    uint32_t seq[2];
    uint32_t packets;
    uint16_t cport, sport;
    uint16_t vlan;
    uint8_t kind;
    uint8_t sampled;
};

static uint64_t rng_state;

/* splitmix64: fast, and one 64-bit seed fixes the whole trace. */
static uint64_t rnd(void)
{
    uint64_t z = (rng_state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

/* Uniform in (0, 1]: never 0, so that its logarithm is finite. */
static double unit(void)
{
    return ((double)(rnd() >> 11) + 1.0) * (1.0 / 9007199254740992.0);
}

static uint32_t below(uint32_t n)
{
    return (uint32_t)(((rnd() >> 32) * (uint64_t)n) >> 32);
}

static double expo(double mean)
{
    return -mean * log(unit());
}

/* Pool index to address: multiplying by an odd number is a bijection
 * modulo 2^k, so the pool's addresses are distinct but spread over the
 * prefix rather than packed at its start. */
static uint32_t client4(uint32_t i)
{
    return 0x0a000000u | ((i * 0x9e3779b1u) & 0xffffffu); /* 10.0.0.0/8 */
}

static uint32_t server4(uint32_t i)
{
    return 0xc6120000u | ((i * 0x85ebca6bu) & 0x1ffffu); /* 198.18.0.0/15 */
}

static void addr6(uint8_t *a, uint32_t i, int server)
{
    static const uint8_t cli[8] = {0x20, 0x01, 0x0d, 0xb8, 0x00, 0x0c, 0x00, 0x00};
    static const uint8_t srv[8] = {0x20, 0x01, 0x0d, 0xb8, 0x00, 0x05, 0x00, 0x00};
    uint64_t h = (uint64_t)(i + 1) * 0x9e3779b97f4a7c15ull;
    memcpy(a, server ? srv : cli, 8);
    for (int k = 0; k < 8; k++)
        a[8 + k] = (uint8_t)(h >> (56 - 8 * k));
}

static void put16(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}

static void put32(uint8_t *p, uint32_t v)
{
    put16(p, v >> 16);
    put16(p + 2, v);
}

static void put_le32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)v, p[1] = (uint8_t)(v >> 8), p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

/* --- output ----------------------------------------------------------- */

static uint8_t *out_buf;
static size_t out_len;
static int out_fd;

static int flush_out(void)
{
    size_t done = 0;
    while (done < out_len) {
        ssize_t n = write(out_fd, out_buf + done, out_len - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            fprintf(stderr, "extract_gen: write: %s\n", strerror(errno));
            return -1;
        }
        done += (size_t)n;
    }
    out_len = 0;
    return 0;
}

/* --- flows ------------------------------------------------------------ */

static struct flow *flows;  /* slots; a free slot is on the free list */
static uint32_t *free_list; /* slot numbers */
static uint32_t nr_free;
static uint32_t *heap; /* slot numbers, ordered by flows[].next */
static uint32_t heap_len;
static double mean_packets;
static uint64_t flows_started;
static FILE *sample_out;

static void heap_push(uint32_t s)
{
    uint32_t i = heap_len++;
    while (i > 0) {
        uint32_t up = (i - 1) / 2;
        if (flows[heap[up]].next <= flows[s].next)
            break;
        heap[i] = heap[up];
        i = up;
    }
    heap[i] = s;
}

/* Takes the top away and sinks the last entry from the root. */
static void heap_pop(void)
{
    uint32_t s = heap[--heap_len], i = 0;
    if (heap_len == 0)
        return;
    for (;;) {
        uint32_t c = 2 * i + 1;
        if (c >= heap_len)
            break;
        if (c + 1 < heap_len && flows[heap[c + 1]].next < flows[heap[c]].next)
            c++;
        if (flows[s].next <= flows[heap[c]].next)
            break;
        heap[i] = heap[c];
        i = c;
    }
    heap[i] = s;
}

static uint16_t server_port(int tcp)
{
    static const uint16_t tcp_other[] = {22, 25, 993, 3306, 5432, 8080, 8443, 6379};
    uint32_t r = below(100);
    if (tcp) {
        if (r < 50)
            return 443;
        if (r < 70)
            return 80;
        if (r < 80)
            return tcp_other[below(8)];
    } else {
        if (r < 40)
            return 53;
        if (r < 70)
            return 443;
        if (r < 75)
            return 123;
    }
    return (uint16_t)(1024 + below(64512));
}

/* A new flow at `now` with `life` seconds left of its life; its first
 * packet comes at once, or (`midway`) as any later one would. */
static void start_flow(double now, double life, int midway)
{
    uint32_t s = free_list[--nr_free];
    struct flow *f = &flows[s];
    uint32_t r = below(100);
    memset(f, 0, sizeof(*f));
    f->kind = r < 70 ? TCP4 : r < 87 ? UDP4 : r < 95 ? TCP6 : r < 99 ? UDP6 : ICMP4;
    f->vlan = below(10) == 0 ? (uint16_t)(10 + below(10)) : 0;
    f->client = below(1u << 16);
    f->server = below(1u << 12);
    f->cport = (uint16_t)(32768 + below(28232));
    f->sport = f->kind == ICMP4 ? 0 : server_port(f->kind == TCP4 || f->kind == TCP6);
    f->seq[0] = (uint32_t)rnd();
    f->seq[1] = (uint32_t)rnd();
    /* Most flows are short; one in fifty is a bulk transfer with ten
     * times the packets. Beyond its first, a flow sends `want` packets on
     * average over its life. */
    double want = expo((mean_packets - 1.0) / 1.18) + 1e-9;
    if (below(50) == 0)
        want *= 10.0;
    f->gap = life / want;
    f->next = midway ? now + expo(f->gap) : now;
    f->end = now + life;
    f->sampled = flows_started % kSampleEvery == 0;
    flows_started++;
    heap_push(s);
}

static double draw_life(void)
{
    return kMinLife * exp(log(kMaxLife / kMinLife) * unit());
}

static void end_flow(uint32_t s)
{
    struct flow *f = &flows[s];
    if (f->sampled) {
        char cli[64], srv[64];
        if (f->kind == TCP6 || f->kind == UDP6) {
            uint8_t a[16], b[16];
            addr6(a, f->client, 0);
            addr6(b, f->server, 1);
            snprintf(cli, sizeof(cli), "2001:db8:%x::%x:%x:%x:%x", a[5], a[8] << 8 | a[9],
                     a[10] << 8 | a[11], a[12] << 8 | a[13], a[14] << 8 | a[15]);
            snprintf(srv, sizeof(srv), "2001:db8:%x::%x:%x:%x:%x", b[5], b[8] << 8 | b[9],
                     b[10] << 8 | b[11], b[12] << 8 | b[13], b[14] << 8 | b[15]);
        } else {
            uint32_t a = client4(f->client), b = server4(f->server);
            snprintf(cli, sizeof(cli), "%u.%u.%u.%u", a >> 24, a >> 16 & 255, a >> 8 & 255,
                     a & 255);
            snprintf(srv, sizeof(srv), "%u.%u.%u.%u", b >> 24, b >> 16 & 255, b >> 8 & 255,
                     b & 255);
        }
        fprintf(sample_out, "%s %u %s %s %u %u %u %llu %llu\n", kind_names[f->kind], f->vlan, cli,
                srv, f->cport, f->sport, f->packets, (unsigned long long)f->first_us,
                (unsigned long long)f->last_us);
    }
    free_list[nr_free++] = s;
}

/* --- packets ---------------------------------------------------------- */

static uint8_t payload_pool[kPayloadPool + kMaxFrame];

/* Frame length and direction (1: server to client): requests and
 * acknowledgements go mostly up, full segments mostly down. */
static uint32_t draw_size(int *down)
{
    uint32_t r = below(100);
    if (r < 50) {
        *down = below(10) < 3;
        return kMinFrame + below(27);
    }
    if (r < 62) {
        *down = below(2);
        return 90 + below(1311);
    }
    *down = below(10) < 8;
    return kMaxFrame;
}

/* Appends one record of flow f at `us` microseconds from the start; its
 * bytes, header included. */
static uint32_t emit(struct flow *f, uint64_t us, int last)
{
    int down;
    uint32_t len = draw_size(&down);
    int v6 = f->kind == TCP6 || f->kind == UDP6;
    int tcp = f->kind == TCP4 || f->kind == TCP6;
    uint32_t l4len = tcp ? 20 : 8;
    uint32_t l2 = f->vlan ? 18 : 14, l3 = v6 ? 40 : 20;
    if (len < l2 + l3 + l4len)
        len = l2 + l3 + l4len;
    if (out_len + 16 + kMaxFrame > kOutBuf && flush_out() < 0)
        exit(1);
    uint8_t *rec = out_buf + out_len, *p = rec + 16;
    uint64_t sec = (uint64_t)kStartEpoch + us / 1000000;
    put_le32(rec, (uint32_t)sec);
    put_le32(rec + 4, (uint32_t)(us % 1000000));
    put_le32(rec + 8, len);
    put_le32(rec + 12, len);

    /* Ethernet: the client's own MAC against its gateway's. */
    uint8_t cmac[6] = {0x02, 0x00, 0, 0, (uint8_t)(f->client >> 8), (uint8_t)f->client};
    static const uint8_t gw[6] = {0x02, 0x00, 0x5e, 0x00, 0x00, 0x01};
    memcpy(p, down ? cmac : gw, 6);
    memcpy(p + 6, down ? gw : cmac, 6);
    if (f->vlan) {
        put16(p + 12, 0x8100);
        put16(p + 14, f->vlan);
    }
    put16(p + l2 - 2, v6 ? 0x86dd : 0x0800);
    uint8_t *ip = p + l2, *l4 = ip + l3;
    uint32_t iplen = len - l2;
    uint8_t proto = tcp ? 6 : f->kind == ICMP4 ? 1 : 17;
    if (v6) {
        uint8_t a[16], b[16];
        addr6(a, f->client, 0);
        addr6(b, f->server, 1);
        memset(ip, 0, 8);
        ip[0] = 0x60;
        put16(ip + 4, iplen - 40);
        ip[6] = proto;
        ip[7] = 64;
        memcpy(ip + 8, down ? b : a, 16);
        memcpy(ip + 24, down ? a : b, 16);
    } else {
        memset(ip, 0, 20);
        ip[0] = 0x45;
        put16(ip + 2, iplen);
        put16(ip + 4, f->packets);
        ip[6] = 0x40; /* don't fragment */
        ip[8] = 64;
        ip[9] = proto;
        put32(ip + 12, down ? server4(f->server) : client4(f->client));
        put32(ip + 16, down ? client4(f->client) : server4(f->server));
        put16(ip + 10, ip_checksum(ip, 20));
    }
    uint32_t data = len - l2 - l3 - l4len;
    if (f->kind == ICMP4) {
        l4[0] = down ? 0 : 8; /* echo reply : request */
        l4[1] = 0;
        put16(l4 + 2, 0);
        put16(l4 + 4, f->cport);
        put16(l4 + 6, f->packets);
    } else {
        put16(l4, down ? f->sport : f->cport);
        put16(l4 + 2, down ? f->cport : f->sport);
        if (tcp) {
            put32(l4 + 4, f->seq[down]);
            put32(l4 + 8, f->seq[!down]);
            l4[12] = 5 << 4;
            l4[13] = f->packets == 0 ? 0x02 : last ? 0x11 : data ? 0x18 : 0x10;
            put16(l4 + 14, 65535);
            put16(l4 + 16, 0);
            put16(l4 + 18, 0);
            f->seq[down] += data;
        } else {
            put16(l4 + 4, 8 + data);
            put16(l4 + 6, 0);
        }
    }
    memcpy(l4 + l4len, payload_pool + below(kPayloadPool), data);
    out_len += 16 + len;
    if (f->packets == 0)
        f->first_us = us;
    f->last_us = us;
    f->packets++;
    return 16 + len;
}

static uint64_t parse_u64(const char *s, const char *what)
{
    char *end;
    errno = 0;
    unsigned long long v = strtoull(s, &end, 0);
    if (errno || *end || end == s) {
        fprintf(stderr, "extract_gen: bad %s: %s\n", what, s);
        exit(2);
    }
    return v;
}

int main(int argc, char **argv)
{
    if (argc < 2 || argc > 6) {
        fprintf(stderr, "usage: extract_gen OUT.pcap [BYTES [ACTIVE_FLOWS [SECONDS [SEED]]]]\n");
        return 2;
    }
    double bytes = argc > 2 ? (double)parse_u64(argv[2], "byte count") : 4.5e9;
    uint32_t active = argc > 3 ? (uint32_t)parse_u64(argv[3], "flow count") : 3000;
    uint32_t seconds = argc > 4 ? (uint32_t)parse_u64(argv[4], "duration") : 3600;
    rng_state = argc > 5 ? parse_u64(argv[5], "seed") : 20260101;
    if (active < 1 || active > 1000000 || seconds < 1) {
        fprintf(stderr, "extract_gen: flows 1 to 1000000, at least one second\n");
        return 2;
    }

    /* Rates that give about `bytes`: flows arrive so that `active` live at
     * once (Little's law), and each sends as many packets as the total
     * needs. The frame mean follows draw_size. */
    double mean_life = (kMaxLife - kMinLife) / log(kMaxLife / kMinLife);
    double arrival_gap = mean_life / active;
    double mean_frame = 0.50 * (kMinFrame + 13) + 0.12 * (90 + 655) + 0.38 * kMaxFrame;
    double flows_total = seconds / arrival_gap;
    mean_packets = bytes / (16.0 + mean_frame) / flows_total;
    if (mean_packets < 1.5)
        mean_packets = 1.5;

    uint32_t cap = active * 4 + 1024;
    flows = calloc(cap, sizeof(*flows));
    free_list = calloc(cap, sizeof(*free_list));
    heap = calloc(cap, sizeof(*heap));
    out_buf = malloc(kOutBuf);
    if (!flows || !free_list || !heap || !out_buf) {
        fprintf(stderr, "extract_gen: out of memory\n");
        return 1;
    }
    for (uint32_t i = 0; i < cap; i++)
        free_list[nr_free++] = cap - 1 - i;
    for (size_t i = 0; i < sizeof(payload_pool); i++)
        payload_pool[i] = (uint8_t)(rnd() >> 56);

    char side[4096];
    snprintf(side, sizeof(side), "%s.flows", argv[1]);
    out_fd = open(argv[1], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    sample_out = fopen(side, "w");
    if (out_fd < 0 || !sample_out) {
        fprintf(stderr, "extract_gen: cannot create %s: %s\n", out_fd < 0 ? argv[1] : side,
                strerror(errno));
        return 1;
    }
    /* The header line is written last, over this placeholder. */
    fprintf(sample_out, "%-100s\n", "");
    uint8_t *h = out_buf;
    put_le32(h, 0xa1b2c3d4);
    h[4] = 2, h[5] = 0, h[6] = 4, h[7] = 0;
    memset(h + 8, 0, 8);
    put_le32(h + 16, 65535);
    put_le32(h + 20, 1); /* LINKTYPE_ETHERNET */
    out_len = 24;

    /* Start in the steady state: the flows alive at 0 are part way
     * through their lives. */
    for (uint32_t i = 0; i < active; i++)
        start_flow(0.0, draw_life() * unit(), 1);
    double next_arrival = expo(arrival_gap);
    uint64_t records = 0, total = 24;
    for (;;) {
        double t = heap_len ? flows[heap[0]].next : 1e300;
        if (next_arrival < t) {
            if (next_arrival >= seconds)
                break;
            if (nr_free == 0) {
                fprintf(stderr, "extract_gen: more than %u flows at once\n", cap);
                return 1;
            }
            start_flow(next_arrival, draw_life(), 0);
            next_arrival += expo(arrival_gap);
            continue;
        }
        if (t >= seconds)
            break;
        uint32_t s = heap[0];
        struct flow *f = &flows[s];
        double after = t + expo(f->gap);
        total += emit(f, (uint64_t)(t * 1e6), after > f->end);
        records++;
        heap_pop();
        if (after > f->end) {
            end_flow(s);
        } else {
            f->next = after;
            heap_push(s);
        }
    }
    /* Flows still alive at the end are listed as they stand. */
    while (heap_len) {
        uint32_t s = heap[0];
        heap_pop();
        end_flow(s);
    }
    if (flush_out() < 0 || close(out_fd) < 0)
        return 1;
    if (fseek(sample_out, 0, SEEK_SET) == 0)
        fprintf(sample_out, "records %llu bytes %llu seconds %u start %lld flows %llu",
                (unsigned long long)records, (unsigned long long)total, seconds,
                (long long)kStartEpoch, (unsigned long long)flows_started);
    if (fclose(sample_out) != 0) {
        fprintf(stderr, "extract_gen: cannot write %s\n", side);
        return 1;
    }
    return 0;
}
