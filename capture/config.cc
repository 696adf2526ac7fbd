// Command line into the run record, and the per-thread dump file name.
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

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
    snprintf(name, sizeof(name), "%s", prog + (prog_len >= sizeof(name) ? prog_len - (sizeof(name) - 1) : 0));
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

}  // namespace

dump_parse_result dump_parse_args(dump_instance *instance, int argc, char **argv)
{
    set_defaults(instance, argc, argv);
    // Full re-initialisation of glibc's getopt, so that tests can parse again.
    optind = 0;
    int opt;
    while ((opt = getopt(argc, argv, "p:w:c:i:q:")) != -1) {
        unsigned long long value = 0;
        switch (opt) {
        case 'p':
            if (!parse_number(optarg, &value))
                return DUMP_PARSE_USAGE;
            // Refused rather than cut to 32 bits: the record has 128 slots.
            if (value > kMaxThreads)
                return DUMP_PARSE_TOO_MANY_THREADS;
            instance->nr_threads = static_cast<uint32_t>(value);
            break;
        case 'c':
            if (!parse_number(optarg, &value))
                return DUMP_PARSE_USAGE;
            instance->packet_count = value;
            break;
        case 'i':
            if (!copy_text(instance->dev_symbol, sizeof(instance->dev_symbol), optarg))
                return DUMP_PARSE_DEVICE_TOO_LONG;
            break;
        case 'w':
            if (!copy_text(instance->dumpfile, sizeof(instance->dumpfile), optarg))
                return DUMP_PARSE_DUMPFILE_TOO_LONG;
            break;
        case 'q':
            if (strlen(optarg) >= kTextSize)
                return DUMP_PARSE_LIST_TOO_LONG;
            if (!parse_selection(optarg, &instance->thread_mask))
                return DUMP_PARSE_USAGE;
            break;
        default:
            return DUMP_PARSE_USAGE;
        }
    }
    return join_filter_words(instance, optind, argc, argv);
}

void dump_parse_complain(dump_parse_result result)
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
    case DUMP_PARSE_OK:
    case DUMP_PARSE_USAGE:
        break;
    }
}

void usage()
{
    exit(0);
}

int __thread_dumpfile_generate(const char *base, int index, char *out, size_t out_size)
{
    char copy[kTextSize];
    snprintf(copy, sizeof(copy), "%s", base);
    // Only a dot in the last path component starts a suffix: a dot in a
    // directory name must not move the index into another directory.
    char *slash = strrchr(copy, '/');
    char *dot = strrchr(slash ? slash + 1 : copy, '.');
    if (!dot)
        return snprintf(out, out_size, "%s_%d", copy, index);
    *dot = '\0';
    return snprintf(out, out_size, "%s_%d.%s", copy, index, dot + 1);
}

int dump_thread_dumpfile(const char *base, int index, char *out, size_t out_size)
{
    struct stat st;
    if (stat(base, &st) == 0 && S_ISCHR(st.st_mode))
        return snprintf(out, out_size, "%s", base);
    return __thread_dumpfile_generate(base, index, out, out_size);
}

int dump_check_dumpfile(const dump_instance *instance)
{
    struct stat st;
    if (instance->dump_stream || stat(instance->dumpfile, &st) != 0 || !S_ISCHR(st.st_mode))
        return 0;
    // Linux memory devices 1:3, 1:5 and 1:7 (null, zero, full) keep nothing
    // of what is written to them.
    unsigned minor_number = minor(st.st_rdev);
    if (major(st.st_rdev) == 1 && (minor_number == 3 || minor_number == 5 || minor_number == 7))
        return 0;
    uint32_t writers = 0;
    for (uint32_t i = 0; i < instance->nr_threads; i++)
        if (instance->thread_mask & (uint64_t{1} << (i % 64)))
            writers++;
    if (writers <= 1)
        return 0;
    return cannot("share character device %s among %u capture threads.", instance->dumpfile,
                  writers);
}
