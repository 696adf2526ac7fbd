// The per-record work of a capture worker with no packet source: the
// savefile (classic pcap) mapped and walked in place, bursts of 32, the
// filter, the length test, one clock reading and pcap_dump per written
// record into a stream with a 1 MiB buffer. What trawlcap on a savefile
// costs beyond this is the packet source's and the program's own.
//
//     reference_loop TRACE OUT LOOPS [FILTER WORD ...]
//
// Prints "N packets recved, M packets captured." on standard error.
#include <fcntl.h>
#include <pcap/pcap.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr uint32_t kBurst = 32;
constexpr size_t kDumpBufferSize = size_t{1} << 20;
constexpr uint32_t kMaxLength = 65535;

struct counts {
    uint64_t received, captured;
};

// One pass over the records of the mapped file.
void one_pass(const uint8_t *base, size_t size, const bpf_insn *insns, pcap_dumper_t *d, counts *c)
{
    const uint8_t *data[kBurst];
    uint32_t len[kBurst];
    size_t off = 24;
    while (off + 16 <= size) {
        uint32_t n = 0;
        for (; n < kBurst && off + 16 <= size; ++n) {
            uint32_t caplen;
            memcpy(&caplen, base + off + 8, 4);
            if (off + 16 + caplen > size)
                break;
            data[n] = base + off + 16;
            len[n] = caplen;
            off += 16 + caplen;
        }
        if (n == 0)
            break;
        uint32_t match[kBurst], m = 0;
        for (uint32_t i = 0; i < n; ++i)
            if (bpf_filter(insns, data[i], len[i], len[i]) && len[i] <= kMaxLength)
                match[m++] = i;
        for (uint32_t j = 0; j < m; ++j) {
            pcap_pkthdr h;
            gettimeofday(&h.ts, nullptr);
            h.caplen = h.len = len[match[j]];
            pcap_dump(reinterpret_cast<u_char *>(d), &h, data[match[j]]);
        }
        c->received += n;
        c->captured += m;
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 4) {
        fprintf(stderr, "usage: reference_loop TRACE OUT LOOPS [FILTER WORD ...]\n");
        return 2;
    }
    std::string rule;
    for (int i = 4; i < argc; ++i)
        rule += std::string(i > 4 ? " " : "") + argv[i];
    int fd = open(argv[1], O_RDONLY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) < 0)
        return 1;
    size_t size = static_cast<size_t>(st.st_size);
    auto *base = static_cast<const uint8_t *>(mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0));
    pcap_t *dead = pcap_open_dead(DLT_EN10MB, kMaxLength);
    bpf_program prog;
    FILE *f = fopen(argv[2], "wb");
    if (base == MAP_FAILED || !f ||
        pcap_compile(dead, &prog, rule.c_str(), 1, PCAP_NETMASK_UNKNOWN) < 0)
        return 1;
    setvbuf(f, static_cast<char *>(malloc(kDumpBufferSize)), _IOFBF, kDumpBufferSize);
    pcap_dumper_t *d = pcap_dump_fopen(dead, f);
    counts c{};
    for (long pass = strtol(argv[3], nullptr, 10); pass > 0; --pass)
        one_pass(base, size, prog.bf_insns, d, &c);
    pcap_dump_close(d);
    fprintf(stderr, "%llu packets recved, %llu packets captured.\n",
            static_cast<unsigned long long>(c.received),
            static_cast<unsigned long long>(c.captured));
    return 0;
}
