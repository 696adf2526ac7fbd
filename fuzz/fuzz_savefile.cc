// The replay source's savefile walk, twice over each input (after two bytes
// choosing the stream count and the passes). First directly on the input
// bytes, where a read past them is caught: every record lies inside the
// bytes, after the one before, its time and wire length read back within
// them. Then through the public open: the input is written to a file and
// opened as "file:PATH,loop=N", which must accept what the walk accepts;
// an accepted file is drained from every stream. Checks that every buffer
// lies inside the mapped file, that each pass hands out the packets and
// bytes of the walk, and that no stream is left with packets. Damage past
// the first record ends the replay with a line on standard error, not a
// refusal, so most inputs are replayed.
//
// Draining ends with the source's SIGINT to the process: it stays blocked
// (and pending) here, so it neither ends nor interrupts the fuzzer.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "fuzz_input.h"
#include "internal.h"
#include "savefile.h"

namespace {

constexpr uint32_t kMaxStreams = 8;
constexpr uint32_t kMaxLoops = 3;
constexpr uint32_t kBurstSize = 32;

char g_path[] = "/tmp/trawlkit-fuzz-savefile-XXXXXX";
int g_fd = -1;
vexmo_instance_t *g_inst;

// One file and one instance for the whole run; each input gets a fresh device.
void set_up()
{
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    pthread_sigmask(SIG_BLOCK, &block, nullptr);
    g_fd = mkstemp(g_path);
    FUZZ_CHECK(g_fd >= 0);
    g_inst = vexmo_create();
    FUZZ_CHECK(g_inst && vexmo_init(g_inst, "fuzz_savefile") == 0);
}

void tear_down()
{
    close(g_fd);
    unlink(g_path);
}

struct walked {
    bool accepted;
    uint64_t packets, bytes;
};

// The walk from the start the check found to where it stops.
walked walk_bytes(const uint8_t *data, size_t size)
{
    static time_formats formats;
    init_time_formats(&formats);
    savefile_start start;
    const char *verb;
    char why[256];
    walked w{check_savefile_start(data, size, &formats, &start, &verb, why, sizeof why) == 0, 0, 0};
    if (!w.accepted)
        return w;
    FUZZ_CHECK(start.head_at == 0 || start.head_at + 16 <= size);
    cursor c = start.stretch0;
    found r;
    uint64_t after = 0; // the end of the record before
    for (walk step; (step = next_record(start.pcapng, data, size, &formats, &c, &r, why,
                                        sizeof why)) == walk::record ||
                    step == walk::other;) {
        if (step == walk::other)
            continue;
        FUZZ_CHECK(r.off >= after && r.len <= kMaxCaplen && r.off + r.len <= c.off &&
                   c.off <= size);
        {
            mutex_lock held(&formats.lock);
            FUZZ_CHECK(r.format < formats.count);
        }
        const time_format &f = formats.entry[r.format];
        int64_t sec;
        uint32_t nsec;
        FUZZ_CHECK(record_time(f, data + r.off, &sec, &nsec) < 0 || nsec < 1000000000);
        FUZZ_CHECK(!r.truncated || record_wire(f, data + r.off) > r.len);
        after = r.off + r.len;
        w.packets++;
        w.bytes += r.len;
    }
    return w;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    set_up();
    atexit(tear_down);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_input in{data, size, 0};
    uint32_t nr_rx = 1 + static_cast<uint32_t>(fuzz_take(in, 1)) % kMaxStreams;
    uint32_t loops = 1 + static_cast<uint32_t>(fuzz_take(in, 1)) % kMaxLoops;
    size_t len = in.size - in.pos;
    walked once = walk_bytes(in.data + in.pos, len);
    FUZZ_CHECK(ftruncate(g_fd, 0) == 0);
    FUZZ_CHECK(pwrite(g_fd, in.data + in.pos, len, 0) == static_cast<ssize_t>(len));

    std::string name = std::string("file:") + g_path + ",loop=" + std::to_string(loops);
    vexmo_device_t *dev = vexmo_open_device(g_inst, name.c_str(), nr_rx, nr_rx);
    FUZZ_CHECK((dev != nullptr) == once.accepted);
    if (dev == nullptr)
        return 0;
    FUZZ_CHECK(dev->source == vexmo_source::replay && dev->replay != nullptr);

    const uint8_t *arena;
    size_t arena_size;
    replay_file_bytes(dev->replay, &arena, &arena_size);
    FUZZ_CHECK(arena_size == len); // the file itself, in place

    // Bytes and packets per stream and pass: every pass must repeat the first.
    uint64_t packets = 0, bytes = 0;
    bool open[kMaxStreams];
    for (uint32_t s = 0; s < nr_rx; s++)
        open[s] = true;
    uint32_t still_open = nr_rx;
    vexmo_buff_t *bufs[kBurstSize];
    // Each poll hands out at least one buffer or closes its stream, so this
    // ends; the bound only turns a hang into a failed check.
    for (uint64_t polls = 0; still_open > 0; polls++) {
        FUZZ_CHECK(polls < 4 * (arena_size + 1) * kMaxLoops + 64);
        for (uint32_t s = 0; s < nr_rx; s++) {
            if (!open[s])
                continue;
            int n = vexmo_recv_all_burst(g_inst, s, bufs, kBurstSize);
            FUZZ_CHECK(n >= 0 && n <= static_cast<int>(kBurstSize));
            if (n == 0) {
                open[s] = false;
                still_open--;
                continue;
            }
            for (int i = 0; i < n; i++) {
                auto *p = static_cast<const uint8_t *>(vexmo_buff_mtod(bufs[i]));
                uint32_t plen = vexmo_buff_datalen(bufs[i]);
                FUZZ_CHECK(p >= arena && p + plen <= arena + arena_size);
                FUZZ_CHECK(bufs[i]->stream == s);
                int64_t sec; // time and wire length keep their contracts
                uint32_t nsec;
                FUZZ_CHECK(vexmo_buff_tstamp(bufs[i], &sec, &nsec) < 0 || nsec < 1000000000);
                FUZZ_CHECK(vexmo_buff_wirelen(bufs[i]) >= plen);
                packets++;
                bytes += plen;
            }
            vexmo_buff_free(g_inst, bufs, static_cast<uint32_t>(n), -1, -1);
        }
    }
    FUZZ_CHECK(packets % loops == 0 && packets / loops == once.packets);
    FUZZ_CHECK(bytes % loops == 0 && bytes / loops <= arena_size && bytes / loops == once.bytes);
    // Every stream says it ended (polling it again would wait), short records included.
    uint64_t truncated = 0;
    vexmo_stream_stats_t st;
    for (uint32_t s = 0; s < nr_rx; s++, truncated += st.truncated)
        FUZZ_CHECK(vexmo_stream_stats(g_inst, s, &st) == 0 && st.state != VEXMO_STREAM_RUNNING &&
                   st.dropped == 0);
    FUZZ_CHECK(truncated <= packets);

    replay_close(dev->replay);
    free(dev);
    g_inst->device = nullptr;
    return 0;
}
