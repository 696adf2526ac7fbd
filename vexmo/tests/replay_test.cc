/*
 * Savefile replay: every packet exactly once, flows kept together, order
 * kept within a stream, data handed out in place, and the end-of-replay
 * interrupt. The expected packets come from reading the trace with libpcap
 * here, apart from the library's own loader.
 */
#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "internal.h"
#include "vexmo.h"

namespace {

const std::string traces = TRAWLKIT_TRACES;

std::atomic<int> g_sigints{0};
extern "C" void count_sigint(int)
{
    g_sigints.fetch_add(1, std::memory_order_relaxed);
}

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
    /* The interrupt goes to the process, so it may land on another thread a
     * little later; wait for it (bounded) rather than assume it is there. */
    int settle(int expect)
    {
        for (int i = 0; i < 2000 && g_sigints.load() < expect; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return g_sigints.load();
    }
};

std::vector<std::string> read_trace(const std::string &path)
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

vexmo_instance_t *open_instance(const std::string &dev, uint32_t streams)
{
    vexmo_instance_t *inst = vexmo_create();
    EXPECT_NE(inst, nullptr);
    EXPECT_EQ(vexmo_init(inst, "vexmo_test"), 0);
    EXPECT_NE(vexmo_open_device(inst, dev.c_str(), streams, streams), nullptr) << dev;
    return inst;
}

/* Drains one stream on the calling thread, freeing every burst. */
std::vector<std::string> drain(vexmo_instance_t *inst, uint32_t stream,
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

/* Flow key written apart from the library's hash. It only has to be as
 * fine as the library's idea of a flow or finer: IPv4/IPv6 address pair plus
 * the TCP/UDP/SCTP port pair, directions folded together; IPv4 fragments by
 * addresses only (later fragments have no ports); IPv6 with extension
 * headers by the whole frame (no claim); others by Ethernet addresses and
 * type. */
std::string flow_key(const std::string &f)
{
    auto u8 = [&](size_t i) { return static_cast<uint8_t>(f[i]); };
    if (f.size() < 14)
        return "short";
    size_t off = 12;
    uint16_t type = static_cast<uint16_t>(u8(off) << 8 | u8(off + 1));
    if (type == 0x8100 && f.size() >= 18) {
        off += 4;
        type = static_cast<uint16_t>(u8(off) << 8 | u8(off + 1));
    }
    off += 2;
    auto fold = [](std::string a, std::string b, const std::string &tag) {
        return tag + (a < b ? a + b : b + a);
    };
    auto ported = [](uint8_t proto) { return proto == 6 || proto == 17 || proto == 132; };
    if (type == 0x0800 && f.size() >= off + 20) {
        size_t ihl = (u8(off) & 15u) * 4;
        bool frag = ((u8(off + 6) << 8 | u8(off + 7)) & 0x3fff) != 0;
        uint8_t proto = u8(off + 9);
        if (frag || !ported(proto) || f.size() < off + ihl + 4)
            return fold(f.substr(off + 12, 4), f.substr(off + 16, 4), "4");
        return fold(f.substr(off + 12, 4) + f.substr(off + ihl, 2),
                    f.substr(off + 16, 4) + f.substr(off + ihl + 2, 2), "4p");
    }
    if (type == 0x86dd && f.size() >= off + 40) {
        uint8_t next = u8(off + 6);
        if (ported(next) && f.size() >= off + 44)
            return fold(f.substr(off + 8, 16) + f.substr(off + 40, 2),
                        f.substr(off + 24, 16) + f.substr(off + 42, 2), "6p");
        if (next == 58 || next == 59)
            return fold(f.substr(off + 8, 16), f.substr(off + 24, 16), "6");
        return "whole" + f;
    }
    return fold(f.substr(0, 6), f.substr(6, 6), "e" + f.substr(12, 2));
}

class ReplayEveryPacket : public ::testing::TestWithParam<std::tuple<const char *, uint32_t>> {};

TEST_P(ReplayEveryPacket, ExactlyOnceInOrderInPlace)
{
    auto [name, streams] = GetParam();
    const std::string path = traces + "/" + name;
    std::vector<std::string> want = read_trace(path);
    SigintCounter sig;
    vexmo_instance_t *inst = open_instance("file:" + path, streams);
    ASSERT_NE(inst->device, nullptr);
    const uint8_t *arena;
    size_t arena_size;
    replay_arena(inst->device->replay, &arena, &arena_size);

    std::multiset<std::string> seen;
    std::map<std::string, uint32_t> flow_stream;
    for (uint32_t s = 0; s < streams; ++s) {
        std::vector<const void *> addrs;
        std::vector<std::string> got = drain(inst, s, &addrs);
        /* Order within the stream is trace order: got is a subsequence. */
        size_t w = 0;
        for (const std::string &pkt : got) {
            while (w < want.size() && want[w] != pkt)
                ++w;
            ASSERT_LT(w, want.size()) << "stream " << s << " out of trace order";
            ++w;
        }
        for (const void *a : addrs) {
            auto *p = static_cast<const uint8_t *>(a);
            EXPECT_TRUE(p >= arena && p <= arena + arena_size) << "buffer outside the loaded data";
        }
        for (const std::string &pkt : got) {
            seen.insert(pkt);
            auto [it, fresh] = flow_stream.emplace(flow_key(pkt), s);
            EXPECT_TRUE(fresh || it->second == s) << "a flow split over streams " << it->second
                                                  << " and " << s;
        }
        if (s + 1 < streams) {
            EXPECT_EQ(g_sigints.load(), 0) << "interrupt before the last stream was drained";
        }
    }
    EXPECT_EQ(seen, std::multiset<std::string>(want.begin(), want.end()));
    EXPECT_EQ(sig.settle(1), 1);
}

INSTANTIATE_TEST_SUITE_P(Traces, ReplayEveryPacket,
                         ::testing::Combine(::testing::Values("mptcp-v0.pcap", "dhcp-rfc4388.pcap",
                                                              "afs.pcap", "OSPFv2_Capture_FINAL.pcapng",
                                                              "bgp_vpn_rt-oobr.pcap",
                                                              "ipv6-routing-header.pcap",
                                                              "empty.pcap", "pptp.pcap"),
                                            ::testing::Values(1u, 3u, 8u)));

} // namespace
