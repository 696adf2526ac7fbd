// vexmo_bench [PACKETS_PER_STREAM [RUNS]]: receive + free throughput of the
// replay source, per stream, in bursts of 32, as the capture program polls.
//
// Traces: 4096 frames of 64 bytes over 1024 UDP flows, and 4096 frames of
// mixed sizes (64/576/1500 bytes, 7:4:1). One stream on one thread, and two
// streams each polled by its own thread at once. "touch" also reads the
// address, the length and the first byte of every packet, which is what a
// filter does first. The reference loop hands out the same descriptors from
// a plain array with no library call, measured side by side, so the ratio
// says what the library adds on this machine.
#include <pcap/pcap.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "vexmo.h"

namespace {

constexpr uint32_t kBurst = 32;
constexpr uint32_t kTracePackets = 4096;

std::string write_trace(const char *name, bool mixed)
{
    std::string path = "/tmp/vexmo_bench_" + std::to_string(getpid()) + "_" + name + ".pcap";
    pcap_t *dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t *d = pcap_dump_open(dead, path.c_str());
    if (!d) {
        fprintf(stderr, "Cannot write %s: %s\n", path.c_str(), pcap_geterr(dead));
        exit(1);
    }
    static const uint32_t sizes[12] = {64, 64, 64, 64, 64, 64, 64, 576, 576, 576, 576, 1500};
    std::vector<uint8_t> f(1500, 0);
    for (uint32_t i = 0; i < kTracePackets; ++i) {
        uint32_t len = mixed ? sizes[i % 12] : 64;
        uint32_t flow = i % 1024;
        std::fill(f.begin(), f.end(), 0);
        f[0] = 2;
        f[6] = 2;
        f[12] = 0x08;
        f[13] = 0x00; // Ethernet, IPv4
        f[14] = 0x45;
        f[23] = 17; // UDP
        f[26] = 10;
        f[29] = static_cast<uint8_t>(flow); // 10.0.0.x
        f[30] = 10;
        f[31] = 1;
        f[33] = static_cast<uint8_t>(flow >> 8);
        f[34] = static_cast<uint8_t>(flow >> 2);
        f[35] = static_cast<uint8_t>(flow);
        f[36] = 0x1f;
        f[37] = 0x90;
        pcap_pkthdr h{};
        h.caplen = h.len = len;
        pcap_dump(reinterpret_cast<u_char *>(d), &h, f.data());
    }
    pcap_dump_close(d);
    pcap_close(dead);
    return path;
}

enum class mode { recv_free, touch };

struct result {
    double ns_per_packet[2];
};

// Polls stream s until `packets` were received and freed; returns ns/packet.
double poll_stream(vexmo_instance_t *inst, uint32_t s, uint64_t packets, mode m,
                   std::atomic<int> *ready, int nthreads, uint64_t *sink)
{
    vexmo_buff_t *bufs[kBurst];
    ready->fetch_add(1);
    while (ready->load() < nthreads) {
    }
    uint64_t got = 0, acc = 0;
    auto t0 = std::chrono::steady_clock::now();
    while (got < packets) {
        int n = vexmo_recv_all_burst(inst, s, bufs, kBurst);
        if (m == mode::touch) {
            for (int i = 0; i < n; ++i) {
                const uint8_t *p = static_cast<const uint8_t *>(vexmo_buff_mtod(bufs[i]));
                acc += vexmo_buff_datalen(bufs[i]) + p[0];
            }
        }
        vexmo_buff_free(inst, bufs, static_cast<uint32_t>(n), -1, -1);
        got += static_cast<uint64_t>(n);
    }
    auto t1 = std::chrono::steady_clock::now();
    *sink += acc;
    return std::chrono::duration<double, std::nano>(t1 - t0).count() / static_cast<double>(got);
}

result run(const std::string &trace, uint32_t streams, uint64_t packets, mode m)
{
    // Enough passes that no stream runs dry during the measurement.
    uint64_t loops = packets * streams * 4 / kTracePackets + 2;
    std::string dev = "file:" + trace + ",loop=" + std::to_string(loops);
    vexmo_instance_t *inst = vexmo_create();
    if (vexmo_init(inst, "vexmo_bench") < 0 ||
        !vexmo_open_device(inst, dev.c_str(), streams, streams))
        exit(1);
    result r{};
    std::atomic<int> ready{0};
    uint64_t sinks[2] = {0, 0};
    std::vector<std::thread> ts;
    for (uint32_t s = 0; s < streams; ++s)
        ts.emplace_back([&, s] {
            r.ns_per_packet[s] =
                poll_stream(inst, s, packets, m, &ready, static_cast<int>(streams), &sinks[s]);
        });
    for (auto &t : ts)
        t.join();
    if (sinks[0] + sinks[1] == 1)
        puts("");
    return r;
}

// The same 32-descriptor handing out of a plain array, no library call.
double reference(uint64_t packets)
{
    static uint64_t desc[kTracePackets][3];
    for (uint32_t i = 0; i < kTracePackets; ++i)
        desc[i][1] = 64;
    void *bufs[kBurst];
    uint64_t got = 0, pos = 0, acc = 0;
    auto t0 = std::chrono::steady_clock::now();
    while (got < packets) {
        for (uint32_t i = 0; i < kBurst; ++i)
            bufs[i] = desc[(pos + i) % kTracePackets];
        asm volatile("" : : "r"(bufs) : "memory");
        for (uint32_t i = 0; i < kBurst; ++i)
            acc += static_cast<uint64_t *>(bufs[i])[2];
        pos += kBurst;
        got += kBurst;
    }
    auto t1 = std::chrono::steady_clock::now();
    if (acc == 1)
        puts("");
    return std::chrono::duration<double, std::nano>(t1 - t0).count() / static_cast<double>(got);
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

void sigint_ignored(int)
{
}

} // namespace

int main(int argc, char **argv)
{
    uint64_t packets = argc > 1 ? strtoull(argv[1], nullptr, 10) : 20000000;
    int runs = argc > 2 ? atoi(argv[2]) : 5;
    // A stream that runs dry interrupts the process; the passes are sized so
    // that none does, but a bench should not die of it either.
    signal(SIGINT, sigint_ignored);
    std::string small = write_trace("64", false), mixed = write_trace("mixed", true);

    printf("vexmo_bench: %llu packets per stream, bursts of %u, median of %d runs, ns/packet\n",
           static_cast<unsigned long long>(packets), kBurst, runs);
    printf("%-12s %-7s %-10s %10s %10s\n", "trace", "streams", "work", "stream 0", "stream 1");
    std::vector<double> ref;
    for (int k = 0; k < runs; ++k)
        ref.push_back(reference(packets));
    double ref_ns = median(ref);
    printf("%-12s %-7s %-10s %10.2f %10s\n", "(reference)", "1", "array", ref_ns, "-");
    for (const auto &[name, path] : {std::pair{"64-byte", small}, std::pair{"mixed", mixed}}) {
        for (uint32_t streams : {1u, 2u}) {
            for (mode m : {mode::recv_free, mode::touch}) {
                std::vector<double> a, b;
                for (int k = 0; k < runs; ++k) {
                    result r = run(path, streams, packets, m);
                    a.push_back(r.ns_per_packet[0]);
                    b.push_back(r.ns_per_packet[1]);
                }
                char second[32] = "-";
                if (streams == 2)
                    snprintf(second, sizeof second, "%.2f", median(b));
                printf("%-12s %-7u %-10s %10.2f %10s\n", name, streams,
                       m == mode::touch ? "touch" : "recv+free", median(a), second);
            }
        }
    }
    unlink(small.c_str());
    unlink(mixed.c_str());
    return 0;
}
