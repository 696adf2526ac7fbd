/* tallyboard_demo: a small host for libtallyboard. It registers a few fields,
 * has two worker threads update them, and lets the library's printer show
 * the table on standard output once a second.
 *
 * Usage: tallyboard_demo [seconds]   (default 5; the program then exits) */
#define _POSIX_C_SOURCE 200809L
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <tallyboard.h>

struct demo {
    screen_stat *stat;
    int rx_pkts, rx_bytes, tx_pkts, queue_len;
    struct timespec until; /* CLOCK_MONOTONIC; the workers stop then */
};

static int running(const struct demo *d)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec < d->until.tv_sec ||
           (now.tv_sec == d->until.tv_sec && now.tv_nsec < d->until.tv_nsec);
}

/* Pretends to receive packets of varying size. */
static void *receiver(void *arg)
{
    struct demo *d = arg;
    unsigned size = 64;
    struct timespec pause = {0, 1000000};
    while (running(d)) {
        for (int i = 0; i < 100; i++) {
            size = (size * 1103515245u + 12345u) % 1437u + 64u;
            stat_field_operation(d->stat, d->rx_pkts, STAT_FIELD_OP_ADD, 1);
            stat_field_operation(d->stat, d->rx_bytes, STAT_FIELD_OP_ADD, size);
        }
        nanosleep(&pause, NULL);
    }
    return NULL;
}

/* Pretends to send, and reports a queue length that goes up and down. */
static void *sender(void *arg)
{
    struct demo *d = arg;
    long round = 0;
    struct timespec pause = {0, 2000000};
    while (running(d)) {
        stat_field_operation(d->stat, d->tx_pkts, STAT_FIELD_OP_ADD, 40);
        stat_field_operation(d->stat, d->queue_len, STAT_FIELD_OP_SET, (round++ / 100) % 7 * 10);
        nanosleep(&pause, NULL);
    }
    return NULL;
}

int main(int argc, char **argv)
{
    static struct demo d;
    pthread_t threads[2];
    int seconds = argc > 1 ? atoi(argv[1]) : 5;

    if (seconds < 1) {
        fprintf(stderr, "usage: %s [seconds]\n", argv[0]);
        return 1;
    }
    d.stat = init_screen_stat(stdout, 1, SCREEN_STAT_PRINT_ON);
    if (d.stat == NULL) {
        fprintf(stderr, "Cannot create the statistics object\n");
        return 1;
    }
    d.rx_pkts = stat_field_register(d.stat, "rx_pkts");
    d.rx_bytes = stat_field_register(d.stat, "rx_bytes");
    d.tx_pkts = stat_field_register(d.stat, "tx_pkts");
    d.queue_len = stat_field_register(d.stat, "queue_len");
    clock_gettime(CLOCK_MONOTONIC, &d.until);
    d.until.tv_sec += seconds;
    pthread_create(&threads[0], NULL, receiver, &d);
    pthread_create(&threads[1], NULL, sender, &d);

    pthread_join(threads[0], NULL);
    pthread_join(threads[1], NULL);
    /* The printer thread goes with the process. */
    return 0;
}
