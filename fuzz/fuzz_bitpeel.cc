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
const char *const kZones[] = {"UTC0", "Europe/Berlin", "America/New_York", "Australia/Lord_Howe",
                              "Asia/Kolkata", "Pacific/Apia"};
int g_zone = -1;

void check_time_text(const char (&text)[k_time_text_size], int rc)
{
    FUZZ_CHECK(memchr(text, 0, k_time_text_size) != nullptr);
    if (rc != 0)
        FUZZ_CHECK(text[0] == '\0');
}

}  // namespace

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

    bitpeel_action action = bitpeel_action_of(first);
    FUZZ_CHECK(action == BITPEEL_DECODE || action == BITPEEL_VERSION || action == BITPEEL_USAGE);
    unsigned long long id = stream_id_parse(first);
    stream_fields f = stream_id_decode(id);
    FUZZ_CHECK(f.device_id < (1ULL << k_device_bits.width));
    FUZZ_CHECK(f.thread_id < (1ULL << k_thread_bits.width));
    FUZZ_CHECK(f.relative_time < (1ULL << k_rtime_bits.width));
    FUZZ_CHECK(f.sequence < (1ULL << k_sequence_bits.width));
    unsigned long long back = f.device_id << k_device_bits.shift | f.thread_id << k_thread_bits.shift |
                              f.relative_time << k_rtime_bits.shift | f.sequence;
    FUZZ_CHECK(back == (id & ~(1ULL << 63)));

    char text[k_time_text_size];
    if (second == nullptr) {
        for (int k = 0; k < k_candidate_count; k++) {
            int rc = format_local_time(static_cast<long long>(f.relative_time) + k * k_rtime_period, text);
            FUZZ_CHECK(rc == 0);  // every candidate lies between 1970 and 2055
            check_time_text(text, rc);
        }
    } else {
        long long base = 12345;
        if (base_time_parse(second, &base) != 0) {
            FUZZ_CHECK(base == 12345);  // left alone on failure
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
