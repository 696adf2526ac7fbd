// bitpeel: print the fields of a stream identifier and the calendar time its
// relative time stands for. Everything goes to standard output, the one error
// line included, so the whole answer can be piped or pasted as one block.
//
// Links against libc only (built without exceptions or RTTI and linked by the
// C driver), so it runs on a bare platform host without a C++ runtime.

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "streamid.h"

namespace {

const char kVersion[] = "v1.0.0-20191119";

void print_usage(const char *prog)
{
    printf("usage: %s <stream_id> [\"base_time\"]\n", prog);
    printf("\tbase_time format is: '%%Y-%%m-%%d %%H:%%M:%%S'\n");
    printf("\texample: %s 2274325413085511680\n", prog);
    printf("\texample: %s 2274319137695858688 \"2018-08-08 08:00:00\"\n", prog);
}

void print_fields(unsigned long long id, const stream_fields &f)
{
    printf("stream_id is %llu, decode result:\n", id);
    printf("    %-13s: %llu\n", "device-id", f.device_id);
    printf("    %-13s: %llu\n", "thread-id", f.thread_id);
    printf("    %-13s: %llu\n", "relative-time", f.relative_time);
    printf("    %-13s: %llu\n", "sequence", f.sequence);
}

// Without a base time only the position inside the wrap period is known, so
// list the instants of the first periods after the epoch.
void print_candidates(unsigned long long relative_time)
{
    printf("    not input base time, use EPOCH as base time, absolute time maybe as follow:\n");
    char text[kTimeTextSize];
    for (int k = 0; k < kCandidateCount; k++) {
        format_local_time(static_cast<long long>(relative_time) + k * kRtimePeriod, text);
        printf("\t\t%s\n", text);
    }
}

void print_absolute(const char *base_text, unsigned long long relative_time)
{
    long long base;
    if (base_time_parse(base_text, &base) != 0) {
        printf("\33[1;31;40mbase time format error!\33[0m\n");
        return;
    }
    char text[kTimeTextSize];
    format_local_time(base + static_cast<long long>(relative_time), text);
    printf("    %-13s: %s\n", "Absolute-time", text);
}

int run(int argc, char *argv[])
{
    // A program may be started with an empty argument vector; it still needs
    // a name for the usage text.
    const char *prog = argc > 0 && argv[0] != nullptr ? argv[0] : "bitpeel";
    switch (bitpeel_action_of(argc > 1 ? argv[1] : nullptr)) {
    case BITPEEL_VERSION:
        printf("%s\n", kVersion);
        return 0;
    case BITPEEL_USAGE:
        print_usage(prog);
        return 1;
    case BITPEEL_DECODE:
        break;
    }
    const unsigned long long id = stream_id_parse(argv[1]);
    const stream_fields f = stream_id_decode(id);
    print_fields(id, f);
    if (argc == 2)
        print_candidates(f.relative_time);
    else
        print_absolute(argv[2], f.relative_time);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const int status = run(argc, argv);
    // Exit would flush and drop a write error silently; an answer that never
    // arrived (a full disk, say) must not look like success.
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "Cannot write standard output: %s\n", strerror(errno));
        return 1;
    }
    return status;
}
