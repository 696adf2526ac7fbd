// The index never changes what an extraction selects. Each input is an
// expression (up to its first newline) and a savefile (the bytes after it),
// written to a file. Its records that the expression selects are read once
// whole, then the file is indexed and they are read again through the
// index: both reads must give the same records, in the same order. This
// checks that the keys the index takes (through VLAN stacks, IPv6 header
// chains, ARP) are a superset of what any filter the expression compiles
// to reads, that the expression's keys are only ever a necessary
// condition, and that reading either way stays inside the file.
#include <fcntl.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <string>

#include "extract_input.h"
#include "fuzz_input.h"

namespace {

char g_dir[] = "/tmp/trawlkit-fuzz-extract-XXXXXX";
std::string g_path;

// The records the query selects, as stamp, lengths and bytes.
std::string read_all(const input_query *q, bool indexed)
{
    input in;
    std::string got;
    if (input_open(&in, g_path.c_str(), true) != 0) {
        input_close(&in);
        return "unopened";
    }
    if (indexed) {
        input_use_index(&in, q);
        FUZZ_CHECK(in.indexed || in.kind == INPUT_PCAPNG || in.failed || in.done ||
                   input_build_index(&in) != 1);
    }
    while (input_next(&in, q)) {
        if (in.pending)
            continue;
        got.append(reinterpret_cast<const char *>(&in.ns), sizeof in.ns);
        got.append(reinterpret_cast<const char *>(&in.hdr.caplen), 8);
        got.append(reinterpret_cast<const char *>(in.data), in.hdr.caplen);
    }
    input_close(&in);
    return got;
}

void build_index()
{
    input in;
    if (input_open(&in, g_path.c_str(), true) == 0)
        input_build_index(&in);
    input_close(&in);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (g_path.empty()) {
        FUZZ_CHECK(mkdtemp(g_dir));
        g_path = std::string(g_dir) + "/f.pcap";
    }
    const auto *nl = static_cast<const uint8_t *>(memchr(data, '\n', size < 256 ? size : 256));
    if (!nl)
        return 0;
    std::string expr(reinterpret_cast<const char *>(data), static_cast<size_t>(nl - data));
    unlink((g_path + kIndexSuffix).c_str());
    FILE *f = fopen(g_path.c_str(), "wb");
    FUZZ_CHECK(f && fwrite(nl + 1, 1, size - static_cast<size_t>(nl + 1 - data), f) ==
                        size - static_cast<size_t>(nl + 1 - data));
    fclose(f);
    input probe;
    uint32_t linktype = input_open(&probe, g_path.c_str(), true) == 0 ? probe.linktype : 1;
    input_close(&probe);
    pcap_t *p =
        pcap_open_dead(linktype == kLinktypeRaw ? DLT_RAW : static_cast<int>(linktype), 262144);
    bpf_program prog;
    if (!p || pcap_compile(p, &prog, expr.c_str(), 1, 0) != 0) {
        if (p)
            pcap_close(p);
        return 0;
    }
    static filter_terms terms;
    filter_terms_parse(expr.c_str(), linktype, &terms);
    input_query q{0, INT64_MAX, &prog, &terms};
    std::string whole = read_all(&q, false);
    build_index();
    FUZZ_CHECK(read_all(&q, true) == whole);
    pcap_freecode(&prog);
    pcap_close(p);
    return 0;
}
