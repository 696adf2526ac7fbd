// The command line: the option table, its parsers into the run record, the
// usage text, and what a refused command line prints and returns.
#include <getopt.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include <zstd.h>

#include "trawlcap.h"

// Last, so that basename is the POSIX one (glibc renames it by macro).
#include <libgen.h>

namespace {

// strtoull in base 0, trailing characters ignored. False for "0 read from no
// digit at all" (empty text, "abc"); the only rejection the option rules know.
bool parse_number(const char *text, unsigned long long *value)
{
    char *end = nullptr;
    errno = 0;
    *value = strtoull(text, &end, 0);
    return *value != 0 || end != text;
}

// Copies text whole into a field of `size` bytes; false when it would be cut.
bool copy_text(char *field, size_t size, const char *text)
{
    if (strlen(text) >= size)
        return false;
    snprintf(field, size, "%s", text);
    return true;
}

// One -q entry, read as strtol reads it (base 0, trailing text ignored):
// false when no digit starts it or when its low 32 bits are negative.
bool parse_index(std::string_view entry, uint32_t *index)
{
    // strtol must stop at the entry's end; the whole list fits the buffer.
    char text[kTextSize];
    snprintf(text, sizeof(text), "%.*s", static_cast<int>(entry.size()), entry.data());
    char *end = nullptr;
    long value = strtol(text, &end, 0);
    if (value == 0 && end == text)
        return false;
    auto low = static_cast<int32_t>(static_cast<uint32_t>(value));
    if (low < 0)
        return false;
    *index = static_cast<uint32_t>(low);
    return true;
}

// -q: comma-separated worker indexes; bit (index mod 64) of a fresh mask.
// The caller has checked that the list is shorter than kTextSize.
bool parse_selection(std::string_view rest, uint64_t *mask)
{
    size_t first = rest.find_first_not_of(',');
    if (first == std::string_view::npos)
        return false;
    rest.remove_prefix(first);

    uint64_t selected = 0;
    while (!rest.empty()) {
        size_t len = std::min(rest.find(','), rest.size());
        if (len > 0) {
            uint32_t index = 0;
            if (!parse_index(rest.substr(0, len), &index))
                return false;
            selected |= uint64_t{1} << (index % 64);
        }
        rest.remove_prefix(std::min(len + 1, rest.size()));
    }
    *mask = selected;
    return true;
}

void set_defaults(dump_instance *instance, int argc, char **argv)
{
    // The base name is at the end of argv[0]: keep the end of an over-long one.
    char name[kTextSize];
    const char *prog = argc > 0 && argv[0] ? argv[0] : "";
    size_t prog_len = strlen(prog);
    snprintf(name, sizeof(name), "%s",
             prog + (prog_len >= sizeof(name) ? prog_len - (sizeof(name) - 1) : 0));
    snprintf(instance->app_name, sizeof(instance->app_name), "%s", basename(name));
    snprintf(instance->dumpfile, sizeof(instance->dumpfile), "%s", "default.pcap");
    instance->nr_threads = 1;
    instance->running.store(1, std::memory_order_relaxed);
    instance->thread_mask = ~uint64_t{0};
}

// Each word followed by one blank. A cut rule would select other packets
// than asked for, so text that does not fit is refused.
dump_parse_result join_filter_words(dump_instance *instance, int first, int argc, char **argv)
{
    char rule[kTextSize];
    size_t len = 0;
    rule[0] = '\0';
    for (int i = first; i < argc; i++) {
        int n = snprintf(rule + len, sizeof(rule) - len, "%s ", argv[i]);
        if (n < 0 || static_cast<size_t>(n) >= sizeof(rule) - len)
            return DUMP_PARSE_FILTER_TOO_LONG;
        len += static_cast<size_t>(n);
    }
    snprintf(instance->bpf_rule, sizeof(instance->bpf_rule), "%s", rule);
    return DUMP_PARSE_OK;
}

} // namespace

namespace {

// Long forms, and the options that have no letter. Where tcpdump has the
// same idea the letter and the long name are tcpdump's.
enum : int {
    kOptVersion = 256,
    kOptNano,
    kOptPrecision,
    kOptMinFree,
    kOptCheck,
    kOptWriteQueue,
    kOptCompress,
    kOptIndex,
    kOptListOptions,
};

// Everything the program says about an option, in one place: getopt's
// tables, the usage text of -h and the list the shell completion asks for
// (--list-options) are all made from it. `help` may hold one %llu, filled
// with `value` (a limit or default from the constants); a '\n' in it starts
// a continuation line.
struct option_fact {
    int val;           // the letter, or a kOpt* for a long-only option
    const char *name;  // the long name, or null
    const char *arg;   // the argument's name in the help, null for none
    const char *usage; // its word in the usage synopsis, null: none
    const char *help;  // null: not in the help (hidden, or said with another)
    unsigned long long value;
};

constexpr option_fact kOptionFacts[] = {
    {'p', nullptr, "N", "[-p threads]", "workers and receive streams, 0 to %llu (default 1)",
     kMaxThreads},
    {'c', nullptr, "N", "[-c count]", "stop after about N packets, shared among the workers", 0},
    {'i', nullptr, "DEVICE", "[-i device]", "the device to capture from (see below)", 0},
    {'w', nullptr, "FILE", "[-w dumpfile]",
     "dump file; worker i writes FILE with _i before its suffix;\n"
     "- writes one stream to standard output (default default.pcap)",
     0},
    {'q', nullptr, "LIST", "[-q list]", "run only these workers, e.g. 0,2", 0},
    {'C', "file-size", "SIZE", "[-C size]",
     "start a new file before one grows past SIZE\n(millions of bytes, or with k, M, G)", 0},
    {'G', "rotate-seconds", "SECONDS", "[-G seconds]",
     "start a new file at every multiple of SECONDS of the clock", 0},
    {'W', "file-count", "COUNT", "[-W count]",
     "keep each worker's newest COUNT files (with -C or -G)", 0},
    {kOptMinFree, "min-free", "SIZE", "[--min-free=size]",
     "remove the run's oldest closed files to keep SIZE free", 0},
    {'z', "postrotate-command", "COMMAND", "[-z command]", "run COMMAND FILE on every closed file",
     0},
    {'Z', "relinquish-privileges", "USER", "[-Z user]",
     "started as root: run as USER once the device is open", 0},
    {'S', "stats-file", "FILE", "[-S statsfile]",
     "keep statistics in FILE (Prometheus text), every second", 0},
    {'j', "time-stamp-type", "TYPE", "[-j write|arrival]",
     "time stamps: write (the clock when written, default) or\n"
     "arrival (the packet source's own)",
     0},
    {kOptNano, "nano", nullptr, "[--nano]", "nanosecond time stamps", 0},
    {kOptPrecision, "time-stamp-precision", "micro|nano", nullptr, nullptr, 0},
    {'s', "snapshot-length", "SNAPLEN", "[-s snaplen]",
     "write at most SNAPLEN bytes of each packet (0: %llu)", kMaxSnapLen},
    {kOptCheck, "check", nullptr, "[--check]",
     "check the command line as a run would, capture nothing:\n"
     "status 0 when it would capture, 1 when it is refused",
     0},
    {kOptWriteQueue, "write-queue", "SIZE", "[--write-queue=size]",
     "each worker's queue of records for its writer: an output\n"
     "that stalls loses nothing until it is full (default %lluM)",
     kDefaultWriteQueue >> 20},
    {kOptCompress, "compress", "zstd[:LEVEL]", "[--compress=zstd[:level]]",
     "write files of zstd frames, named FILE.zst (level\n"
     "default %llu); -C then counts the compressed bytes",
     kZstdDefaultLevel},
    {kOptIndex, "index", nullptr, "[--index]",
     "write FILE.idx beside each file as it closes, so that\n"
     "trawlcap-extract finds packets without reading it all",
     0},
    {'h', "help", nullptr, nullptr, "this text;  --version  the version", 0},
    {kOptVersion, "version", nullptr, nullptr, nullptr, 0},
    {kOptListOptions, "list-options", nullptr, nullptr, nullptr, 0},
};
constexpr size_t kNrOptions = sizeof(kOptionFacts) / sizeof(kOptionFacts[0]);

// getopt's tables, made from the facts once.
char g_short_options[2 * kNrOptions + 1];
struct option g_long_options[kNrOptions + 1];

void make_option_tables()
{
    size_t s = 0;
    size_t l = 0;
    for (const option_fact &f : kOptionFacts) {
        if (f.val < 256) {
            g_short_options[s++] = static_cast<char>(f.val);
            if (f.arg)
                g_short_options[s++] = ':';
        }
        if (f.name)
            g_long_options[l++] = {f.name, f.arg ? required_argument : no_argument, nullptr, f.val};
    }
    g_short_options[s] = '\0';
    g_long_options[l] = {nullptr, 0, nullptr, 0};
}

// What the usage text says after the options.
void print_usage_tail()
{
    fputs("Numbers: -p, -c and -q in C notation (0x10 is 16, 010 is 8, text after the\n"
          "digits ignored); -C, -G, -W, -s, --min-free and --write-queue decimal digits\n"
          "only (010 is 10).\n"
          "Devices of the packet I/O stand-in:\n"
          "  file:PATH[,loop=N]                                     replay a savefile\n"
          "  IFNAME[,promisc=0|1][,ring=SIZE][,fanout=hash|lb|cpu]  capture live\n"
          "Example:\n"
          "  trawlcap -p 4 -i eth0 -w /data/cap.pcap -C 1G -W 100 -j arrival 'tcp port 443'\n"
          "See trawlcap(1).\n",
          stdout);
}

// The left column of an option's help line: -p N, --min-free=SIZE, -h, --help.
void option_forms(const option_fact &f, char *out, size_t size)
{
    if (f.val < 256 && f.val == 'h')
        snprintf(out, size, "-h, --help");
    else if (f.val < 256)
        snprintf(out, size, "-%c%s%s", f.val, f.arg ? " " : "", f.arg ? f.arg : "");
    else
        snprintf(out, size, "--%s%s%s", f.name, f.arg ? "=" : "", f.arg ? f.arg : "");
}

// A decimal count with nothing after it, from 1 to max.
bool parse_count(const char *text, uint64_t max, uint64_t *value)
{
    uint64_t v = 0;
    auto [end, ec] = std::from_chars(text, text + strlen(text), v);
    if (ec != std::errc() || *end != '\0' || end == text || v == 0 || v > max)
        return false;
    *value = v;
    return true;
}

// SIZE as tcpdump's -C takes it: a count of millions of bytes, or a count
// with k, M or G (powers of 1024). At least 1, at most 2^50 bytes.
bool parse_size(const char *text, uint64_t *bytes)
{
    uint64_t v = 0;
    auto [end, ec] = std::from_chars(text, text + strlen(text), v);
    if (ec != std::errc() || end == text || v == 0)
        return false;
    std::string_view unit(end);
    uint64_t scale = unit.empty()                 ? 1000000
                     : unit == "k" || unit == "K" ? uint64_t{1} << 10
                     : unit == "m" || unit == "M" ? uint64_t{1} << 20
                     : unit == "g" || unit == "G" ? uint64_t{1} << 30
                                                  : 0;
    constexpr uint64_t kMaxBytes = uint64_t{1} << 50;
    if (scale == 0 || v > kMaxBytes / scale)
        return false;
    *bytes = v * scale;
    return true;
}

// Whether getopt's result is one of the letters (long-only options are
// numbered above any letter).
bool is_letter_of(int opt, const char *letters)
{
    return opt > 0 && opt < 256 && strchr(letters, opt) != nullptr;
}

constexpr char kSizeWant[] = "give millions of bytes, or a number with k, M or G";

// -C, -G, -W, --min-free: rotation and retention.
dump_parse_result parse_rotation_option(dump_instance *instance, int opt, const char *arg)
{
    uint64_t v = 0;
    switch (opt) {
    case 'C':
        if (!parse_size(arg, &instance->rotate_size))
            return dump_refuse(instance, "rotate at a file size of '%s': %s", arg, kSizeWant);
        return DUMP_PARSE_OK;
    case kOptMinFree:
        if (!parse_size(arg, &instance->min_free))
            return dump_refuse(instance, "keep '%s' free: %s", arg, kSizeWant);
        return DUMP_PARSE_OK;
    }
    if (!parse_count(arg, INT32_MAX, &v))
        return dump_refuse(instance,
                           opt == 'G'
                               ? "rotate every '%s' seconds: give a whole number from 1 to %d"
                               : "keep '%s' files: give a whole number from 1 to %d",
                           arg, INT32_MAX);
    (opt == 'G' ? instance->rotate_seconds : instance->file_count) = static_cast<uint32_t>(v);
    return DUMP_PARSE_OK;
}

// -s, -j, --nano, --time-stamp-precision: what a record holds.
dump_parse_result parse_record_option(dump_instance *instance, int opt, const char *arg)
{
    uint64_t v = 0;
    switch (opt) {
    case 's':
        if (strcmp(arg, "0") == 0) {
            instance->snaplen = kMaxSnapLen;
            return DUMP_PARSE_OK;
        }
        if (!parse_count(arg, kMaxSnapLen, &v))
            return dump_refuse(instance, "use a snapshot length of '%s': give 0 to %u (0 for %u)",
                               arg, kMaxSnapLen, kMaxSnapLen);
        instance->snaplen = static_cast<uint32_t>(v);
        return DUMP_PARSE_OK;
    case 'j':
        if (strcmp(arg, "write") != 0 && strcmp(arg, "arrival") != 0)
            return dump_refuse(instance, "take time stamps of type '%s': give write or arrival",
                               arg);
        instance->tstamp_type = arg[0] == 'a' ? DUMP_TSTAMP_ARRIVAL : DUMP_TSTAMP_WRITE;
        return DUMP_PARSE_OK;
    case kOptNano:
        instance->nano = 1;
        return DUMP_PARSE_OK;
    }
    if (strcmp(arg, "micro") != 0 && strcmp(arg, "nano") != 0)
        return dump_refuse(instance, "write time stamps of precision '%s': give micro or nano",
                           arg);
    instance->nano = arg[0] == 'n';
    return DUMP_PARSE_OK;
}

// --compress=zstd[:LEVEL]: the codec, and a level within what the
// library in use takes (negative levels are its fastest).
dump_parse_result parse_compress(dump_instance *instance, const char *arg)
{
    std::string_view text(arg);
    size_t colon = text.find(':');
    std::string_view codec = text.substr(0, colon);
    if (codec != "zstd")
        return dump_refuse(instance, "compress with '%.*s': give zstd or zstd:LEVEL",
                           static_cast<int>(std::min<size_t>(codec.size(), 64)), arg);
    int level = kZstdDefaultLevel;
    if (colon != std::string_view::npos) {
        std::string_view digits = text.substr(colon + 1);
        auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), level);
        if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty() ||
            level < ZSTD_minCLevel() || level > ZSTD_maxCLevel())
            return dump_refuse(instance, "compress at zstd level '%.*s': give %d to %d",
                               static_cast<int>(std::min<size_t>(digits.size(), 64)), digits.data(),
                               ZSTD_minCLevel(), ZSTD_maxCLevel());
    }
    instance->compress = DUMP_CODEC_ZSTD;
    instance->compress_level = level;
    return DUMP_PARSE_OK;
}

// The options that have no place in the classic set.
dump_parse_result parse_newer_option(dump_instance *instance, int opt, const char *arg)
{
    if (opt == kOptCompress)
        return parse_compress(instance, arg);
    if (opt == kOptIndex) {
        instance->index = 1;
        return DUMP_PARSE_OK;
    }
    if (is_letter_of(opt, "CGW") || opt == kOptMinFree)
        return parse_rotation_option(instance, opt, arg);
    // At least one buffer; whether the machine has the memory is checked
    // with the workers' count (dump_check_options).
    if (opt == kOptWriteQueue) {
        if (!parse_size(arg, &instance->write_queue) || instance->write_queue < kDumpBufferSize)
            return dump_refuse(instance, "keep a write queue of '%s': %s, at least 1M", arg,
                               kSizeWant);
        return DUMP_PARSE_OK;
    }
    if (is_letter_of(opt, "sj") || opt == kOptNano || opt == kOptPrecision)
        return parse_record_option(instance, opt, arg);
    // -z, -Z, -S: text kept whole.
    char *field = opt == 'z'   ? instance->post_command
                  : opt == 'Z' ? instance->run_as
                               : instance->stats_file;
    size_t size = opt == 'Z' ? sizeof(instance->run_as) : kTextSize;
    if (arg[0] == '\0' || !copy_text(field, size, arg))
        return dump_refuse(instance, "use '%.64s' for -%c: give 1 to %zu characters", arg, opt,
                           size - 1);
    return DUMP_PARSE_OK;
}

// The classic options: their rules are those of the original getopt loop.
dump_parse_result parse_classic_option(dump_instance *instance, int opt, const char *arg)
{
    unsigned long long value = 0;
    switch (opt) {
    case 'p':
        if (!parse_number(arg, &value))
            return DUMP_PARSE_USAGE;
        // Refused rather than cut to 32 bits: the record has 128 slots.
        if (value > kMaxThreads)
            return DUMP_PARSE_TOO_MANY_THREADS;
        instance->nr_threads = static_cast<uint32_t>(value);
        return DUMP_PARSE_OK;
    case 'c':
        if (!parse_number(arg, &value))
            return DUMP_PARSE_USAGE;
        instance->packet_count = value;
        return DUMP_PARSE_OK;
    case 'i':
        return copy_text(instance->dev_symbol, sizeof(instance->dev_symbol), arg)
                   ? DUMP_PARSE_OK
                   : DUMP_PARSE_DEVICE_TOO_LONG;
    case 'w':
        return copy_text(instance->dumpfile, sizeof(instance->dumpfile), arg)
                   ? DUMP_PARSE_OK
                   : DUMP_PARSE_DUMPFILE_TOO_LONG;
    case 'q':
        if (strlen(arg) >= kTextSize)
            return DUMP_PARSE_LIST_TOO_LONG;
        return parse_selection(arg, &instance->thread_mask) ? DUMP_PARSE_OK : DUMP_PARSE_USAGE;
    }
    return DUMP_PARSE_USAGE;
}

} // namespace

dump_parse_result dump_refuse(dump_instance *instance, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    vsnprintf(instance->refusal, sizeof(instance->refusal), format, args);
    va_end(args);
    return DUMP_PARSE_REFUSED;
}

namespace {

// The scan stopped at a refusal, -h or --version: whether --check is among
// the options after it, so that --check decides the exit status wherever it
// stands. Silent: getopt has said what it had to about the options that
// counted, and nothing else is taken.
void find_check_option(dump_instance *instance, int argc, char **argv)
{
    int said = opterr;
    opterr = 0;
    int opt;
    while ((opt = getopt_long(argc, argv, g_short_options, g_long_options, nullptr)) != -1)
        if (opt == kOptCheck)
            instance->check_only = 1;
    opterr = said;
}

} // namespace

dump_parse_result dump_parse_args(dump_instance *instance, int argc, char **argv)
{
    set_defaults(instance, argc, argv);
    make_option_tables();
    // Full re-initialisation of glibc's getopt, so that tests can parse again.
    optind = 0;
    int opt;
    while ((opt = getopt_long(argc, argv, g_short_options, g_long_options, nullptr)) != -1) {
        dump_parse_result r = DUMP_PARSE_OK;
        if (opt == 'h')
            r = DUMP_PARSE_HELP;
        else if (opt == kOptVersion)
            r = DUMP_PARSE_VERSION;
        else if (opt == kOptListOptions)
            r = DUMP_PARSE_LIST_OPTIONS;
        else if (opt == kOptCheck)
            instance->check_only = 1;
        else if (is_letter_of(opt, "pciwq"))
            r = parse_classic_option(instance, opt, optarg);
        else if (opt != '?' && opt != ':')
            r = parse_newer_option(instance, opt, optarg);
        else
            r = DUMP_PARSE_USAGE;
        if (r != DUMP_PARSE_OK) {
            find_check_option(instance, argc, argv);
            return r;
        }
    }
    return join_filter_words(instance, optind, argc, argv);
}

void dump_parse_complain(const dump_instance *instance, dump_parse_result result)
{
    switch (result) {
    case DUMP_PARSE_TOO_MANY_THREADS:
        cannot("run more than %u capture threads.", kMaxThreads);
        break;
    case DUMP_PARSE_DEVICE_TOO_LONG:
        cannot("use a device name longer than %zu characters.", kNameSize - 1);
        break;
    case DUMP_PARSE_DUMPFILE_TOO_LONG:
        cannot("use a dumpfile name longer than %zu characters.", kTextSize - 1);
        break;
    case DUMP_PARSE_LIST_TOO_LONG:
        cannot("use a thread list longer than %zu characters.", kTextSize - 1);
        break;
    case DUMP_PARSE_FILTER_TOO_LONG:
        cannot("use a bpf rule longer than %zu characters.", kTextSize - 1);
        break;
    case DUMP_PARSE_REFUSED:
        cannot("%s.", instance->refusal);
        break;
    case DUMP_PARSE_HELP:
        dump_print_usage(instance->app_name);
        break;
    case DUMP_PARSE_VERSION:
        printf("trawlcap %s\n", TRAWLKIT_VERSION);
        break;
    case DUMP_PARSE_LIST_OPTIONS:
        dump_list_options();
        break;
    case DUMP_PARSE_USAGE:
        // Otherwise silent, as the classic program is; a service manager's
        // log should still say why --check failed.
        if (instance->check_only)
            cannot("take this command line: an unknown option, a missing value, a number "
                   "without digits or a -q list without a valid entry (see %s -h).",
                   instance->app_name);
        break;
    case DUMP_PARSE_OK:
        break;
    }
}

void dump_print_usage(const char *app_name)
{
    // The synopsis, wrapped before column 78.
    int col = printf("Usage: %s", app_name);
    for (const option_fact &f : kOptionFacts) {
        if (!f.usage)
            continue;
        if (col + 1 + static_cast<int>(strlen(f.usage)) > 78)
            col = printf("\n      ");
        col += printf(" %s", f.usage);
    }
    printf("\n       [filter word ...]\n");
    for (const option_fact &f : kOptionFacts) {
        if (!f.help)
            continue;
        char forms[64];
        option_forms(f, forms, sizeof(forms));
        // Forms longer than the column get a line of their own.
        printf(strlen(forms) < 16 ? "  %-16s" : "  %s\n                  ", forms);
        for (const char *line = f.help; *line;) {
            size_t len = strcspn(line, "\n");
            char text[128];
            snprintf(text, sizeof(text), "%.*s", static_cast<int>(len), line);
            printf(text, f.value); // NOLINT: the table's own formats
            line += len + (line[len] == '\n');
            printf(*line ? "\n                  " : "\n");
        }
    }
    // The long names of the letters, and the long options said with another.
    col = printf("Long forms:");
    for (const option_fact &f : kOptionFacts) {
        char form[64];
        if (f.val < 256 && f.name && f.val != 'h')
            snprintf(form, sizeof(form), " --%s (-%c)", f.name, f.val);
        else if (f.val >= 256 && f.name && !f.usage && f.arg)
            snprintf(form, sizeof(form), " --%s=%s", f.name, f.arg);
        else
            continue;
        if (col + static_cast<int>(strlen(form)) > 78)
            col = printf("\n ");
        col += printf("%s", form);
    }
    printf("\n");
    print_usage_tail();
}

void dump_list_options()
{
    for (const option_fact &f : kOptionFacts) {
        if (f.val == kOptListOptions)
            continue;
        if (f.val < 256)
            printf("-%c\n", f.val);
        if (f.name)
            printf("--%s%s\n", f.name, f.arg ? "=" : "");
    }
}

void usage()
{
    exit(0);
}

void dump_parse_exit(const dump_instance *instance, dump_parse_result result)
{
    if (instance->check_only)
        exit(result == DUMP_PARSE_OK ? 0 : 1);
    usage();
}
