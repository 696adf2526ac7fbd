// Unit tests of the identifier layout and the local time conversions.
// Expected instants were worked out with Python's zoneinfo, not this code.

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "streamid.h"

namespace {

struct field_case {
    unsigned long long id;
    stream_fields want;
};

TEST(StreamIdDecode, KnownIdentifiersAndFieldEdges)
{
    const unsigned long long one = 1;
    const field_case cases[] = {
        {2274325413085511680ULL, {1010, 0, 231972150, 0}},
        {2274319137695858688ULL, {1010, 0, 40462456, 0}},
        {0, {0, 0, 0, 0}},
        {18446744073709551615ULL, {4095, 255, 268435455, 32767}},
        {one << 63, {0, 0, 0, 0}}, // the top bit is no field's
        {(one << 63) - 1, {4095, 255, 268435455, 32767}},
        {one << 14, {0, 0, 0, 16384}},     // sequence top
        {one << 15, {0, 0, 1, 0}},         // relative time bottom
        {one << 42, {0, 0, 134217728, 0}}, // relative time top
        {one << 43, {0, 1, 0, 0}},         // thread bottom
        {one << 50, {0, 128, 0, 0}},       // thread top
        {one << 51, {1, 0, 0, 0}},         // device bottom
        {one << 62, {2048, 0, 0, 0}},      // device top
    };
    for (const field_case &c : cases) {
        const stream_fields got = stream_id_decode(c.id);
        SCOPED_TRACE(c.id);
        EXPECT_EQ(got.device_id, c.want.device_id);
        EXPECT_EQ(got.thread_id, c.want.thread_id);
        EXPECT_EQ(got.relative_time, c.want.relative_time);
        EXPECT_EQ(got.sequence, c.want.sequence);
    }
    EXPECT_EQ(kRtimePeriod, 268435456);
}

// Each test names the zone it needs; libc reads TZ again on tzset().
void use_zone(const char *zone)
{
    setenv("TZ", zone, 1);
    tzset();
}

std::string formatted(long long t)
{
    char text[kTimeTextSize];
    EXPECT_EQ(format_local_time(t, text), 0) << t;
    return text;
}

TEST(FormatLocalTime, UtcAndBerlin)
{
    use_zone("UTC");
    EXPECT_EQ(formatted(0), "1970-01-01 00:00:00");
    EXPECT_EQ(formatted(231972150), "1977-05-08 20:42:30");
    EXPECT_EQ(formatted(2684354559LL), "2055-01-23 22:02:39"); // latest candidate
    EXPECT_EQ(formatted(-1), "1969-12-31 23:59:59");
    use_zone("Europe/Berlin");
    EXPECT_EQ(formatted(0), "1970-01-01 01:00:00");
    EXPECT_EQ(formatted(1533708000), "2018-08-08 08:00:00"); // summer time
    EXPECT_EQ(formatted(2684354559LL), "2055-01-23 23:02:39");
}

TEST(FormatLocalTime, FailureLeavesEmptyText)
{
    use_zone("UTC");
    char text[kTimeTextSize] = "stale";
    // Beyond what a broken-down year (an int) can hold.
    EXPECT_EQ(format_local_time(0x7fffffffffffffffLL, text), -1);
    EXPECT_STREQ(text, "");
}

TEST(BaseTimeParse, SummerAndWinter)
{
    long long t = 0;
    use_zone("UTC");
    ASSERT_EQ(base_time_parse("2018-08-08 08:00:00", &t), 0);
    EXPECT_EQ(t, 1533715200);
    use_zone("Europe/Berlin");
    ASSERT_EQ(base_time_parse("2018-08-08 08:00:00", &t), 0);
    EXPECT_EQ(t, 1533708000); // UTC+2: summer time was recognised
    ASSERT_EQ(base_time_parse("2018-01-08 08:00:00", &t), 0);
    EXPECT_EQ(t, 1515394800); // UTC+1
    ASSERT_EQ(base_time_parse("2018-08-08 08:00:00 and more", &t), 0);
    EXPECT_EQ(t, 1533708000);
}

TEST(BaseTimeParse, RejectsIncompleteOrOutOfRangeText)
{
    const char *bad[] = {"2018-08-08",
                         "",
                         "abc",
                         "2018-08-08 08:00",
                         "2018/08/08 08:00:00",
                         "2018-13-01 00:00:00",
                         "2018-08-08 24:00:00",
                         "\xff\xfe\x01"};
    for (const char *text : bad) {
        long long t = 12345;
        EXPECT_EQ(base_time_parse(text, &t), -1) << '"' << text << '"';
        EXPECT_EQ(t, 12345);
    }
    const std::string huge(100000, '9');
    long long t = 0;
    EXPECT_EQ(base_time_parse(huge.c_str(), &t), -1);
}

} // namespace
