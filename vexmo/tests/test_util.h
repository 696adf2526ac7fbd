// Helpers shared by the libvexmo unit tests.
#ifndef VEXMO_TEST_UTIL_H
#define VEXMO_TEST_UTIL_H

#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "internal.h"
#include "vexmo.h"

inline const std::string g_traces = TRAWLKIT_TRACES;

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

// The trace as libpcap reads it, apart from the library's loader.
inline std::vector<std::string> read_trace(const std::string &path)
{
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t *p = pcap_open_offline(path.c_str(), errbuf);
    EXPECT_NE(p, nullptr) << errbuf;
    std::vector<std::string> out;
    if (!p)
        return out;
    pcap_pkthdr *h;
    const u_char *d;
    while (pcap_next_ex(p, &h, &d) == 1)
        out.emplace_back(reinterpret_cast<const char *>(d), h->caplen);
    pcap_close(p);
    return out;
}

inline vexmo_instance_t *open_instance(const std::string &dev, uint32_t streams)
{
    vexmo_instance_t *inst = vexmo_create();
    EXPECT_NE(inst, nullptr);
    EXPECT_EQ(vexmo_init(inst, "vexmo_test"), 0);
    EXPECT_NE(vexmo_open_device(inst, dev.c_str(), streams, streams), nullptr) << dev;
    return inst;
}

// Polls one stream until it comes back empty, freeing every burst.
inline std::vector<std::string> drain(vexmo_instance_t *inst, uint32_t stream,
                                      std::vector<const void *> *addrs = nullptr)
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
        }
        vexmo_buff_free(inst, bufs, static_cast<uint32_t>(n), -1, -1);
    }
    return got;
}

#endif

#ifndef VEXMO_TEST_FRAMES
#define VEXMO_TEST_FRAMES
#include <cstdio>
#include <unistd.h>

// Writes frames as an Ethernet savefile with libpcap's own writer.
inline std::string write_trace(const std::string &name, const std::vector<std::string> &frames,
                               int linktype = DLT_EN10MB)
{
    std::string path = testing::TempDir() + "vexmo_" + std::to_string(getpid()) + "_" + name;
    pcap_t *dead = pcap_open_dead(linktype, 262144);
    pcap_dumper_t *d = pcap_dump_open(dead, path.c_str());
    EXPECT_NE(d, nullptr);
    for (size_t i = 0; i < frames.size(); ++i) {
        pcap_pkthdr h{};
        h.ts.tv_sec = static_cast<time_t>(1700000000 + i);
        h.caplen = h.len = static_cast<bpf_u_int32>(frames[i].size());
        pcap_dump(reinterpret_cast<u_char *>(d), &h, reinterpret_cast<const u_char *>(frames[i].data()));
    }
    pcap_dump_close(d);
    pcap_close(dead);
    return path;
}

// Ethernet + IPv4 + UDP (proto 17) or TCP (6) frame; payload tags it.
inline std::string ipv4_frame(uint32_t src, uint32_t dst, uint16_t sport, uint16_t dport,
                              uint8_t proto, uint32_t tag, bool vlan = false)
{
    std::string f;
    auto put8 = [&](uint32_t v) { f.push_back(static_cast<char>(v & 0xff)); };
    auto put16 = [&](uint32_t v) { put8(v >> 8); put8(v); };
    auto put32 = [&](uint32_t v) { put16(v >> 16); put16(v); };
    for (int i = 0; i < 6; ++i) put8(0x02);
    for (int i = 0; i < 6; ++i) put8(0x04 + i);
    if (vlan) {
        put16(0x8100);
        put16(42);
    }
    put16(0x0800);
    size_t l4len = proto == 6 ? 20 : 8;
    put8(0x45); put8(0); put16(static_cast<uint32_t>(20 + l4len + 4));
    put16(0); put16(0); put8(64); put8(proto); put16(0);
    put32(src); put32(dst);
    put16(sport); put16(dport);
    if (proto == 6) {
        put32(0); put32(0); put16(0x5010); put16(1024); put32(0);
    } else {
        put16(12); put16(0);
    }
    put32(tag);
    return f;
}
#endif
