/*
 * Savefile replay: every packet exactly once, flows kept together, order
 * kept within a stream, data handed out in place, and the end-of-replay
 * interrupt. The expected packets come from reading the trace with libpcap
 * here, apart from the library's own loader.
 */
#include <map>
#include <set>

#include "test_util.h"

namespace {

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
    const std::string path = g_traces + "/" + name;
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
                                                              "empty.pcap", "pptp.pcap", "bigtcp-ipv6-hbh.pcap"),
                                            ::testing::Values(1u, 3u, 8u)));

} // namespace

namespace {

/* Many two-way flows over 8 streams: both directions (and a VLAN-tagged
 * leg) of each flow meet in one stream, and the flows reach every stream. */
TEST(Replay, SymmetricHashSpreadsFlows)
{
    std::vector<std::string> frames;
    constexpr uint32_t flows = 256;
    for (uint32_t i = 0; i < flows; ++i) {
        uint32_t a = 0x0a000001 + i, b = 0xc0a80001 + i * 7;
        uint16_t pa = static_cast<uint16_t>(40000 + i), pb = 443;
        uint8_t proto = i % 2 ? 6 : 17;
        frames.push_back(ipv4_frame(a, b, pa, pb, proto, i * 3));
        frames.push_back(ipv4_frame(b, a, pb, pa, proto, i * 3 + 1));
        frames.push_back(ipv4_frame(b, a, pb, pa, proto, i * 3 + 2, true));
    }
    std::string path = write_trace("spread.pcap", frames);
    SigintCounter sig;
    vexmo_instance_t *inst = open_instance("file:" + path, 8);
    std::vector<int> where(flows, -1);
    for (uint32_t s = 0; s < 8; ++s) {
        std::vector<std::string> got = drain(inst, s);
        EXPECT_GT(got.size(), 0u) << "stream " << s << " got no flow";
        for (const std::string &f : got) {
            uint32_t tag = static_cast<uint8_t>(f[f.size() - 2]) << 8 | static_cast<uint8_t>(f[f.size() - 1]);
            int &w = where[tag / 3];
            EXPECT_TRUE(w == -1 || w == static_cast<int>(s)) << "flow " << tag / 3 << " split";
            w = static_cast<int>(s);
        }
    }
    EXPECT_EQ(sig.settle(1), 1);
    unlink(path.c_str());
}

/* loop=N replays each stream's packets N times, in order, then interrupts
 * once. */
TEST(Replay, LoopReplaysEachStreamNTimes)
{
    const std::string path = g_traces + "/dhcp-rfc4388.pcap";
    std::vector<std::string> want = read_trace(path);
    std::vector<std::string> once[3];
    {
        SigintCounter sig;
        vexmo_instance_t *inst = open_instance("file:" + path, 3);
        for (uint32_t s = 0; s < 3; ++s)
            once[s] = drain(inst, s);
        EXPECT_EQ(sig.settle(1), 1);
    }
    SigintCounter sig;
    vexmo_instance_t *inst = open_instance("file:" + path + ",loop=4", 3);
    size_t total = 0;
    for (uint32_t s = 0; s < 3; ++s) {
        std::vector<std::string> got = drain(inst, s);
        std::vector<std::string> expect;
        for (int k = 0; k < 4; ++k)
            expect.insert(expect.end(), once[s].begin(), once[s].end());
        EXPECT_EQ(got, expect) << "stream " << s;
        total += got.size();
        if (s < 2) {
            EXPECT_EQ(g_sigints.load(), 0);
        }
    }
    EXPECT_EQ(total, 4 * want.size());
    EXPECT_EQ(sig.settle(1), 1);
}

/* A held buffer keeps its descriptor and bytes while the stream runs on:
 * the stream stops where its ring of descriptors comes round to it. */
TEST(Replay, HeldBufferStaysValid)
{
    const std::string path = g_traces + "/print-flags.pcap";
    SigintCounter sig;
    vexmo_instance_t *inst = open_instance("file:" + path + ",loop=300", 1);
    vexmo_buff_t *bufs[32];
    ASSERT_EQ(vexmo_recv_all_burst(inst, 0, bufs, 32), 32);
    vexmo_buff_t *kept = bufs[3];
    std::string bytes(static_cast<const char *>(vexmo_buff_mtod(kept)), vexmo_buff_datalen(kept));
    vexmo_buff_free(inst, bufs, 3, -1, -1);
    vexmo_buff_free(inst, bufs + 4, 28, -1, -1);
    size_t total = 32;
    int n;
    while ((n = vexmo_recv_all_burst(inst, 0, bufs, 32)) > 0) {
        total += static_cast<size_t>(n);
        vexmo_buff_free(inst, bufs, static_cast<uint32_t>(n), -1, -1);
    }
    EXPECT_LT(total, 3000u) << "went past a held buffer";
    EXPECT_EQ(std::string(static_cast<const char *>(vexmo_buff_mtod(kept)), vexmo_buff_datalen(kept)), bytes);
    vexmo_buff_free(inst, &kept, 1, -1, -1);
    total += drain(inst, 0).size();
    EXPECT_EQ(total, 3000u);
    EXPECT_EQ(sig.settle(1), 1);
}

/* Bursts never exceed the capacity; a burst may be cut short at the end. */
TEST(Replay, BurstsRespectCapacity)
{
    const std::string path = g_traces + "/afs.pcap";
    SigintCounter sig;
    vexmo_instance_t *inst = open_instance("file:" + path, 1);
    vexmo_buff_t *bufs[8];
    size_t total = 0;
    int n;
    while ((n = vexmo_recv_all_burst(inst, 0, bufs, 7)) > 0) {
        ASSERT_LE(n, 7);
        total += static_cast<size_t>(n);
        vexmo_buff_free(inst, bufs, static_cast<uint32_t>(n), -1, -1);
    }
    EXPECT_EQ(total, 601u);
    EXPECT_EQ(vexmo_recv_all_burst(inst, 0, bufs, 0), 0);
    EXPECT_EQ(vexmo_recv_all_burst(inst, 1, bufs, 8), 0);
    EXPECT_EQ(sig.settle(1), 1);
}

/* Nanosecond and big-endian classic files, written by the independent
 * Python writer, replay the same bytes. */
TEST(Replay, NanosecondAndBigEndianFiles)
{
    std::string base = testing::TempDir() + "vexmo_" + std::to_string(getpid());
    std::string cmd = std::string(PYTHON3) + " -c 'import sys; sys.path.insert(0, \"" +
                      VEXMO_PCAPFILE_DIR + "\"); import pcapfile; "
                      "pk = [bytes([i]) * (14 + i) for i in range(40)]; "
                      "pcapfile.write(sys.argv[1], pk, nsec=True); "
                      "pcapfile.write(sys.argv[2], pk, endian=\">\")' " +
                      base + "_ns.pcap " + base + "_be.pcap";
    ASSERT_EQ(system(cmd.c_str()), 0);
    for (const char *suffix : {"_ns.pcap", "_be.pcap"}) {
        SigintCounter sig;
        vexmo_instance_t *inst = open_instance("file:" + base + suffix, 1);
        std::vector<std::string> got = drain(inst, 0);
        ASSERT_EQ(got.size(), 40u) << suffix;
        for (size_t i = 0; i < got.size(); ++i)
            EXPECT_EQ(got[i], std::string(14 + i, static_cast<char>(i))) << suffix;
        EXPECT_EQ(sig.settle(1), 1);
        unlink((base + suffix).c_str());
    }
}

/* A stream nobody polls keeps its packets: no interrupt. */
TEST(Replay, UnreadStreamMeansNoInterrupt)
{
    SigintCounter sig;
    vexmo_instance_t *inst = open_instance("file:" + g_traces + "/mptcp-v0.pcap", 2);
    drain(inst, 0);
    EXPECT_EQ(sig.settle(0), 0);
}

} // namespace
