// Field table and counter operations: ids, arithmetic, refusals, threads.
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "refresh.h"
#include "tallyboard.h"
#include "test_support.h"

namespace {

screen_stat *quiet_object()
{
    return keep(init_screen_stat(nullptr, 1, 0));
}

TEST(TallyboardTable, IdsFollowRegistrationAndNamesAreCopies)
{
    screen_stat *s = quiet_object();
    ASSERT_NE(s, nullptr);
    char name[] = "rx_pkts";
    EXPECT_EQ(stat_field_register(s, name), 0);
    EXPECT_EQ(stat_field_register(s, "tx_pkts"), 1);
    EXPECT_EQ(stat_field_register(s, "rx_pkts"), 2); // same name, new field
    EXPECT_EQ(count_of(s), 3);
    memcpy(name, "changed", sizeof name);
    EXPECT_STREQ(s->fields[0].name, "rx_pkts");
    EXPECT_NE(s->fields[0].name, s->fields[2].name);
    EXPECT_EQ(s->fields[3].name, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(&s->fields[0]) % 64, 0u);
}

TEST(TallyboardTable, SetThenAdd)
{
    screen_stat *s = quiet_object();
    int id = stat_field_register(s, "f");
    EXPECT_EQ(stat_field_operation(s, id, STAT_FIELD_OP_SET, 5), 0);
    EXPECT_EQ(value_of(s, id), 5);
    EXPECT_EQ(stat_field_operation(s, id, STAT_FIELD_OP_ADD, 3), 0);
    EXPECT_EQ(value_of(s, id), 8);
    EXPECT_EQ(stat_field_operation(s, id, STAT_FIELD_OP_ADD, -2), 0);
    EXPECT_EQ(value_of(s, id), 6);
    EXPECT_EQ(stat_field_operation(s, id, STAT_FIELD_OP_SET, INT64_MIN), 0);
    EXPECT_EQ(value_of(s, id), INT64_MIN);
}

TEST(TallyboardTable, RefusalsChangeNothing)
{
    screen_stat *s = quiet_object();
    int a = stat_field_register(s, "a");
    int b = stat_field_register(s, "b");
    stat_field_operation(s, a, STAT_FIELD_OP_SET, 7);
    stat_field_operation(s, b, STAT_FIELD_OP_SET, 9);

    for (int op : {0, 3, -1, INT_MAX})
        EXPECT_EQ(stat_field_operation(s, a, op, 100), -1) << "operation " << op;
    // Ids never handed out, including ones inside the table's storage.
    for (int id : {-1, 2, 5, 255, 256, INT_MAX, INT_MIN})
        EXPECT_EQ(stat_field_operation(s, id, STAT_FIELD_OP_ADD, 100), -1) << "id " << id;
    EXPECT_EQ(value_of(s, a), 7);
    EXPECT_EQ(value_of(s, b), 9);
    EXPECT_EQ(s->fields[2].value, 0);
    EXPECT_EQ(s->fields[5].value, 0);

    EXPECT_EQ(stat_field_register(s, nullptr), -1);
    EXPECT_EQ(count_of(s), 2);
}

TEST(TallyboardTable, NullObject)
{
    EXPECT_EQ(stat_field_register(nullptr, "x"), -1);
    EXPECT_EQ(stat_field_operation(nullptr, 0, STAT_FIELD_OP_ADD, 1), -1);
    EXPECT_EQ(stat_field_operation(nullptr, 0, STAT_FIELD_OP_SET, 1), -1);
    EXPECT_EQ(thread_screen_print(nullptr), nullptr);
}

TEST(TallyboardTable, TableHolds256Fields)
{
    screen_stat *s = quiet_object();
    for (int i = 0; i < TALLYBOARD_MAX_FIELDS; i++)
        ASSERT_EQ(stat_field_register(s, ("f" + std::to_string(i)).c_str()), i);
    EXPECT_EQ(stat_field_register(s, "one_too_many"), -1);
    EXPECT_EQ(count_of(s), TALLYBOARD_MAX_FIELDS);
    EXPECT_STREQ(s->fields[255].name, "f255");
    EXPECT_EQ(stat_field_operation(s, 255, STAT_FIELD_OP_ADD, 4), 0);
    EXPECT_EQ(value_of(s, 255), 4);
}

TEST(TallyboardTable, InitStoresArgumentsAndRefusesAPrinterThatCannotWork)
{
    FILE *sink = tmpfile();
    ASSERT_NE(sink, nullptr);
    EXPECT_EQ(init_screen_stat(nullptr, 1, SCREEN_STAT_PRINT_ON), nullptr);
    EXPECT_EQ(init_screen_stat(sink, 0, SCREEN_STAT_PRINT_ON), nullptr);
    EXPECT_EQ(init_screen_stat(sink, -3, SCREEN_STAT_PRINT_ON), nullptr);

    // Without a printer nothing is checked: the values are only stored.
    screen_stat *s = keep(init_screen_stat(sink, 0, 7));
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->out, sink);
    EXPECT_EQ(s->interval, 0);
    EXPECT_EQ(s->print_flag, 7);
    EXPECT_EQ(count_of(s), 0);
    EXPECT_EQ(ftell(sink), 0);

    // Called directly on an object no printer could serve, the routine
    // returns at once instead of dividing by zero.
    EXPECT_EQ(thread_screen_print(s), nullptr);
    screen_stat *no_out = keep(init_screen_stat(nullptr, 1, 0));
    EXPECT_EQ(thread_screen_print(no_out), nullptr);
}

constexpr int kThreads = 4;
constexpr int kRounds = 100000;

TEST(TallyboardConcurrency, ThreadsAddingToOneFieldGiveExactTotal)
{
    screen_stat *s = quiet_object();
    int shared = stat_field_register(s, "shared");
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([s, shared, t] {
            for (int i = 0; i < kRounds; i++)
                stat_field_operation(s, shared, STAT_FIELD_OP_ADD, t + 1);
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(value_of(s, shared), int64_t{kRounds} * (1 + 2 + 3 + 4));
}

TEST(TallyboardConcurrency, ThreadsOnSeparateFieldsGiveExactTotals)
{
    screen_stat *s = quiet_object();
    int ids[kThreads];
    for (int t = 0; t < kThreads; t++)
        ids[t] = stat_field_register(s, ("own" + std::to_string(t)).c_str());
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; t++)
        threads.emplace_back([s, &ids, t] {
            for (int i = 0; i < kRounds; i++)
                stat_field_operation(s, ids[t], STAT_FIELD_OP_ADD, -(t + 1));
        });
    for (auto &t : threads)
        t.join();
    for (int t = 0; t < kThreads; t++)
        EXPECT_EQ(value_of(s, ids[t]), -int64_t{kRounds} * (t + 1)) << "field " << t;
}

// One thread composes refreshes back to back, as the printer does, while the
// main thread registers every field and another one adds to them.
TEST(TallyboardConcurrency, RegisteringWhileRefreshesAreComposed)
{
    screen_stat *s = keep(init_screen_stat(nullptr, 1, 0));
    std::atomic<bool> done{false};
    std::atomic<int> composed{0};
    std::thread printer([s, &done, &composed] {
        static char text[kRefreshBufferSize];
        while (!done.load()) {
            __screen_stat_compose(s, 0, text, sizeof text);
            composed++;
        }
    });
    std::thread adder([s, &done] {
        while (!done.load())
            for (int id = 0; id < count_of(s); id++)
                stat_field_operation(s, id, STAT_FIELD_OP_ADD, 1);
    });
    for (int i = 0; i < TALLYBOARD_MAX_FIELDS; i++) {
        ASSERT_EQ(stat_field_register(s, ("field" + std::to_string(i)).c_str()), i);
        if (i % 32 == 0)
            while (composed.load() < i / 32)
                std::this_thread::yield();
    }
    done = true;
    printer.join();
    adder.join();

    char text[kRefreshBufferSize];
    std::string last(text, __screen_stat_compose(s, 0, text, sizeof text));
    size_t at = 0;
    for (int i = 0; i < TALLYBOARD_MAX_FIELDS; i++) {
        at = last.find("field" + std::to_string(i) + "\t", at);
        ASSERT_NE(at, std::string::npos) << "field " << i << " missing or out of order";
    }
}

} // namespace
