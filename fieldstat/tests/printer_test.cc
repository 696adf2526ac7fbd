// The refresh text: composed directly for exact comparisons, and through the
// real printer thread on a pipe for timing and rates by interval.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "refresh.h"
#include "tallyboard.h"
#include "test_support.h"

namespace {

constexpr std::time_t kMonDec7 = 1796641474; // 2026-12-07 11:04:34 UTC
const std::string kRule = std::string(53, '=') + "Mon Dec  7 11:04:34 2026\n";

class TallyboardRefresh : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
    }

    // Object without a printer; refreshes are composed by the test.
    screen_stat *object(int interval, const std::vector<std::string> &names)
    {
        screen_stat *s = keep(init_screen_stat(nullptr, interval, 0));
        for (const std::string &n : names)
            stat_field_register(s, n.c_str());
        return s;
    }

    static std::string compose(screen_stat *s)
    {
        static char text[kRefreshBufferSize];
        return std::string(text, __screen_stat_compose(s, kMonDec7, text, sizeof text));
    }
};

// Builds a column the way the table shows it: right-aligned in ten, then a tab.
std::string col(const std::string &cell)
{
    return std::string(cell.size() < 10 ? 10 - cell.size() : 0, ' ') + cell + "\t";
}

std::string group(const std::vector<std::string> &names, const std::vector<int64_t> &sums,
                  const std::vector<int64_t> &rates)
{
    std::string g = "\t";
    for (const auto &n : names)
        g += col(n);
    g += "\nsum\t";
    for (int64_t v : sums)
        g += col(std::to_string(v));
    g += "\nspeed/s\t";
    for (int64_t v : rates)
        g += col(std::to_string(v));
    return g + "\n";
}

TEST_F(TallyboardRefresh, NoFieldsGivesTheRuleLineAlone)
{
    EXPECT_EQ(compose(object(1, {})), kRule);
}

TEST_F(TallyboardRefresh, ThreeFieldsFirstRefresh)
{
    screen_stat *s = object(10, {"rx_pkts", "tx_pkts", "drops"});
    stat_field_operation(s, 0, STAT_FIELD_OP_SET, 1500);
    stat_field_operation(s, 1, STAT_FIELD_OP_SET, 1200);
    stat_field_operation(s, 2, STAT_FIELD_OP_SET, 3);
    EXPECT_EQ(compose(s), kRule + "\t   rx_pkts\t   tx_pkts\t     drops\t\n"
                                  "sum\t      1500\t      1200\t         3\t\n"
                                  "speed/s\t       150\t       120\t         0\t\n");
    EXPECT_EQ(s->fields[0].last_value, 1500);
}

TEST_F(TallyboardRefresh, NineFieldsMakeTwoGroups)
{
    std::vector<std::string> names;
    for (int i = 0; i < 9; i++)
        names.push_back("f" + std::to_string(i));
    screen_stat *s = object(1, names);
    for (int i = 0; i < 9; i++)
        stat_field_operation(s, i, STAT_FIELD_OP_ADD, 10 * i);
    std::vector<int64_t> first{0, 10, 20, 30, 40, 50, 60, 70};
    EXPECT_EQ(compose(s), kRule + group({names.begin(), names.begin() + 8}, first, first) +
                              group({"f8"}, {80}, {80}));
}

TEST_F(TallyboardRefresh, LongNameWidensOnlyItsColumn)
{
    screen_stat *s = object(1, {"a", "a_rather_long_field_name", "b"});
    stat_field_operation(s, 1, STAT_FIELD_OP_SET, 42);
    EXPECT_EQ(compose(s), kRule + "\t         a\ta_rather_long_field_name\t         b\t\n"
                                  "sum\t         0\t        42\t         0\t\n"
                                  "speed/s\t         0\t        42\t         0\t\n");
}

TEST_F(TallyboardRefresh, RatesUseTheConfiguredIntervalAndTruncateTowardZero)
{
    screen_stat *s = object(2, {"ten", "three", "down3", "lower"});
    stat_field_operation(s, 3, STAT_FIELD_OP_SET, 100);
    compose(s);
    stat_field_operation(s, 0, STAT_FIELD_OP_ADD, 10);
    stat_field_operation(s, 1, STAT_FIELD_OP_ADD, 3);
    stat_field_operation(s, 2, STAT_FIELD_OP_ADD, -3);
    stat_field_operation(s, 3, STAT_FIELD_OP_SET, 40);
    EXPECT_EQ(compose(s),
              kRule + group({"ten", "three", "down3", "lower"}, {10, 3, -3, 40}, {5, 1, -1, -30}));
    // Unchanged fields rate 0 on the next refresh.
    EXPECT_EQ(compose(s),
              kRule + group({"ten", "three", "down3", "lower"}, {10, 3, -3, 40}, {0, 0, 0, 0}));
}

TEST_F(TallyboardRefresh, ExtremeJumpWrapsInsteadOfOverflowing)
{
    screen_stat *s = object(1, {"x"});
    stat_field_operation(s, 0, STAT_FIELD_OP_SET, INT64_MIN);
    compose(s);
    stat_field_operation(s, 0, STAT_FIELD_OP_SET, INT64_MAX);
    EXPECT_EQ(compose(s), kRule + group({"x"}, {INT64_MAX}, {-1}));
}

// Reads back everything a spilling compose wrote: the pieces that went to the
// stream while the buffer filled, then the final piece left in the buffer.
std::string compose_through(screen_stat *s, size_t cap)
{
    FILE *out = tmpfile();
    s->out = out;
    std::vector<char> text(cap);
    size_t len = __screen_stat_compose(s, kMonDec7, text.data(), cap);
    std::string all;
    rewind(out);
    for (int c; (c = fgetc(out)) != EOF;)
        all.push_back(static_cast<char>(c));
    fclose(out);
    s->out = nullptr;
    EXPECT_LT(len, cap);
    return all + std::string(text.data(), len);
}

TEST_F(TallyboardRefresh, RefreshLongerThanTheBufferIsWrittenWhole)
{
    std::vector<std::string> names;
    for (int i = 0; i < TALLYBOARD_MAX_FIELDS; i++)
        names.push_back(std::string(300, 'a' + i % 26) + std::to_string(i));
    screen_stat *s = object(1, names);
    std::string expected = kRule;
    for (int g = 0; g < TALLYBOARD_MAX_FIELDS; g += 8) {
        std::vector<int64_t> v;
        for (int i = g; i < g + 8; i++) {
            stat_field_operation(s, i, STAT_FIELD_OP_SET, i * 1000003LL);
            v.push_back(i * 1000003LL);
        }
        expected += group({names.begin() + g, names.begin() + g + 8}, v, v);
    }
    ASSERT_GT(expected.size(), kRefreshBufferSize);
    EXPECT_EQ(compose_through(s, kRefreshBufferSize), expected);
}

TEST_F(TallyboardRefresh, NameLongerThanTheBufferIsWrittenWhole)
{
    std::string huge(kRefreshBufferSize + 100, 'n');
    screen_stat *s = object(1, {"a", huge, "b"});
    EXPECT_EQ(compose_through(s, kRefreshBufferSize),
              kRule + group({"a", huge, "b"}, {0, 0, 0}, {0, 0, 0}));
    // Same text when the buffer is small enough that ordinary rows spill too.
    for (int i = 0; i < 3; i++)
        s->fields[i].last_value = 0;
    EXPECT_EQ(compose_through(s, 128), kRule + group({"a", huge, "b"}, {0, 0, 0}, {0, 0, 0}));
}

// Every buffer size from the least to past the whole text, so that each
// column's edge (names narrower than the column, of its width, one wider,
// one longer than the smallest buffer; a 20-digit number) meets the
// buffer's end: one text.
TEST_F(TallyboardRefresh, EveryBufferSizeGivesTheSameText)
{
    const std::vector<std::string> names{"a", "ten_chars_", "eleven_char", std::string(150, 'w'),
                                         "b"};
    const std::vector<int64_t> values{0, 42, INT64_MIN, 1234567890, -7};
    screen_stat *s = object(1, names);
    for (int i = 0; i < 5; i++)
        stat_field_operation(s, i, STAT_FIELD_OP_SET, values[i]);
    const std::string want = kRule + group(names, values, values);
    for (size_t cap = 128; cap <= want.size() + 1; cap++) {
        for (int i = 0; i < 5; i++)
            s->fields[i].last_value = 0;
        EXPECT_EQ(compose_through(s, cap), want) << cap;
    }
}

// The real printer thread on a pipe.

// 53 '=' then ctime's "Www Mmm dd hh:mm:ss yyyy\n"; in the pattern A is an
// upper-case letter, a a lower-case one, 9 a digit and _ a blank or a digit.
bool is_rule_line(const std::string &line)
{
    static const std::string pattern = std::string(53, '=') + "Aaa Aaa _9 99:99:99 9999\n";
    if (line.size() != pattern.size())
        return false;
    for (size_t i = 0; i < line.size(); i++) {
        char c = line[i], want = pattern[i];
        bool ok = want == 'A'   ? (c >= 'A' && c <= 'Z')
                  : want == 'a' ? (c >= 'a' && c <= 'z')
                  : want == '9' ? (c >= '0' && c <= '9')
                  : want == '_' ? (c == ' ' || (c >= '0' && c <= '9'))
                                : c == want;
        if (!ok)
            return false;
    }
    return true;
}

std::string after_rule_line(const std::string &refresh)
{
    return refresh.substr(refresh.find('\n') + 1);
}

TEST(TallyboardPrinter, FirstTableAppearsAtOnce)
{
    printer_pipe p = open_printer_pipe();
    ASSERT_NE(p.out, nullptr);
    // A long interval: only the immediate first refresh can arrive.
    ASSERT_NE(keep(init_screen_stat(p.out, 3600, SCREEN_STAT_PRINT_ON)), nullptr);
    std::string first = read_lines(p.read_fd, 1);
    EXPECT_TRUE(is_rule_line(first)) << first;
    EXPECT_FALSE(has_data_within(p.read_fd, 1500)) << "a second refresh long before the interval";
}

TEST(TallyboardPrinter, PrintFlagZeroPrintsNothing)
{
    printer_pipe p = open_printer_pipe();
    ASSERT_NE(p.out, nullptr);
    screen_stat *s = keep(init_screen_stat(p.out, 1, 0));
    ASSERT_NE(s, nullptr);
    stat_field_operation(s, stat_field_register(s, "quiet"), STAT_FIELD_OP_ADD, 1);
    EXPECT_FALSE(has_data_within(p.read_fd, 1500));
}

TEST(TallyboardPrinter, RefreshesEveryIntervalWithRatesByIt)
{
    printer_pipe p = open_printer_pipe();
    ASSERT_NE(p.out, nullptr);
    screen_stat *s = keep(init_screen_stat(p.out, 2, SCREEN_STAT_PRINT_ON));
    ASSERT_NE(s, nullptr);
    // Fields are registered only after the first refresh, which has none.
    ASSERT_TRUE(is_rule_line(read_lines(p.read_fd, 1)));
    int a = stat_field_register(s, "grow10");
    int b = stat_field_register(s, "grow3");
    stat_field_operation(s, a, STAT_FIELD_OP_SET, 100);
    stat_field_operation(s, b, STAT_FIELD_OP_SET, 7);

    std::string second = read_lines(p.read_fd, 4);
    EXPECT_TRUE(is_rule_line(second.substr(0, second.find('\n') + 1)));
    EXPECT_EQ(after_rule_line(second), group({"grow10", "grow3"}, {100, 7}, {50, 3}));

    stat_field_operation(s, a, STAT_FIELD_OP_ADD, 10);
    stat_field_operation(s, b, STAT_FIELD_OP_ADD, 3);
    EXPECT_EQ(after_rule_line(read_lines(p.read_fd, 4)),
              group({"grow10", "grow3"}, {110, 10}, {5, 1}));
}

// Registration goes on while the real printer refreshes every second.
TEST(TallyboardPrinter, RegisteringWhileThePrinterRuns)
{
    printer_pipe p = open_printer_pipe();
    ASSERT_NE(p.out, nullptr);
    screen_stat *s = keep(init_screen_stat(p.out, 1, SCREEN_STAT_PRINT_ON));
    ASSERT_NE(s, nullptr);
    std::atomic<bool> done{false};
    std::thread drain([&p, &done] {
        while (!done.load())
            read_lines(p.read_fd, 1, 100);
    });
    for (int i = 0; i < TALLYBOARD_MAX_FIELDS; i++) {
        ASSERT_EQ(stat_field_register(s, ("field" + std::to_string(i)).c_str()), i);
        stat_field_operation(s, i, STAT_FIELD_OP_ADD, i);
        usleep(6000); // spread over more than one refresh
    }
    done = true;
    drain.join();
    // Skip to the start of a refresh composed after the last registration
    // (the one in flight may have been cut by the drain), then read it whole.
    std::string line;
    do
        line = read_lines(p.read_fd, 1);
    while (!line.empty() && !is_rule_line(line));
    do
        line = read_lines(p.read_fd, 1);
    while (!line.empty() && !is_rule_line(line));
    std::string rest = read_lines(p.read_fd, 3 * TALLYBOARD_MAX_FIELDS / 8);
    size_t at = 0;
    for (int i = 0; i < TALLYBOARD_MAX_FIELDS; i++) {
        at = rest.find("field" + std::to_string(i) + "\t", at);
        ASSERT_NE(at, std::string::npos) << "field " << i;
    }
}

} // namespace
