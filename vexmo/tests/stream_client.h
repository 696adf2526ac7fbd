// The libvexmo unit tests as a client of the library: an instance opened on
// a device, a stream drained, and the SIGINT the library sends when every
// stream of a savefile has been read.
#ifndef VEXMO_TESTS_STREAM_CLIENT_H
#define VEXMO_TESTS_STREAM_CLIENT_H

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "internal.h"
#include "vexmo.h"

inline std::atomic<int> g_sigints{0};
extern "C" inline void count_sigint(int)
{
    g_sigints.fetch_add(1, std::memory_order_relaxed);
}

// Counts SIGINTs for the life of the object.
struct SigintCounter {
    struct sigaction old {};
    SigintCounter()
    {
        g_sigints.store(0);
        struct sigaction sa {};
        sa.sa_handler = count_sigint;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &old);
    }
    ~SigintCounter() { sigaction(SIGINT, &old, nullptr); }
    SigintCounter(const SigintCounter &) = delete;
    SigintCounter &operator=(const SigintCounter &) = delete;
    // The interrupt goes to the process, so it may be taken by another
    // thread a little later: wait for it (bounded), then a little more so
    // that a second one would be seen too.
    int settle(int expect)
    {
        for (int i = 0; i < 2000 && g_sigints.load() < expect; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return g_sigints.load();
    }
};

inline vexmo_instance_t *open_instance(const std::string &dev, uint32_t streams)
{
    vexmo_instance_t *inst = vexmo_create();
    EXPECT_NE(inst, nullptr);
    EXPECT_EQ(vexmo_init(inst, "vexmo_test"), 0);
    EXPECT_NE(vexmo_open_device(inst, dev.c_str(), streams, streams), nullptr) << dev;
    return inst;
}

inline vexmo_stream_stats_t stream_stats(vexmo_instance_t *inst, uint32_t stream)
{
    vexmo_stream_stats_t st{};
    EXPECT_EQ(vexmo_stream_stats(inst, stream, &st), 0);
    return st;
}

// Polls one stream until it comes back empty, freeing every burst; times
// gets "SEC.NSEC/WIRELEN" per packet, "-/WIRELEN" when it has no time.
inline std::vector<std::string> drain(vexmo_instance_t *inst, uint32_t stream,
                                      std::vector<const void *> *addrs = nullptr,
                                      std::vector<std::string> *times = nullptr)
{
    std::vector<std::string> got;
    vexmo_buff_t *bufs[32];
    int n;
    while ((n = vexmo_recv_all_burst(inst, stream, bufs, 32)) > 0) {
        for (int i = 0; i < n; ++i) {
            const char *d = static_cast<const char *>(vexmo_buff_mtod(bufs[i]));
            got.emplace_back(d, vexmo_buff_datalen(bufs[i]));
            if (addrs)
                addrs->push_back(d);
            int64_t sec = 0;
            uint32_t ns = 0;
            if (times)
                times->push_back((vexmo_buff_tstamp(bufs[i], &sec, &ns) < 0
                                      ? "-"
                                      : std::to_string(sec) + "." + std::to_string(ns)) +
                                 "/" + std::to_string(vexmo_buff_wirelen(bufs[i])));
        }
        vexmo_buff_free(inst, bufs, static_cast<uint32_t>(n), -1, -1);
    }
    return got;
}

// Opens dev with the given number of streams and drains them one after the
// other; a savefile read to its end interrupts once.
inline std::vector<std::vector<std::string>> drain_streams(const std::string &dev, uint32_t streams)
{
    SigintCounter sig;
    vexmo_instance_t *inst = open_instance(dev, streams);
    std::vector<std::vector<std::string>> got(streams);
    for (uint32_t s = 0; s < streams; ++s)
        got[s] = drain(inst, s);
    EXPECT_EQ(sig.settle(1), 1) << dev;
    return got;
}

#endif // VEXMO_TESTS_STREAM_CLIENT_H
