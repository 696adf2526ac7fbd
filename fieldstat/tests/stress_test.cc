// Several seconds of everything at once on one object: one thread registers
// all 256 fields, spread over the run, while three threads add to random ids
// and the real printer thread prints every second. Meant to be run under
// ThreadSanitizer too; checks exact totals and well-formed refreshes.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tallyboard.h"
#include "test_support.h"

namespace {

constexpr int kAdders = 3;
constexpr auto kRegisterEvery = std::chrono::milliseconds(12); // 256 fields: about 3 s
constexpr auto kTail = std::chrono::milliseconds(1200);        // a refresh with all of them

// Splits a refresh text into its lines after the rule line; every group of
// fields is three lines with one column per field. With an interval of one
// second each rate is the total less the previous refresh's total (sums).
void check_groups(const std::string &refresh, int *fields_seen, std::vector<int64_t> *sums_seen)
{
    std::istringstream in(refresh.substr(refresh.find('\n') + 1));
    std::string names, sums, rates;
    int fields = 0;
    while (std::getline(in, names) && std::getline(in, sums) && std::getline(in, rates)) {
        auto columns = [](const std::string &line) {
            return std::count(line.begin(), line.end(), '\t');
        };
        ASSERT_EQ(sums.rfind("sum\t", 0), 0u) << sums;
        ASSERT_EQ(rates.rfind("speed/s\t", 0), 0u) << rates;
        ASSERT_EQ(columns(names), columns(sums)) << names << "\n" << sums;
        ASSERT_EQ(columns(names), columns(rates)) << names << "\n" << rates;
        std::istringstream sum_row(sums.substr(4)), rate_row(rates.substr(8));
        for (int64_t sum, rate; sum_row >> sum && rate_row >> rate; fields++) {
            EXPECT_EQ(rate, sum - (*sums_seen)[fields])
                << "field " << fields << ": " << sums << "\n"
                << rates;
            (*sums_seen)[fields] = sum;
        }
    }
    *fields_seen = fields;
}

TEST(TallyboardStress, RegisterAddAndPrintAtOnce)
{
    printer_pipe p = open_printer_pipe();
    ASSERT_NE(p.out, nullptr);
    screen_stat *s = keep(init_screen_stat(p.out, 1, SCREEN_STAT_PRINT_ON));
    ASSERT_NE(s, nullptr);

    std::atomic<bool> done{false};
    std::string printed;
    std::thread reader([&] {
        char buf[4096];
        // Once done, read on until the pipe falls quiet, so that the refresh
        // being written at that moment is not cut short.
        for (;;) {
            bool last = done.load();
            if (has_data_within(p.read_fd, last ? 200 : 50)) {
                ssize_t n = read(p.read_fd, buf, sizeof buf);
                if (n > 0)
                    printed.append(buf, static_cast<size_t>(n));
            } else if (last) {
                break;
            }
        }
    });

    // added[t][id]: how many of thread t's adds to id were taken.
    std::vector<std::vector<int64_t>> added(kAdders, std::vector<int64_t>(TALLYBOARD_MAX_FIELDS));
    std::vector<std::thread> adders;
    for (int t = 0; t < kAdders; t++)
        adders.emplace_back([&, t] {
            std::mt19937 rng(static_cast<unsigned>(t));
            std::uniform_int_distribution<int> pick(-1, TALLYBOARD_MAX_FIELDS);
            while (!done.load(std::memory_order_relaxed)) {
                int id = pick(rng);
                // The count only grows: a refusal means the id was not handed
                // out when the operation looked, so not before either.
                int before = count_of(s);
                if (stat_field_operation(s, id, STAT_FIELD_OP_ADD, t + 1) == 0)
                    added[t][id]++;
                else
                    ASSERT_TRUE(id < 0 || id >= before);
            }
        });

    std::thread registrar([&] {
        for (int i = 0; i < TALLYBOARD_MAX_FIELDS; i++) {
            EXPECT_EQ(stat_field_register(s, ("f" + std::to_string(i)).c_str()), i);
            std::this_thread::sleep_for(kRegisterEvery);
        }
        EXPECT_EQ(stat_field_register(s, "one too many"), -1);
    });
    registrar.join();
    std::this_thread::sleep_for(kTail);
    done = true;
    for (auto &a : adders)
        a.join();
    reader.join();

    for (int id = 0; id < TALLYBOARD_MAX_FIELDS; id++) {
        int64_t want = 0;
        for (int t = 0; t < kAdders; t++)
            want += added[t][id] * (t + 1);
        EXPECT_EQ(value_of(s, id), want) << "field " << id;
    }

    // At least four refreshes; each well formed, the fields only growing in
    // number, the last one with every field.
    std::vector<std::string> refreshes;
    const std::string rule(53, '=');
    for (size_t at = printed.find(rule); at != std::string::npos;) {
        size_t next = printed.find(rule, at + rule.size());
        refreshes.push_back(
            printed.substr(at, next == std::string::npos ? std::string::npos : next - at));
        at = next;
    }
    ASSERT_GE(refreshes.size(), 4u) << printed;
    int previous = 0;
    std::vector<int64_t> sums(TALLYBOARD_MAX_FIELDS);
    for (const std::string &r : refreshes) {
        int fields = 0;
        check_groups(r, &fields, &sums);
        EXPECT_GE(fields, previous);
        previous = fields;
    }
    EXPECT_EQ(previous, TALLYBOARD_MAX_FIELDS);
}

} // namespace
