// Every stream polled by its own thread at once on one instance, as the
// capture program does. Meant to run under ThreadSanitizer too.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>

#include "stream_client.h"
#include "trace_files.h"

namespace {

// 8 pollers on arp-oobr (2282 small frames) three times over, and on a
// trace of many stretches twice over, stream 0 only once the others are
// done (so it finds its stretches gone from the cache): together they get
// every packet as often as asked, and the interrupt comes once.
TEST(Concurrent, PollersOnAllStreams)
{
    std::vector<std::string> frames;
    for (uint32_t i = 0; i < 150000; ++i)
        frames.push_back(ipv4_frame(i % 999, 7, 1, static_cast<uint16_t>(i % 77), 17, i));
    std::string big = write_trace("many_stretches.pcap", frames);
    for (auto [path, loops] : {std::pair{g_traces + "/arp-oobr.pcap", 3}, std::pair{big, 2}}) {
        std::vector<std::string> want = read_trace(path);
        constexpr uint32_t kStreams = 8;
        SigintCounter sig;
        vexmo_instance_t *inst =
            open_instance("file:" + path + ",loop=" + std::to_string(loops), kStreams);
        std::vector<std::vector<std::string>> got(kStreams);
        std::vector<std::thread> pollers;
        for (uint32_t s = 1; s < kStreams; ++s)
            pollers.emplace_back([&, s] {
                got[s] = drain(inst, s);
                EXPECT_NE(stream_stats(inst, s % 7 + 1).state, VEXMO_STREAM_FAILED);
            });
        for (auto &t : pollers)
            t.join();
        got[0] = drain(inst, 0);
        std::multiset<std::string> all, expect;
        for (auto &g : got)
            all.insert(g.begin(), g.end());
        for (int k = 0; k < loops; ++k)
            expect.insert(want.begin(), want.end());
        EXPECT_EQ(all.size(), expect.size());
        EXPECT_TRUE(all == expect);
        EXPECT_EQ(sig.settle(1), 1);
    }
    unlink(big.c_str());
}

// Buffers freed on another thread than the poller: the poller hands bursts
// to a freer through a queue. With loop=N the poller must wait for the
// freer at each pass boundary, and no buffer may be out twice at once.
TEST(Concurrent, FreedOnAnotherThread)
{
    const std::string path = g_traces + "/mptcp-v0.pcap";
    constexpr int kLoops = 20;
    SigintCounter sig;
    vexmo_instance_t *inst = open_instance("file:" + path + ",loop=" + std::to_string(kLoops), 2);
    for (uint32_t s = 0; s < 2; ++s) {
        std::mutex lock;
        std::condition_variable cv;
        std::deque<std::vector<vexmo_buff_t *>> queue;
        bool done = false;
        std::set<vexmo_buff_t *> out; // held right now; touched under lock
        bool twice = false;
        size_t freed = 0;
        std::thread freer([&] {
            std::unique_lock<std::mutex> g(lock);
            for (;;) {
                cv.wait(g, [&] { return done || !queue.empty(); });
                if (queue.empty())
                    return;
                std::vector<vexmo_buff_t *> burst = std::move(queue.front());
                queue.pop_front();
                for (vexmo_buff_t *b : burst)
                    out.erase(b);
                g.unlock();
                vexmo_buff_free(inst, burst.data(), static_cast<uint32_t>(burst.size()), -1, -1);
                g.lock();
                freed += burst.size();
            }
        });
        size_t received = 0;
        vexmo_buff_t *bufs[32];
        for (;;) {
            bool all_back;
            {
                std::lock_guard<std::mutex> g(lock);
                all_back = freed == received;
            }
            int n = vexmo_recv_all_burst(inst, s, bufs, 32);
            if (n == 0) {
                // Empty while nothing was held: a pass boundary would have
                // gone on, so this is the end of the stream.
                if (all_back)
                    break;
                std::this_thread::yield();
                continue;
            }
            received += static_cast<size_t>(n);
            std::lock_guard<std::mutex> g(lock);
            for (int i = 0; i < n; ++i)
                twice |= !out.insert(bufs[i]).second;
            queue.emplace_back(bufs, bufs + n);
            cv.notify_one();
        }
        {
            std::lock_guard<std::mutex> g(lock);
            done = true;
            cv.notify_one();
        }
        freer.join();
        EXPECT_FALSE(twice) << "stream " << s << ": a held buffer was handed out again";
        EXPECT_EQ(received, freed);
        EXPECT_EQ(received % kLoops, 0u) << "stream " << s << ": " << received;
        // Let the second stream see that the first finished before its interrupt.
        if (s == 0) {
            EXPECT_EQ(g_sigints.load(), 0);
        }
    }
    EXPECT_EQ(sig.settle(1), 1);
}

} // namespace
