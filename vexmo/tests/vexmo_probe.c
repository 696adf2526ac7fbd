/*
 * vexmo_probe DEVICE STREAMS [EXPECT [SECONDS [hold]]]: opens DEVICE
 * through libvexmo.so.4 with STREAMS receive streams, polls every stream
 * from its own thread and prints each packet as "STREAM LEN HEX" once the
 * capture ends: on SIGINT (the replay source sends one when drained), after
 * EXPECT packets in all (0: no count), or after SECONDS (default 20). After
 * a SIGINT each stream that still runs is polled on for its settle_ms and
 * 100 ms more, so that a test may stop the probe as soon as it has sent. With
 * "hold" no buffer is ever freed; "stats" prints "stamp STREAM SEC.NSEC LEN
 * WIRELEN" per packet as it comes and "stats STREAM DROPPED TRUNCATED STATE"
 * at the end. Prints "ready" on standard output once the device is open.
 * VEXMO_PROBE_FRAME_LIMIT in the environment: the largest frame it says it
 * writes.
 * Plain C on purpose: the public header must stay C.
 */
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "vexmo.h"

struct worker {
    pthread_t tid;
    uint32_t index;
    unsigned char *data; /* records: 4-byte length, then the bytes */
    size_t size, cap;
};

static vexmo_instance_t *g_inst;
static atomic_int g_stop;
static atomic_ulong g_total;
static atomic_int g_sigints;
static unsigned long g_expect;
static int g_hold, g_stats;
static int g_seconds = 20;

static void on_sigint(int sig)
{
    (void)sig;
    atomic_fetch_add(&g_sigints, 1);
    atomic_store(&g_stop, 1);
}

static int64_t now_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

/* Whether the stopped poller of w goes on: after a SIGINT, until the
 * stream's settle time and a margin have passed since it first saw the
 * stop (*end, -1 until then). */
static int settling(const struct worker *w, int64_t *end)
{
    vexmo_stream_stats_t st;
    if (*end < 0) {
        if (atomic_load(&g_sigints) == 0 || vexmo_stream_stats(g_inst, w->index, &st) != 0 ||
            st.state != VEXMO_STREAM_RUNNING || st.settle_ms == 0)
            return 0;
        *end = now_ms() + st.settle_ms + 100;
    }
    return now_ms() < *end;
}

static void keep(struct worker *w, const void *p, uint32_t len)
{
    if (w->size + 4 + len > w->cap) {
        size_t ncap = w->cap ? w->cap * 2 : 1 << 16;
        while (ncap < w->size + 4 + len)
            ncap *= 2;
        w->data = realloc(w->data, ncap);
        if (!w->data)
            abort();
        w->cap = ncap;
    }
    memcpy(w->data + w->size, &len, 4);
    memcpy(w->data + w->size + 4, p, len);
    w->size += 4 + len;
}

static void *poll_stream(void *arg)
{
    struct worker *w = arg;
    vexmo_buff_t *bufs[32];
    int64_t settle_end = -1;
    while (!atomic_load(&g_stop) || settling(w, &settle_end)) {
        int n = vexmo_recv_all_burst(g_inst, w->index, bufs, 32);
        for (int i = 0; i < n; ++i) {
            int64_t sec = 0;
            uint32_t nsec = 0;
            if (g_stats && vexmo_buff_tstamp(bufs[i], &sec, &nsec) == 0)
                printf("stamp %u %lld.%09u %u %u\n", w->index, (long long)sec, nsec,
                       vexmo_buff_datalen(bufs[i]), vexmo_buff_wirelen(bufs[i]));
            keep(w, vexmo_buff_mtod(bufs[i]), vexmo_buff_datalen(bufs[i]));
        }
        if (n > 0) {
            if (!g_hold)
                vexmo_buff_free(g_inst, bufs, (uint32_t)n, -1, -1);
            if (g_expect &&
                atomic_fetch_add(&g_total, (unsigned long)n) + (unsigned long)n >= g_expect)
                atomic_store(&g_stop, 1);
        }
    }
    return NULL;
}

static void *deadline(void *arg)
{
    (void)arg;
    for (int i = 0; i < g_seconds * 100 && !atomic_load(&g_stop); ++i) {
        struct timespec ts = {0, 10 * 1000 * 1000};
        nanosleep(&ts, NULL);
    }
    atomic_store(&g_stop, 1);
    return NULL;
}

int main(int argc, char **argv)
{
    if (argc < 3) {
        fprintf(stderr, "usage: vexmo_probe DEVICE STREAMS [EXPECT]\n");
        return 2;
    }
    uint32_t streams = (uint32_t)strtoul(argv[2], NULL, 10);
    g_expect = argc > 3 ? strtoul(argv[3], NULL, 10) : 0;
    if (argc > 4)
        g_seconds = atoi(argv[4]);
    g_hold = argc > 5 && strcmp(argv[5], "hold") == 0;
    g_stats = argc > 5 && strcmp(argv[5], "stats") == 0;
    signal(SIGINT, on_sigint);
    g_inst = vexmo_create();
    if (vexmo_init(g_inst, "vexmo_probe") < 0)
        return 1;
    const char *limit = getenv("VEXMO_PROBE_FRAME_LIMIT");
    if (limit)
        vexmo_set_frame_limit(g_inst, (uint32_t)strtoul(limit, NULL, 10));
    if (!vexmo_open_device(g_inst, argv[1], streams, streams))
        return 1;
    printf("ready\n");
    fflush(stdout);
    struct worker *ws = calloc(streams, sizeof *ws);
    pthread_t guard;
    pthread_create(&guard, NULL, deadline, NULL);
    /* Pollers block SIGINT, so the library's process-directed interrupt is
     * taken by the main or the deadline thread, which wait in blocking
     * calls. ThreadSanitizer defers a signal that lands on a thread spinning
     * in user code until that thread next enters libc, which a poller of a
     * drained replay never does. */
    sigset_t intr, old;
    sigemptyset(&intr);
    sigaddset(&intr, SIGINT);
    pthread_sigmask(SIG_BLOCK, &intr, &old);
    for (uint32_t i = 0; i < streams; ++i) {
        ws[i].index = i;
        pthread_create(&ws[i].tid, NULL, poll_stream, &ws[i]);
    }
    pthread_sigmask(SIG_SETMASK, &old, NULL);
    for (uint32_t i = 0; i < streams; ++i)
        pthread_join(ws[i].tid, NULL);
    atomic_store(&g_stop, 1);
    pthread_join(guard, NULL);
    for (uint32_t i = 0; i < streams; ++i) {
        for (size_t off = 0; off < ws[i].size;) {
            uint32_t len;
            memcpy(&len, ws[i].data + off, 4);
            printf("%u %u ", i, len);
            for (uint32_t k = 0; k < len; ++k)
                printf("%02x", ws[i].data[off + 4 + k]);
            printf("\n");
            off += 4 + len;
        }
    }
    vexmo_stream_stats_t st;
    for (uint32_t i = 0; i < streams && g_stats && vexmo_stream_stats(g_inst, i, &st) == 0; ++i)
        printf("stats %u %llu %llu %u\n", i, (unsigned long long)st.dropped,
               (unsigned long long)st.truncated, st.state);
    printf("sigints %d\n", atomic_load(&g_sigints));
    fflush(stdout);
    for (uint32_t i = 0; i < streams; ++i)
        free(ws[i].data);
    free(ws);
    return 0;
}
