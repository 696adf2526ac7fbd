// bitpeel's work on arbitrary arguments: the option test, the identifier
// parse and decode, the ten candidate times and the base-time conversion, in
// the same arithmetic as the program. Input: one byte choosing the time zone,
// then up to two zero-separated words (identifier, base time).
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "fuzz_input.h"
#include "streamid.h"

namespace {

// UTC, zones with summer time on either hemisphere, a half-hour zone with a
// half-hour shift, and a zone that jumped a whole day.
const char *const kZones[] = {
    "UTC0",         "Europe/Berlin", "America/New_York", "Australia/Lord_Howe",
    "Asia/Kolkata", "Pacific/Apia"};
int g_zone = -1;

static_assert(kRtimePeriod == 268435456, "candidates are 2^28 seconds apart");

void check_time_text(const char (&text)[kTimeTextSize], int rc)
{
    FUZZ_CHECK(memchr(text, 0, kTimeTextSize) != nullptr);
    if (rc != 0)
        FUZZ_CHECK(text[0] == '\0');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_input in{data, size, 0};
    int zone = static_cast<int>(fuzz_take(in, 1) % (sizeof kZones / sizeof kZones[0]));
    if (zone != g_zone) {
        setenv("TZ", kZones[zone], 1);
        tzset();
        g_zone = zone;
    }
    char *first = fuzz_word(in);
    char *second = fuzz_empty(in) ? nullptr : fuzz_word(in);

    // The option test: "-v" in either case wins over everything else.
    bitpeel_action action = bitpeel_action_of(first);
    FUZZ_CHECK((action == BITPEEL_VERSION) ==
               (first[0] == '-' && (first[1] == 'v' || first[1] == 'V')));
    unsigned long long id = stream_id_parse(first);
    stream_fields f = stream_id_decode(id);
    // The layout written out by hand, not taken from the decoder's constants:
    // device 62-51, thread 50-43, relative time 42-15, sequence 14-0.
    FUZZ_CHECK(f.device_id == ((id >> 51) & 0xfff));
    FUZZ_CHECK(f.thread_id == ((id >> 43) & 0xff));
    FUZZ_CHECK(f.relative_time == ((id >> 15) & 0xfffffff));
    FUZZ_CHECK(f.sequence == (id & 0x7fff));

    char text[kTimeTextSize];
    if (second == nullptr) {
        for (int k = 0; k < kCandidateCount; k++) {
            int rc =
                format_local_time(static_cast<long long>(f.relative_time) + k * kRtimePeriod, text);
            FUZZ_CHECK(rc == 0); // every candidate lies between 1970 and 2055
            check_time_text(text, rc);
        }
    } else {
        long long base = 12345;
        if (base_time_parse(second, &base) != 0) {
            FUZZ_CHECK(base == 12345); // left alone on failure
        } else {
            int rc = format_local_time(base + static_cast<long long>(f.relative_time), text);
            check_time_text(text, rc);
        }
    }
    // Times at the edges of what libc can break down.
    long long edge = static_cast<long long>(id);
    check_time_text(text, format_local_time(edge, text));
    check_time_text(text, format_local_time(LLONG_MIN + static_cast<long long>(id % 1024), text));

    free(first);
    free(second);
    return 0;
}
