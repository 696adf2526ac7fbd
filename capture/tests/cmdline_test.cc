// Command-line rules, checked on the record the parser fills.
#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "trawlcap.h"

namespace {

struct Parsed {
    dump_parse_result result;
    std::unique_ptr<dump_instance> inst;
};

// Parses into a fresh zero-filled record, as main does.
Parsed parse(std::initializer_list<const char *> args)
{
    std::vector<std::string> store{"/usr/local/bin/trawlcap"};
    for (const char *a : args)
        store.emplace_back(a);
    std::vector<char *> argv;
    for (auto &s : store)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    auto inst = std::make_unique<dump_instance>();
    testing::internal::CaptureStderr(); // getopt's own diagnostics
    dump_parse_result r = dump_parse_args(inst.get(), static_cast<int>(store.size()), argv.data());
    testing::internal::GetCapturedStderr();
    return {r, std::move(inst)};
}

uint64_t bits(std::initializer_list<int> idx)
{
    uint64_t m = 0;
    for (int i : idx)
        m |= uint64_t{1} << i;
    return m;
}

TEST(CommandLine, DefaultsWithNoArguments)
{
    auto [r, d] = parse({});
    ASSERT_EQ(r, DUMP_PARSE_OK);
    EXPECT_STREQ(d->app_name, "trawlcap");
    EXPECT_STREQ(d->dev_symbol, "");
    EXPECT_EQ(d->thread_mask, ~uint64_t{0});
    EXPECT_EQ(d->nr_threads, 1u);
    EXPECT_STREQ(d->dumpfile, "default.pcap");
    EXPECT_EQ(d->packet_count, 0u);
    EXPECT_STREQ(d->bpf_rule, "");
    EXPECT_EQ(d->running.load(), 1);
    EXPECT_EQ(d->dump_stream, nullptr);
    EXPECT_EQ(d->pcap_handle, nullptr);
    EXPECT_EQ(d->io_instance, nullptr);
    for (auto *t : d->threads)
        EXPECT_EQ(t, nullptr);
}

TEST(CommandLine, AppNameIsBaseNameCutTo63)
{
    std::string long_name = "/opt/" + std::string(100, 'x');
    std::vector<char *> argv{long_name.data(), nullptr};
    dump_instance d{};
    ASSERT_EQ(dump_parse_args(&d, 1, argv.data()), DUMP_PARSE_OK);
    EXPECT_EQ(std::string(d.app_name), std::string(63, 'x'));

    // A path longer than the working buffer still yields its last component.
    std::string deep = std::string(3000, 'd') + "/trawlcap";
    argv[0] = deep.data();
    dump_instance e{};
    ASSERT_EQ(dump_parse_args(&e, 1, argv.data()), DUMP_PARSE_OK);
    EXPECT_STREQ(e.app_name, "trawlcap");
}

TEST(CommandLine, NumbersUseBaseZeroAndIgnoreTrailingText)
{
    struct {
        const char *arg;
        uint32_t threads;
    } cases[] = {{"0x10", 16}, {"010", 8}, {"4abc", 4}, {"0", 0}, {"128", 128}, {" 7", 7}};
    for (auto &c : cases) {
        auto [r, d] = parse({"-p", c.arg});
        ASSERT_EQ(r, DUMP_PARSE_OK) << c.arg;
        EXPECT_EQ(d->nr_threads, c.threads) << c.arg;
    }
    auto [r, d] = parse({"-c", "0x10000000000"});
    ASSERT_EQ(r, DUMP_PARSE_OK);
    EXPECT_EQ(d->packet_count, uint64_t{1} << 40);
    auto [r0, d0] = parse({"-c", "0"});
    ASSERT_EQ(r0, DUMP_PARSE_OK);
    EXPECT_EQ(d0->packet_count, 0u);
    EXPECT_EQ(parse({"-c", "12abc"}).inst->packet_count, 12u);
}

TEST(CommandLine, NumbersWithoutDigitsAreRejected)
{
    for (const char *opt : {"-p", "-c"})
        for (const char *arg : {"abc", "", "x1"})
            EXPECT_EQ(parse({opt, arg}).result, DUMP_PARSE_USAGE) << opt << " '" << arg << "'";
}

TEST(CommandLine, ThreadCountAboveSlotsIsRefusedNotCut)
{
    // 4294967297 would be 1 in 32 bits, -1 would be huge: none is held.
    for (const char *arg : {"129", "4294967297", "-1", "99999999999999999999999"})
        EXPECT_EQ(parse({"-p", arg}).result, DUMP_PARSE_TOO_MANY_THREADS) << arg;
    EXPECT_EQ(parse({"-p", "128"}).result, DUMP_PARSE_OK);
}

TEST(CommandLine, LastValueWins)
{
    auto [r, d] = parse({"-p", "3", "-p", "5", "-w", "a", "-w", "b", "-i", "x",
                         "-i", "y", "-c", "1", "-c", "9", "-q", "1", "-q", "2"});
    ASSERT_EQ(r, DUMP_PARSE_OK);
    EXPECT_EQ(d->nr_threads, 5u);
    EXPECT_STREQ(d->dumpfile, "b");
    EXPECT_STREQ(d->dev_symbol, "y");
    EXPECT_EQ(d->packet_count, 9u);
    EXPECT_EQ(d->thread_mask, bits({2}));
}

TEST(CommandLine, TextOptionsUpToTheirFields)
{
    std::string dev(63, 'd'), file(2047, 'f');
    auto [r, d] = parse({"-i", dev.c_str(), "-w", file.c_str()});
    ASSERT_EQ(r, DUMP_PARSE_OK);
    EXPECT_EQ(d->dev_symbol, dev);
    EXPECT_EQ(d->dumpfile, file);
    auto [r2, d2] = parse({"-w", "-", "-i", "file:/x,loop=3"});
    ASSERT_EQ(r2, DUMP_PARSE_OK);
    EXPECT_STREQ(d2->dumpfile, "-");
    EXPECT_STREQ(d2->dev_symbol, "file:/x,loop=3");
    EXPECT_EQ(d2->dump_stream, nullptr); // chosen by the run, after the open
}

TEST(CommandLine, TextThatWouldBeCutIsRefused)
{
    // A cut name would open another device or write another file.
    std::string dev(64, 'd'), text(2048, '1');
    EXPECT_EQ(parse({"-i", dev.c_str()}).result, DUMP_PARSE_DEVICE_TOO_LONG);
    EXPECT_EQ(parse({"-w", text.c_str()}).result, DUMP_PARSE_DUMPFILE_TOO_LONG);
    EXPECT_EQ(parse({"-q", text.c_str()}).result, DUMP_PARSE_LIST_TOO_LONG);
    std::string list(2047, ',');
    list.back() = '5';
    auto [r, d] = parse({"-q", list.c_str()});
    ASSERT_EQ(r, DUMP_PARSE_OK);
    EXPECT_EQ(d->thread_mask, bits({5}));
}

TEST(CommandLine, SelectionList)
{
    struct {
        const char *arg;
        uint64_t mask;
    } cases[] = {
        {",,3,,5,", bits({3, 5})}, {"65", bits({1})},         {"3x", bits({3})},
        {"0x2", bits({2})},        {"0", bits({0})},          {"1,1,1", bits({1})},
        {"63,64", bits({63, 0})},  {"4294967296", bits({0})}, // low 32 bits are 0
        {"010", bits({8})},        {"7,", bits({7})},
    };
    for (auto &c : cases) {
        auto [r, d] = parse({"-q", c.arg});
        ASSERT_EQ(r, DUMP_PARSE_OK) << c.arg;
        EXPECT_EQ(d->thread_mask, c.mask) << c.arg;
    }
}

TEST(CommandLine, SelectionListRejections)
{
    // 2147483648 is negative in 32 bits; 1,abc has an entry without digits.
    for (const char *arg : {",,,,", "", "abc", "-1", "2147483648", "1,abc", "3,-2"})
        EXPECT_EQ(parse({"-q", arg}).result, DUMP_PARSE_USAGE) << "'" << arg << "'";
}

TEST(CommandLine, UnknownOptionOrMissingArgument)
{
    EXPECT_EQ(parse({"-x"}).result, DUMP_PARSE_USAGE);
    EXPECT_EQ(parse({"-p"}).result, DUMP_PARSE_USAGE);
    EXPECT_EQ(parse({"tcp", "-w"}).result, DUMP_PARSE_USAGE);
}

TEST(CommandLine, FilterWordsJoinedWithTrailingBlanks)
{
    auto [r, d] = parse({"-p", "2", "tcp", "port", "80"});
    ASSERT_EQ(r, DUMP_PARSE_OK);
    EXPECT_STREQ(d->bpf_rule, "tcp port 80 ");
    // getopt permutes: options after words still count as options.
    auto [r2, d2] = parse({"udp", "-c", "5", "and", "port 53"});
    ASSERT_EQ(r2, DUMP_PARSE_OK);
    EXPECT_EQ(d2->packet_count, 5u);
    EXPECT_STREQ(d2->bpf_rule, "udp and port 53 ");
    // "--" ends the options, so a word may start with '-'.
    auto [r3, d3] = parse({"--", "-p"});
    ASSERT_EQ(r3, DUMP_PARSE_OK);
    EXPECT_STREQ(d3->bpf_rule, "-p ");
}

TEST(CommandLine, FilterTextLimit)
{
    std::string word(2046, 'a'); // with its blank: 2047 characters, fits
    auto [r, d] = parse({word.c_str()});
    ASSERT_EQ(r, DUMP_PARSE_OK);
    EXPECT_EQ(strlen(d->bpf_rule), 2047u);
    word.push_back('a');
    EXPECT_EQ(parse({word.c_str()}).result, DUMP_PARSE_FILTER_TOO_LONG);
    std::string half(1023, 'b'); // two words, 2048 characters joined
    EXPECT_EQ(parse({half.c_str(), half.c_str()}).result, DUMP_PARSE_FILTER_TOO_LONG);
}

TEST(CommandLine, ParsingTwiceGivesTheSameRecord)
{
    auto a = parse({"-p", "3", "-q", "1,2", "ip"});
    auto b = parse({"-p", "3", "-q", "1,2", "ip"});
    ASSERT_EQ(a.result, DUMP_PARSE_OK);
    ASSERT_EQ(b.result, DUMP_PARSE_OK);
    EXPECT_EQ(b.inst->nr_threads, 3u);
    EXPECT_EQ(b.inst->thread_mask, bits({1, 2}));
    EXPECT_STREQ(b.inst->bpf_rule, "ip ");
}

TEST(CommandLine, NewerOptions)
{
    constexpr uint64_t kMiB = uint64_t{1} << 20;
    auto [r, d] = parse({"-C", "64", "-G", "3600", "-W", "4", "--min-free=2G", "-s", "0", "-j",
                         "arrival", "--nano", "-z", "gzip", "-Z", "nobody", "-S", "/run/t.prom"});
    ASSERT_EQ(r, DUMP_PARSE_OK) << d->refusal;
    EXPECT_EQ(d->rotate_size, 64000000u); // tcpdump's unit: millions of bytes
    EXPECT_EQ(d->rotate_seconds, 3600u);
    EXPECT_EQ(d->file_count, 4u);
    EXPECT_EQ(d->min_free, 2048 * kMiB);
    EXPECT_EQ(d->snaplen, kMaxSnapLen);
    EXPECT_EQ(d->tstamp_type, DUMP_TSTAMP_ARRIVAL);
    EXPECT_EQ(d->nano, 1u);
    EXPECT_STREQ(d->post_command, "gzip");
    EXPECT_STREQ(d->run_as, "nobody");
    EXPECT_STREQ(d->stats_file, "/run/t.prom");
    struct {
        std::initializer_list<const char *> args;
        uint64_t size;
        uint32_t snaplen;
    } rows[] = {{{"-C", "1k"}, 1024, 0},
                {{"-C", "3M"}, 3 * kMiB, 0},
                {{"--file-size=2g"}, 2048 * kMiB, 0},
                {{"-s", "96"}, 0, 96},
                {{"--snapshot-length", "262144"}, 0, kMaxSnapLen},
                // Decimal only: a leading 0 is not octal.
                {{"-C", "010"}, 10000000, 0},
                {{"-C", "1048576G"}, uint64_t{1} << 50, 0},
                {{"-s", "010"}, 0, 10},

                {{"-G", "60", "--min-free=1G"}, 0, 0}}; // -G alone rotates too
    for (auto &row : rows) {
        auto [rr, dd] = parse(row.args);
        ASSERT_EQ(rr, DUMP_PARSE_OK) << *row.args.begin();
        EXPECT_EQ(dump_check_options(dd.get()), DUMP_PARSE_OK) << dd->refusal;
        EXPECT_EQ(dd->rotate_size, row.size) << *row.args.begin();
        EXPECT_EQ(dd->snaplen, row.snaplen) << *row.args.begin();
    }
    EXPECT_EQ(parse({"-G", "010", "-W", "007"}).inst->rotate_seconds, 10u);
    EXPECT_EQ(parse({"-G", "010", "-W", "007"}).inst->file_count, 7u);
    EXPECT_EQ(parse({"--time-stamp-precision=micro", "--nano", "-j", "write"}).inst->nano, 1u);
    // --check counts wherever it stands as an option, also after a refusal;
    // as a value or a filter word it is none.
    EXPECT_EQ(parse({"-i", "x", "--check"}).inst->check_only, 1u);
    EXPECT_EQ(parse({"-C", "0", "--check"}).inst->check_only, 1u);
    EXPECT_EQ(parse({"-x", "-h", "--check"}).inst->check_only, 1u);
    EXPECT_EQ(parse({"-z", "--check"}).inst->check_only, 0u);
    EXPECT_EQ(parse({"-C", "0", "--", "--check"}).inst->check_only, 0u);
    EXPECT_EQ(parse({"--write-queue=64"}).inst->write_queue, 64000000u);
    EXPECT_EQ(parse({"-h"}).result, DUMP_PARSE_HELP);
    EXPECT_EQ(parse({"-p", "2", "--version"}).result, DUMP_PARSE_VERSION);
    EXPECT_EQ(parse({"--list-options"}).result, DUMP_PARSE_LIST_OPTIONS);
}

TEST(CommandLine, NewerOptionsRefuseBadValuesNamingThem)
{
    const std::string user(64, 'u');
    for (auto args : {std::initializer_list<const char *>{"-C", "0"},
                      {"-C", "1x"},
                      {"-C", "2T"},
                      {"-C", "9999999999G"},
                      {"-C", ""},
                      {"-G", "0"},
                      {"-G", "2147483648"},
                      {"-G", "1.5"},
                      // Not C notation, unlike -p and -c: no hex, sign, blank or text.
                      {"-C", "0x10"},
                      {"-C", "1125899907"}, // just over 2^50 bytes
                      {"-G", "0x10"},
                      {"-G", "1x"},
                      {"-G", "+5"},
                      {"-W", " 5"},
                      {"-s", "0x10"},
                      {"-s", "00"}, // only 0 itself stands for the largest
                      {"-W", "0"},
                      {"-W", "-1"},
                      {"--min-free=k"},
                      {"--write-queue=1023k"},
                      {"-s", "262145"},
                      {"-s", "-1"},
                      {"-j", "host"},
                      {"--time-stamp-precision=milli"},
                      {"-z", ""},
                      {"-Z", user.c_str()}}) {
        auto [r, d] = parse(args);
        EXPECT_EQ(r, DUMP_PARSE_REFUSED) << *args.begin();
        std::string value = std::data(args)[args.size() - 1];
        value = value.substr(value.find('=') + 1);
        EXPECT_NE(std::string(d->refusal).find("'" + value.substr(0, 64)), std::string::npos)
            << d->refusal;
    }
}

TEST(CommandLine, RefusalMessagesNameTheLimit)
{
    struct {
        dump_parse_result result;
        const char *limit;
    } cases[] = {{DUMP_PARSE_TOO_MANY_THREADS, "128"},   {DUMP_PARSE_DEVICE_TOO_LONG, "63"},
                 {DUMP_PARSE_DUMPFILE_TOO_LONG, "2047"}, {DUMP_PARSE_LIST_TOO_LONG, "2047"},
                 {DUMP_PARSE_FILTER_TOO_LONG, "2047"},   {DUMP_PARSE_USAGE, nullptr}};
    for (auto &c : cases) {
        testing::internal::CaptureStderr();
        dump_instance d{};
        dump_parse_complain(&d, c.result);
        std::string text = testing::internal::GetCapturedStderr();
        if (!c.limit) {
            EXPECT_EQ(text, "");
            continue;
        }
        EXPECT_EQ(text.rfind("Cannot ", 0), 0u) << text;
        EXPECT_NE(text.find(c.limit), std::string::npos) << text;
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    }
}

} // namespace
