// Savefile replay: every packet exactly once, flows kept together, order
// kept within a stream, data handed out in place, and the end-of-replay
// interrupt. The expected packets come from reading the trace with libpcap
// here, apart from the library's own loader.
#include <algorithm>
#include <fstream>
#include <map>
#include <set>

#include "replay.h"
#include "stream_client.h"
#include "trace_files.h"

namespace {

// Flow key written apart from the library's hash. It only has to be as
// fine as the library's idea of a flow or finer: IPv4/IPv6 address pair plus
// the TCP/UDP/SCTP port pair, directions folded together; IPv4 fragments by
// addresses only (later fragments have no ports); IPv6 with extension
// headers by the whole frame (no claim); others by Ethernet addresses and
// type.
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
    replay_file_bytes(inst->device->replay, &arena, &arena_size);

    std::multiset<std::string> seen;
    std::map<std::string, uint32_t> flow_stream;
    for (uint32_t s = 0; s < streams; ++s) {
        std::vector<const void *> addrs;
        EXPECT_EQ(stream_stats(inst, s).state, VEXMO_STREAM_RUNNING);
        std::vector<std::string> got = drain(inst, s, &addrs);
        EXPECT_EQ(stream_stats(inst, s).state, VEXMO_STREAM_ENDED);
        // Order within the stream is trace order: got is a subsequence.
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
            EXPECT_TRUE(fresh || it->second == s)
                << "a flow split over streams " << it->second << " and " << s;
        }
        if (s + 1 < streams) {
            EXPECT_EQ(g_sigints.load(), 0) << "interrupt before the last stream was drained";
        }
    }
    EXPECT_EQ(seen, std::multiset<std::string>(want.begin(), want.end()));
    EXPECT_LE(replay_walks(inst->device->replay), arena_size / 262144 + 1)
        << "a 256 KiB stretch indexed twice";
    EXPECT_EQ(sig.settle(1), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Traces, ReplayEveryPacket,
    ::testing::Combine(::testing::Values("mptcp-v0.pcap", "dhcp-rfc4388.pcap", "afs.pcap",
                                         "OSPFv2_Capture_FINAL.pcapng", "bgp_vpn_rt-oobr.pcap",
                                         "ipv6-routing-header.pcap", "empty.pcap", "pptp.pcap",
                                         "bigtcp-ipv6-hbh.pcap"),
                       ::testing::Values(1u, 3u, 8u)));

} // namespace

namespace {

// One direction of flow i of a kind: 0 IPv4/TCP, QinQ-tagged one way only;
// 1-5 IPv6/UDP behind a hop-by-hop, routing, destination options (16 bytes),
// authentication (12) or fragment header; 6 IPv4/SCTP; 7 IPv4/UDP; 8 IPv4
// fragments; 9 IPv4/UDP, tagged 0x9100 then 0x8100 one way only. Flows
// differ in their addresses (kinds 5, 7, 8, 9) or ports; the way back of a
// fragment kind is a later fragment, with no ports where the first has
// them. The payload names the flow.
std::string flow_frame(int kind, uint32_t i, bool back)
{
    static const std::string ext[] = {std::string("\0\x11\0\x01\x04\0\0\0\0", 9),
                                      std::string("\x2b\x11\0\0\0\0\0\0\0", 9),
                                      std::string("\x3c\x11\x01", 3) + std::string(14, 0),
                                      std::string("\x33\x11\x01", 3) + std::string(10, 0),
                                      std::string("\x2c\x11\0\0\x01\0\0\0\0", 9)};
    bool v6 = kind >= 1 && kind <= 5, by_addr = kind == 5 || kind >= 7,
         later = back && (kind == 5 || kind == 8);
    std::string f(12, '\x02'), a, b, x = v6 ? ext[kind - 1] : "";
    auto put16 = [](std::string &s, uint32_t v) {
        s += char(v >> 8);
        s += char(v);
    };
    if ((kind == 0 || kind == 9) && !back)
        f += std::string(kind ? "\x91\x00" : "\x88\xa8", 2) +
             std::string("\x00\x07\x81\x00\x00\x2a", 6);
    std::string frag = kind != 8 ? std::string(2, 0)
                       : later   ? std::string("\0\x10", 2)
                                 : std::string("\x20\0", 2);
    std::string ip = v6 ? std::string("\x86\xdd\x60\0\0\0\0\x10", 8) + x[0] + "\x40"
                        : std::string("\x08\x00\x45\0\0\x1c\0\0", 8) + frag + "\x40" +
                              (kind ? kind == 6 ? "\x84" : "\x11" : "\x06") + std::string(2, 0);
    a = v6 ? std::string(16, '\x20') : std::string("\x0a\0\0\x01", 4);
    b = v6 ? std::string(14, '\x30') : std::string("\xc0\xa8", 2);
    put16(b, by_addr ? i : 1);
    std::string pa, pb, tag;
    put16(pa, later ? 0 : 1024 + (by_addr ? 0 : i));
    put16(pb, later ? 0 : 53);
    put16(tag, kind * 1000 + i);
    if (later && v6)
        x[4] = '\x80'; // fragment offset 16, no more fragments
    f += ip + (back ? b + a : a + b) + (v6 ? x.substr(1) : "");
    return f + (back ? pb + pa : pa + pb) + std::string(4, '\0') + tag;
}

// Many two-way flows of each kind over 3 and 8 streams: both directions of
// each flow meet in one stream, and every stream gets a fair share of the
// flows of each kind (so flows are told apart by their ports behind QinQ
// tags and IPv6 extension headers, and the streams by the whole hash).
TEST(Replay, SymmetricHashSpreadsFlows)
{
    constexpr uint32_t kFlows = 120;
    constexpr int kKinds = 10;
    std::vector<std::string> frames;
    for (uint32_t i = 0; i < kFlows; ++i)
        for (int kind = 0; kind < kKinds; ++kind)
            for (bool back : {false, true})
                frames.push_back(flow_frame(kind, i, back));
    std::string path = write_trace("spread.pcap", frames);
    for (uint32_t streams : {3u, 8u}) {
        SigintCounter sig;
        vexmo_instance_t *inst = open_instance("file:" + path, streams);
        std::map<uint32_t, uint32_t> where;
        for (uint32_t s = 0; s < streams; ++s) {
            uint32_t share[kKinds] = {};
            for (const std::string &f : drain(inst, s)) {
                uint32_t tag = static_cast<uint8_t>(f[f.size() - 2]) << 8 |
                               static_cast<uint8_t>(f[f.size() - 1]);
                auto [it, fresh] = where.emplace(tag, s);
                EXPECT_TRUE(fresh || it->second == s) << "flow " << tag << " split";
                share[tag / 1000] += fresh;
            }
            for (int kind = 0; kind < kKinds; ++kind)
                EXPECT_GE(share[kind] * streams * 2, kFlows)
                    << streams << " streams: stream " << s << " has " << share[kind]
                    << " flows of kind " << kind;
        }
        EXPECT_EQ(where.size(), kKinds * kFlows);
        EXPECT_EQ(sig.settle(1), 1);
    }
    unlink(path.c_str());
    // The IPv4 type with a header of another version is no IPv4: the frame
    // goes by its Ethernet addresses and type, as any frame that is not IP.
    std::string v6_in_v4 = flow_frame(7, 3, false);
    v6_in_v4[14] = 0x65;
    EXPECT_EQ(flow_hash(reinterpret_cast<const uint8_t *>(v6_in_v4.data()), v6_in_v4.size()),
              flow_hash(reinterpret_cast<const uint8_t *>(v6_in_v4.data()), 14));
}

// The reciprocal division that picks each packet's stream, against %: the
// edges of the 64-bit range and of each divisor, and every power of two.
TEST(Replay, ModByMagicIsRemainder)
{
    for (uint32_t d : {1u, 2u, 3u, 7u, 128u, 1000u, 1024u}) {
        std::vector<uint64_t> hs = {0,      1,          d - 1u,         d,
                                    d + 1u, UINT64_MAX, UINT64_MAX - 1, UINT64_MAX / d * d};
        for (int bit = 0; bit < 64; ++bit)
            hs.insert(hs.end(), {uint64_t{1} << bit, (uint64_t{1} << bit) - 1});
        for (uint64_t h : hs)
            EXPECT_EQ(mod_by_magic(h, stream_magic(d), d), h % d) << h << " % " << d;
    }
}

// loop=N replays each stream's packets N times, in order, then interrupts
// once.
TEST(Replay, LoopReplaysEachStreamNTimes)
{
    const std::string path = g_traces + "/dhcp-rfc4388.pcap";
    std::vector<std::string> want = read_trace(path);
    std::vector<std::vector<std::string>> once = drain_streams("file:" + path, 3);
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

// A held buffer keeps its descriptor and bytes while the stream runs on:
// the stream stops where its ring of descriptors comes round to it (an empty
// poll then waits, as one does after the drain was reported).
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
    auto waits = [&, t0 = std::chrono::steady_clock::now()]() mutable {
        t0 = std::chrono::steady_clock::now();
        return vexmo_recv_all_burst(inst, 0, bufs, 32) == 0 &&
               std::chrono::steady_clock::now() - t0 > std::chrono::milliseconds(50);
    };
    EXPECT_TRUE(waits()) << "a full ring";
    EXPECT_EQ(
        std::string(static_cast<const char *>(vexmo_buff_mtod(kept)), vexmo_buff_datalen(kept)),
        bytes);
    vexmo_buff_free(inst, &kept, 1, -1, -1);
    total += drain(inst, 0).size();
    EXPECT_EQ(total, 3000u);
    EXPECT_EQ(sig.settle(1), 1);
    // After the drain, waits that grow to 100 ms: eight polls take 227 ms.
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(vexmo_recv_all_burst(inst, 0, bufs, 32), 0);
    EXPECT_GT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(150))
        << "a drained stream";
}

// Bursts never exceed the capacity; a burst may be cut short at the end.
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

std::string ng_word(bool big, uint32_t v, int bytes = 4)
{
    std::string s(bytes, 0);
    for (int i = 0; i < bytes; ++i)
        s[big ? bytes - 1 - i : i] = static_cast<char>(v >> (8 * i));
    return s;
}

std::string ng_block(bool big, uint32_t type, std::string body)
{
    body.resize((body.size() + 3) & ~size_t{3});
    return ng_word(big, type) + ng_word(big, body.size() + 12) + body +
           ng_word(big, body.size() + 12);
}

// pk as a classic file: packet i at 1700000000 + i s and 7 i us (or ns), extra bytes more on the wire.
std::string classic_file(bool big, bool nsec, const std::vector<std::string> &pk, uint32_t extra,
                         uint32_t lt = 1)
{
    std::string f = ng_word(big, nsec ? 0xa1b23c4d : 0xa1b2c3d4) + ng_word(big, 0x40002) +
                    std::string(8, 0) + ng_word(big, 0) + ng_word(big, lt);
    for (uint32_t i = 0; i < pk.size(); ++i)
        f += ng_word(big, 1700000000 + i) + ng_word(big, 7 * i) + ng_word(big, pk[i].size()) +
             ng_word(big, pk[i].size() + extra) + pk[i];
    return f;
}

// Packet i of the files below, in order: enhanced packets on the one
// interface of a big-endian section, then, in a little-endian section with
// two interfaces, enhanced packets of the second one and simple packets.
// Interfaces in ns +100 s; snap length 40; 2^-20 s. Times as above, +3 bytes.
std::string two_section_pcapng(const std::vector<std::string> &pk)
{
    std::string f;
    for (bool big : {true, false}) {
        f += ng_block(big, 0x0a0d0d0a,
                      ng_word(big, 0x1a2b3c4d) + ng_word(big, 1, 2) + std::string(10, '\xff'));
        for (int i = 0; i < (big ? 1 : 2); ++i)
            f += ng_block(
                big, 1,
                ng_word(big, 1, 2) + ng_word(big, 0, 2) + ng_word(big, big || i ? 0 : 40) +
                    (big ? std::string("\0\x09\0\x01\x09\0\0\0\0\x0e\0\x08\0\0\0\0\0\0\0\x64", 20)
                         : std::string("\x09\0\x01\0\x94\0\0\0", 8 * i)));
        for (size_t i = big ? 0 : 20; i < (big ? 20 : 40); ++i) {
            std::string len = ng_word(big, static_cast<uint32_t>(pk[i].size())),
                        wire = ng_word(big, pk[i].size() + 3);
            uint64_t t =
                big ? (1700000000 + i) * 1000000000 + 7 * i : ((1700000000 + i) << 20) + 1024 * i;
            f += i >= 30 ? ng_block(big, 3, wire + pk[i])
                         : ng_block(big, 6,
                                    ng_word(big, big ? 0 : 1) + ng_word(big, t >> 32) +
                                        ng_word(big, t) + len + wire + pk[i]);
        }
    }
    return f;
}

// The walk, row by row: a file, how many packets it gives, the line that
// ends it early, its short records; the time and wire length of packets 1, 25
// and 39 and the length of the last (every classic magic and order, pcapng;
// an interface without if_tsresol counts microseconds, and one whose
// if_tsoffset goes before 1970 gives negative seconds).
TEST(Replay, SavefileWalk)
{
    std::vector<std::string> pk;
    for (int i = 0; i < 40; ++i)
        pk.emplace_back(14 + i, static_cast<char>(i));
    std::string path = testing::TempDir() + "vexmo_walk", largest(262144, 'x'),
                bad = ng_block(
                    false, 6, std::string(12, 0) + ng_word(false, 14) + ng_word(false, 14) + pk[0]);
    auto epb = [](uint32_t iface, const std::string &d, uint64_t t = 0) {
        return ng_block(false, 6,
                        ng_word(false, iface) + ng_word(false, t >> 32) + ng_word(false, t) +
                            ng_word(false, d.size()) + ng_word(false, d.size()) + d);
    };
    std::string shb = ng_block(false, 0x0a0d0d0a, ng_word(false, 0x1a2b3c4d) + std::string(12, 0)),
                idb = ng_block(false, 1, ng_word(false, 1) + ng_word(false, 0));
    bad[bad.size() - 4] ^= 4; // its trailing length
    // pk on one interface, in its default unit (us), at the times of the
    // classic files; the interface's if_tsoffset moves them before 1970.
    auto timed = [&](int64_t offset) {
        std::string tsoffset = std::string("\x0e\0\x08\0", 4) +
                               ng_word(false, static_cast<uint32_t>(offset)) +
                               ng_word(false, static_cast<uint32_t>(offset >> 32));
        std::string f = shb + ng_block(false, 1,
                                       ng_word(false, 1) + ng_word(false, 0) +
                                           (offset ? tsoffset : std::string()));
        for (uint64_t i = 0; i < pk.size(); ++i)
            f += epb(0, pk[i], (1700000000 + i) * 1000000 + 7 * i);
        return f;
    };
    struct {
        std::string file;
        size_t n;
        std::string line;
        uint64_t shorts;
        std::string times;
    } rows[] = {
        {classic_file(false, false, pk, 0), 40, "", 0,
         "1700000001.7000/15 1700000025.175000/39 1700000039.273000/53 53"},
        {classic_file(true, false, pk, 3), 40, "", 40,
         "1700000001.7000/18 1700000025.175000/42 1700000039.273000/56 53"},
        {classic_file(false, true, pk, 3), 40, "", 40,
         "1700000001.7/18 1700000025.175/42 1700000039.273/56 53"},
        {classic_file(true, true, pk, 0), 40, "", 0,
         "1700000001.7/15 1700000025.175/39 1700000039.273/53 53"},
        {two_section_pcapng(pk), 40, "", 40, "1700000101.7/18 1700000025.24414062/42 -/56 40"},
        {timed(0), 40, "", 0, "1700000001.7000/15 1700000025.175000/39 1700000039.273000/53 53"},
        {timed(-3400000000), 40, "", 0,
         "-1699999999.7000/15 -1699999975.175000/39 -1699999961.273000/53 53"},
        {classic_file(false, false, pk, 0, 0x14000001), 40, "", 0,
         ""}, // FCS bits above the link type
        {classic_file(false, false, pk, 0).substr(0, 1955), 39,
         "the record at byte 1935 is cut short", 0, ""},
        {classic_file(false, false, {pk[0], largest, pk[1]}, 0), 3, "", 0, ""},
        {classic_file(false, false, {pk[0], largest + "x"}, 0), 1,
         "a record with an absurd captured length at byte 54", 0, ""},
        {shb + idb + epb(0, pk[0]) + epb(0, largest), 2, "", 0, ""},
        {shb + idb + epb(0, pk[0]) + epb(0, largest + "x"), 1,
         "a damaged enhanced packet block at byte 96", 0, ""},
        {shb + idb + idb + epb(1, pk[0]) + shb + idb + epb(1, pk[1]), 1,
         "a damaged enhanced packet block at byte 164", 0, ""},
        {shb + idb + epb(0, pk[0]) + bad, 1, "a block whose two lengths differ at byte 96", 0, ""}};
    for (const auto &row : rows) {
        std::ofstream(path, std::ios::binary) << row.file;
        SigintCounter sig;
        testing::internal::CaptureStderr();
        vexmo_instance_t *inst = open_instance("file:" + path, 1);
        std::vector<std::string> t, got = drain(inst, 0, nullptr, &t);
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  row.line.empty() ? ""
                                   : "Cannot replay savefile " + path + ": " + row.line +
                                         "; the replay ends there\n");
        EXPECT_EQ(got.size(), row.n) << row.line;
        EXPECT_EQ(row.times.empty()
                      ? ""
                      : t[1] + " " + t[25] + " " + t[39] + " " + std::to_string(got[39].size()),
                  row.times);
        EXPECT_EQ(stream_stats(inst, 0).state,
                  row.line.empty() ? VEXMO_STREAM_ENDED : VEXMO_STREAM_FAILED)
            << row.line;
        EXPECT_EQ(stream_stats(inst, 0).truncated, row.shorts) << row.line;
        EXPECT_EQ(sig.settle(1), 1);
    }
    unlink(path.c_str());
}

// Time formats are the file's own: files of over a thousand interface
// formats each, opened one after another by one host, all give the stamp
// of a packet on their last interface (a table shared by the process
// filled up at the second file and gave no time from then on).
TEST(Replay, TimeFormatsOfEachFile)
{
    std::string path = testing::TempDir() + "vexmo_formats", pk(14, 'p');
    for (uint32_t k = 0; k < 3; ++k) {
        std::string f;
        uint32_t offset = 0;
        for (uint32_t s = 0; s < 32; ++s) {
            f += ng_block(false, 0x0a0d0d0a, ng_word(false, 0x1a2b3c4d) + std::string(12, 0));
            for (uint32_t i = 0; i < 32; ++i) {
                offset = k * 1024 + s * 32 + i + 1;
                f += ng_block(false, 1,
                              ng_word(false, 1) + ng_word(false, 0) + ng_word(false, 0x8000e) +
                                  ng_word(false, offset) + ng_word(false, 0));
            }
        }
        f += ng_block(false, 6,
                      ng_word(false, 31) + ng_word(false, 395812) + ng_word(false, 404635648) +
                          ng_word(false, 14) + ng_word(false, 14) + pk);
        std::ofstream(path, std::ios::binary) << f;
        SigintCounter sig;
        std::vector<std::string> t;
        drain(open_instance("file:" + path, 1), 0, nullptr, &t);
        EXPECT_EQ(t, std::vector<std::string>{std::to_string(1700000000 + offset) + ".0/14"}) << k;
        EXPECT_EQ(sig.settle(1), 1);
    }
    unlink(path.c_str());
}

// A file cut below the stream's stretch, inside it (also at a record's end),
// after it at a record's end, in a later pass over a trace larger than the
// cache, after its last record (10 bytes of a cut record, which end every
// pass of a loop, cut off: the loop ends with the pass), or written over in
// place (cut -1: its first record's time changed): the (62-byte) records
// below the cut come out, nothing past it, after one line; a buffer held
// across a cut of its page reads as zeros.
TEST(Replay, FileCutWhileReplayed)
{
    std::vector<std::string> frames;
    for (uint32_t i = 0; i < 70016; ++i)
        frames.push_back(ipv4_frame(i, ~i, 1, 2, 17, i));
    for (auto [loops, bursts, cut, tail] : {std::tuple{1, 189, 8192, 0},
                                            {1, 189, 430001, 0},
                                            {1, 189, 434024, 0},
                                            {1, 189, 599998, 0},
                                            {3, 2377, 430001, 0},
                                            {3, 189, 4341016, 10},
                                            {1, 189, -1, 0}}) {
        std::string path = write_trace("cut.pcap", frames);
        std::ofstream(path, std::ios::app | std::ios::binary) << std::string(tail, 0);
        SigintCounter sig;
        vexmo_instance_t *inst =
            open_instance("file:" + path + ",loop=" + std::to_string(loops), 1);
        vexmo_buff_t *held[32];
        for (int i = 0; i < bursts; ++i) {
            ASSERT_EQ(vexmo_recv_all_burst(inst, 0, held, 32), 32);
            vexmo_buff_free(inst, held, 32 * (i + 1 < bursts), -1, -1);
        }
        if (cut < 0)
            std::fstream(path, std::ios::in | std::ios::out | std::ios::binary).seekp(24).put(1);
        else
            ASSERT_EQ(truncate(path.c_str(), cut), 0);
        testing::internal::CaptureStderr();
        size_t next = bursts * 32 % frames.size(),
               first_held = (next + frames.size() - 32) % frames.size(),
               whole = cut < 0 ? frames.size() : (cut - 24) / 62,
               below = cut < 0 ? next : std::max(next, whole);
        std::string bytes(static_cast<const char *>(vexmo_buff_mtod(held[0])),
                          vexmo_buff_datalen(held[0]));
        EXPECT_EQ(bytes, first_held < whole ? frames[first_held] : std::string(bytes.size(), 0));
        vexmo_buff_free(inst, held, 32, -1, -1);
        EXPECT_TRUE(drain(inst, 0) ==
                    std::vector<std::string>(frames.begin() + next, frames.begin() + below))
            << cut;
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
                  "Cannot replay savefile " + path + ": the file was " +
                      (cut < 0 ? "written over" : "cut to " + std::to_string(cut) + " bytes") +
                      " while it was replayed\n");
        EXPECT_EQ(stream_stats(inst, 0).state, VEXMO_STREAM_FAILED);
        EXPECT_EQ(sig.settle(1), 1);
        unlink(path.c_str());
    }
}

// A stream nobody polls keeps its packets: no interrupt. One polled once
// and then left (holding its burst) holds nobody back on a trace of many
// stretches: the other streams still get all theirs. A file cut then fails
// the stream left behind, not the one that ended before.
TEST(Replay, UnreadStreamMeansNoInterrupt)
{
    std::vector<std::string> frames;
    for (uint32_t i = 0; i < 100000; ++i)
        frames.push_back(ipv4_frame(i % 501, 9, 1, 2, 17, i));
    std::string path = write_trace("unread.pcap", frames);
    std::vector<std::vector<std::string>> all = drain_streams("file:" + path, 3);
    SigintCounter sig;
    vexmo_instance_t *inst = open_instance("file:" + path, 3);
    vexmo_buff_t *bufs[32];
    EXPECT_EQ(vexmo_recv_all_burst(inst, 1, bufs, 32), 32);
    EXPECT_EQ(drain(inst, 0), all[0]);
    ASSERT_EQ(truncate(path.c_str(), 0), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(drain(inst, 1), std::vector<std::string>{});
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Cannot replay savefile " + path +
                  ": the file was cut to 0 bytes while it was replayed\n");
    EXPECT_EQ(stream_stats(inst, 0).state, VEXMO_STREAM_ENDED);
    EXPECT_EQ(stream_stats(inst, 1).state, VEXMO_STREAM_FAILED);
    EXPECT_EQ(sig.settle(0), 0);
    unlink(path.c_str());
}

// Empty records pack a stretch full, and the last stream walks it into its
// scratch, the last piece of the device's region: the region must reach.
TEST(Replay, FullStretchWalkedByLastStream)
{
    std::vector<std::string> frames(40000);
    std::string path = write_trace("empty.pcap", frames);
    SigintCounter sig;
    vexmo_instance_t *inst = open_instance("file:" + path, 4);
    size_t got = 0;
    for (uint32_t s = 4; s-- > 0;)
        got += drain(inst, s).size();
    EXPECT_EQ(got, frames.size());
    EXPECT_EQ(sig.settle(1), 1);
    unlink(path.c_str());
}

} // namespace
