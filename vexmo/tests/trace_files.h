// Trace files for the libvexmo unit tests: the bundled traces, a trace read
// with libpcap (apart from the library's own loader), and traces of made-up
// frames written with libpcap's writer.
#ifndef VEXMO_TESTS_TRACE_FILES_H
#define VEXMO_TESTS_TRACE_FILES_H

#include <gtest/gtest.h>
#include <pcap/pcap.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

inline const std::string g_traces = TRAWLKIT_TRACES;

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
        pcap_dump(reinterpret_cast<u_char *>(d), &h,
                  reinterpret_cast<const u_char *>(frames[i].data()));
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
    auto put16 = [&](uint32_t v) {
        put8(v >> 8);
        put8(v);
    };
    auto put32 = [&](uint32_t v) {
        put16(v >> 16);
        put16(v);
    };
    for (int i = 0; i < 6; ++i)
        put8(0x02);
    for (int i = 0; i < 6; ++i)
        put8(0x04 + i);
    if (vlan) {
        put16(0x8100);
        put16(42);
    }
    put16(0x0800);
    size_t l4len = proto == 6 ? 20 : 8;
    put8(0x45);
    put8(0);
    put16(static_cast<uint32_t>(20 + l4len + 4));
    put16(0);
    put16(0);
    put8(64);
    put8(proto);
    put16(0);
    put32(src);
    put32(dst);
    put16(sport);
    put16(dport);
    if (proto == 6) {
        put32(0);
        put32(0);
        put16(0x5010);
        put16(1024);
        put32(0);
    } else {
        put16(12);
        put16(0);
    }
    put32(tag);
    return f;
}
#endif // VEXMO_TESTS_TRACE_FILES_H
