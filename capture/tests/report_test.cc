// The statistics report's text.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "trawlcap.h"

namespace {

std::string report(dump_instance *d)
{
    testing::internal::CaptureStderr();
    dump_capture_result(d);
    return testing::internal::GetCapturedStderr();
}

// Worker records outlive each test's dump_instance; freed at exit.
std::vector<std::unique_ptr<dump_thread_ctx>> g_workers;

dump_thread_ctx *new_worker()
{
    g_workers.push_back(std::make_unique<dump_thread_ctx>());
    return g_workers.back().get();
}

dump_thread_ctx *worker(const char *file, uint64_t received, uint64_t captured)
{
    auto *ctx = new_worker();
    ctx->setup.started = 1;
    snprintf(ctx->setup.stem, sizeof(ctx->setup.stem), "%s", file);
    ctx->shared.received = received;
    ctx->shared.captured = captured;
    return ctx;
}

TEST(Report, TwoWorkers)
{
    dump_instance d{};
    snprintf(d.dumpfile, sizeof(d.dumpfile), "default.pcap");
    d.nr_threads = 2;
    d.threads[0] = worker("default_0.pcap", 1200, 35);
    d.threads[1] = worker("default_1.pcap", 980, 20);
    EXPECT_EQ(report(&d),
              "\nCapture statistics:\n"
              "    Thread 0: dumpfile default_0.pcap, 1200 packets recved, 35 packets captured.\n"
              "    Thread 1: dumpfile default_1.pcap, 980 packets recved, 20 packets captured.\n"
              "    Summary : dumpfile default.pcap, 2180 packets recved, 55 packets captured.\n\n");
}

TEST(Report, UnselectedWorkersAreLeftOutOfLinesAndSums)
{
    dump_instance d{};
    snprintf(d.dumpfile, sizeof(d.dumpfile), "c.pcap");
    d.nr_threads = 3;
    d.threads[0] = worker("c_0.pcap", 7, 7);
    d.threads[1] = new_worker(); // not selected
    d.threads[1]->shared.received = 1000;
    d.threads[2] = worker("c_2.pcap", 5000000000ull, 0);
    EXPECT_EQ(report(&d),
              "\nCapture statistics:\n"
              "    Thread 0: dumpfile c_0.pcap, 7 packets recved, 7 packets captured.\n"
              "    Thread 2: dumpfile c_2.pcap, 5000000000 packets recved, 0 packets captured.\n"
              "    Summary : dumpfile c.pcap, 5000000007 packets recved, 7 packets captured.\n\n");
}

TEST(Report, NoWorkersAndStandardOutput)
{
    dump_instance d{};
    snprintf(d.dumpfile, sizeof(d.dumpfile), "-");
    EXPECT_EQ(report(&d), "\nCapture statistics:\n"
                          "    Summary : dumpfile -, 0 packets recved, 0 packets captured.\n\n");
    d.nr_threads = 1;
    d.threads[0] = worker("", 3, 2);
    EXPECT_EQ(report(&d), "\nCapture statistics:\n"
                          "    Thread 0: dumpfile , 3 packets recved, 2 packets captured.\n"
                          "    Summary : dumpfile -, 3 packets recved, 2 packets captured.\n\n");
}

} // namespace
