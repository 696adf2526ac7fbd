// Per-thread dump file names, rotation and the walk over a file's records.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <tuple>
#include <vector>

#include <unistd.h>

#include "trawlcap.h"

namespace {

std::string name(const char *base, int index, size_t size = kTextSize)
{
    char out[kTextSize];
    __thread_dumpfile_generate(base, index, out, size);
    return out;
}

TEST(DumpFileName, Table)
{
    struct {
        const char *base;
        int index;
        const char *name;
    } cases[] = {
        {"default.pcap", 0, "default_0.pcap"},
        {"/data/cap", 3, "/data/cap_3"},
        {"a.b.pcap", 1, "a.b_1.pcap"},
        // A dot in a directory name is not a suffix.
        {"/tmp/x.d/file", 0, "/tmp/x.d/file_0"},
        {"./cap", 2, "./cap_2"},
        {"../out/run.pcap", 11, "../out/run_11.pcap"},
        {"dir.v2/", 5, "dir.v2/_5"},
        {"cap.", 1, "cap_1."},
        {"", 0, "_0"},
        {"x.pcap", 127, "x_127.pcap"},
    };
    for (auto &c : cases)
        EXPECT_EQ(name(c.base, c.index), c.name) << c.base << " " << c.index;
}

TEST(DumpFileName, ReturnsFullLengthAndCutsToSize)
{
    char out[8];
    EXPECT_EQ(__thread_dumpfile_generate("default.pcap", 12, out, sizeof(out)), 15);
    EXPECT_STREQ(out, "default");
    std::string base(2047, 'n');
    char big[kTextSize];
    EXPECT_EQ(__thread_dumpfile_generate(base.c_str(), 0, big, sizeof(big)), 2049);
    EXPECT_EQ(strlen(big), 2047u);
}

TEST(DumpFileName, RotatedNamesSortInTimeOrder)
{
    char out[kTextSize];
    // 1796739026 is 2026-12-08 14:10:26 UTC.
    struct {
        const char *stem;
        uint32_t seq;
        const char *name;
    } cases[] = {{"/data/cap_0.pcap", 1, "/data/cap_0_00001_20261208T141026Z.pcap"},
                 {"/d.v2/cap_3", 123456, "/d.v2/cap_3_123456_20261208T141026Z"},
                 {"a.b_1.pcap", 42, "a.b_1_00042_20261208T141026Z.pcap"}};
    for (auto &c : cases) {
        dump_rotated_name(c.stem, c.seq, 1796739026, out, sizeof(out));
        EXPECT_STREQ(out, c.name);
    }
    // A restart numbers on after the highest file of the stem in its folder,
    // compressed ones and what a -z command left included, others' not.
    std::string dir = testing::TempDir() + "trawlcap_seq";
    mkdir(dir.c_str(), 0755);
    for (const char *n :
         {"cap_0_00003_20261208T141026Z.pcap", "cap_0_00007_20261208T141026Z.pcap.gz",
          "cap_0_00004_20261208T141026Z.pcap.idx", "cap_1_00009_20261208T141026Z.pcap",
          "cap_0_x_20261208T141026Z.pcap"})
        close(open((dir + "/" + n).c_str(), O_CREAT | O_WRONLY, 0644));
    EXPECT_EQ(dump_first_free_seq((dir + "/cap_0.pcap").c_str()), 8u);
    EXPECT_EQ(dump_first_free_seq((dir + "/other.pcap").c_str()), 1u);
}

TEST(Rotation, NextFileByTheTable)
{
    // -C 1000 and/or -G 60, a file of the window [120, 180) holding file_bytes.
    struct {
        uint64_t size;
        int64_t seconds;
        uint64_t file_bytes, bytes;
        int64_t sec;
        int64_t start; // -1: the current file takes the record
    } rows[] = {
        {UINT64_MAX, 0, 1 << 30, 100, 500, -1}, // no rotation at all
        {1000, 0, 950, 100, 500, 500},          // -C: named by the record's second
        {1000, 0, 900, 100, 500, -1},           // exactly full still takes it
        {1000, 0, kFileHeader, 5000, 500, -1},  // a record alone larger: the file takes it
        {UINT64_MAX, 60, 500, 100, 179, -1},    // -G: inside the window
        {UINT64_MAX, 60, 500, 100, 180, 180},   // its end starts the next window
        {UINT64_MAX, 60, 500, 100, 250, 240},   // a later one: that record's window
        {UINT64_MAX, 60, 500, 100, 119, 60},    // a stamp that went back
        {1000, 60, 950, 100, 150, 120},         // -C inside a -G window: the same window
    };
    for (const auto &r : rows) {
        int64_t start = -1;
        bool due = dump_rotation_due({r.size, r.seconds}, r.file_bytes, r.bytes, r.sec, 120,
                                     r.seconds ? 180 : INT64_MAX, &start);
        EXPECT_EQ(due ? start : -1, r.start) << r.size << " " << r.seconds << " " << r.sec;
    }
}

// Records of caplen 4, `second` and 2, their headers in either byte order.
std::vector<uint8_t> three_records(uint32_t second, bool swapped)
{
    std::vector<uint8_t> buf;
    for (uint32_t caplen : {4u, second, 2u}) {
        uint32_t field = swapped ? __builtin_bswap32(caplen) : caplen;
        buf.resize(buf.size() + kRecordHeader + caplen);
        memcpy(buf.data() + buf.size() - caplen - 8, &field, sizeof field);
    }
    return buf;
}

TEST(SavefileWalk, WholeRecordsByTheTable)
{
    struct {
        uint32_t second;
        bool written_swapped, read_swapped;
        size_t len, limit; // len 0: all of it
        std::tuple<size_t, uint64_t, bool> walk;
    } rows[] = {
        {10, false, false, 0, SIZE_MAX, {64, 3, false}},           // native
        {10, true, true, 0, SIZE_MAX, {64, 3, false}},             // swapped
        {10, false, true, 0, SIZE_MAX, {0, 0, true}},              // native read as swapped
        {kMaxSnapLen + 1, true, true, 0, SIZE_MAX, {20, 1, true}}, // a damaged length
        {10, false, false, 0, 30, {20, 1, false}},                 // a limit in the second record
        {10, false, false, 0, 10, {20, 1, false}},                 // in the first: taken whole
        {10, false, false, 30, SIZE_MAX, {20, 1, false}},          // a cut header
        {10, false, false, 40, SIZE_MAX, {20, 1, false}},          // a cut record
        // The largest record a reader takes.
        {kMaxSnapLen, false, false, 0, SIZE_MAX, {kMaxSnapLen + 54, 3, false}},
    };
    for (const auto &r : rows) {
        std::vector<uint8_t> buf = three_records(r.second, r.written_swapped);
        savefile_walk w =
            savefile_whole_records(buf.data(), r.len ? r.len : buf.size(), r.limit, r.read_swapped);
        EXPECT_EQ(std::make_tuple(w.end, w.count, w.damaged), r.walk)
            << r.second << " " << r.len << " " << r.limit;
    }
}

TEST(DumpFileName, CharacterDeviceIsTakenAsItIs)
{
    char out[kTextSize];
    std::string link = testing::TempDir() + "trawlcap_null_link";
    unlink(link.c_str());
    ASSERT_EQ(symlink("/dev/null", link.c_str()), 0);
    // Devices, links to them and names of open descriptors are written as they are.
    for (const char *base : {"/dev/null", "/dev/stdout", "/dev/fd/2", link.c_str()}) {
        dump_thread_dumpfile(base, 3, out, sizeof(out));
        EXPECT_STREQ(out, base);
    }
    unlink(link.c_str());
    // Two workers share only a device that keeps nothing; nothing is created in /dev.
    for (const char *base :
         {"/dev/null", "/dev/full", "/dev/tty", "/dev/cap.pcap", "tty, one selected"}) {
        dump_instance d{};
        bool one = base[0] != '/';
        snprintf(d.dumpfile, sizeof(d.dumpfile), "%s", one ? "/dev/tty" : base);
        d.nr_threads = 2;
        d.thread_mask = one ? 2 : 3;
        testing::internal::CaptureStderr();
        int rc = dump_check_dumpfile(&d);
        std::string text = testing::internal::GetCapturedStderr();
        EXPECT_EQ(
            text,
            !strcmp(base, "/dev/tty")
                ? "Cannot share character device /dev/tty among 2 capture threads.\n"
            : !strcmp(base, "/dev/cap.pcap")
                ? "Cannot create dump files in /dev: /dev/cap.pcap is not an existing device.\n"
                : "");
        EXPECT_EQ(rc, text.empty() ? 0 : -1);
    }
}

} // namespace
