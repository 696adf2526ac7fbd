// trawlcap's command line into the run record: argv is the input's
// zero-separated words after a fixed program name. Checks that every refusal
// is one of the known results and that an accepted record holds what was
// given, whole: the device and dump file names of the last -i and -w, the
// filter words, no more workers than slots. An accepted device name then goes
// through the stand-in's device grammar, as the open would take it.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "fuzz_input.h"
#include "internal.h"
#include "trawlcap.h"

namespace {

constexpr int kMaxArgs = 64;

// The record keeps a pointer slot per worker: 16 KiB, better not on the stack
// for every input; the device choice holds a 4 KiB path.
dump_instance *g_record;
device_choice g_choice;

void check_device_name(const char *name)
{
    std::string_view text(name);
    if (parse_device_name(name, &g_choice) < 0)
        return;
    // The name is what follows the prefix, minus options taken from the end.
    bool replay = text.starts_with("file:");
    FUZZ_CHECK(g_choice.source == (replay ? vexmo_source::replay : vexmo_source::live));
    std::string_view path(g_choice.path);
    size_t skip = replay ? 5 : 0;
    FUZZ_CHECK(!path.empty() && text.substr(skip).starts_with(path));
    std::string_view rest = text.substr(skip + path.size());
    FUZZ_CHECK(rest.empty() || rest[0] == ',');
    FUZZ_CHECK(g_choice.replay.loops >= 1 && g_choice.replay.loops <= UINT32_MAX);
}

// The last -i and -w values among the options getopt took: it has moved
// them, with their values, ahead of optind. A value is the rest of its word
// or, when the word ends at the option letter, the next word.
void last_names(char **argv, int end, const char **device, const char **dumpfile)
{
    for (int i = 1; i < end && strcmp(argv[i], "--") != 0; i++) {
        if (strncmp(argv[i], "--", 2) == 0) {
            // A long option: its value follows "=" or is the next word; of
            // those that reach an accepted record only --nano, --check and
            // --index have none (getopt takes any unambiguous start of a name).
            std::string_view name(argv[i] + 2);
            if (name.find('=') == std::string_view::npos &&
                !std::string_view("nano").starts_with(name) &&
                !std::string_view("check").starts_with(name) &&
                !std::string_view("index").starts_with(name))
                i++;
            continue;
        }
        for (const char *c = argv[i] + 1; *c; c++) {
            if (!strchr("pwciqCGWzZSjs", *c))
                continue;
            const char *value = c[1] ? c + 1 : argv[++i];
            if (*c == 'i')
                *device = value;
            if (*c == 'w')
                *dumpfile = value;
            break;
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    g_record = new dump_instance{};
    // getopt's complaints about unknown options would fill the log.
    opterr = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_input in{data, size, 0};
    char *argv[kMaxArgs + 2];
    char *owned[kMaxArgs + 1];
    int argc = 0;
    char name[] = "/usr/local/bin/trawlcap";
    argv[argc++] = name;
    int nowned = 0;
    while (!fuzz_empty(in) && argc <= kMaxArgs) {
        owned[nowned] = fuzz_word(in);
        argv[argc++] = owned[nowned++];
    }
    argv[argc] = nullptr;
    dump_instance *inst = g_record;
    inst->~dump_instance();
    new (inst) dump_instance{};
    dump_parse_result r = dump_parse_args(inst, argc, argv);

    switch (r) {
    case DUMP_PARSE_OK:
        FUZZ_CHECK(strcmp(inst->app_name, "trawlcap") == 0);
        FUZZ_CHECK(inst->nr_threads <= kMaxThreads);
        {
            // A name cut to fit would open another device or write elsewhere.
            const char *device = "";
            const char *dumpfile = "default.pcap";
            last_names(argv, optind, &device, &dumpfile);
            FUZZ_CHECK(strcmp(inst->dev_symbol, device) == 0);
            FUZZ_CHECK(strcmp(inst->dumpfile, dumpfile) == 0);
        }
        FUZZ_CHECK(inst->running.load() == 1);
        FUZZ_CHECK(optind >= 1 && optind <= argc);
        check_device_name(inst->dev_symbol);
        {
            // The rule is the filter words, each followed by one blank, whole.
            std::string rule;
            for (int i = optind; i < argc; i++)
                rule += std::string(argv[i]) + " ";
            FUZZ_CHECK(rule == inst->bpf_rule);
        }
        break;
    case DUMP_PARSE_USAGE:
    case DUMP_PARSE_TOO_MANY_THREADS:
    case DUMP_PARSE_DEVICE_TOO_LONG:
    case DUMP_PARSE_DUMPFILE_TOO_LONG:
    case DUMP_PARSE_LIST_TOO_LONG:
    case DUMP_PARSE_FILTER_TOO_LONG:
    case DUMP_PARSE_REFUSED:
        dump_parse_complain(inst, r);
        break;
    case DUMP_PARSE_HELP:
    case DUMP_PARSE_VERSION:
    case DUMP_PARSE_LIST_OPTIONS:
        break;
    default:
        FUZZ_CHECK(!"unknown parse result");
    }

    for (int i = 0; i < nowned; i++)
        free(owned[i]);
    return 0;
}
