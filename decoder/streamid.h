// Stream identifier layout, and the decoder's number parsing, option test and
// time conversion.
//
// Nothing here prints or touches process state other than libc's time zone
// cache, so unit tests and fuzz targets can call every routine directly.
// Functions that can fail return 0 on success and -1 on failure. Times are
// signed 64-bit seconds since the Unix epoch; conversions use the local time
// zone as libc takes it from the environment (TZ).
#ifndef DECODER_STREAMID_H
#define DECODER_STREAMID_H

#include <cstddef>
#include <ctime>

static_assert(sizeof(time_t) == 8, "candidate times reach the year 2055");

// One field of the identifier: `width` bits starting at bit `shift`
// (bit 0 is the least significant).
struct bit_field {
    unsigned shift;
    unsigned width;
};

constexpr bit_field kSequenceBits{0, 15};
constexpr bit_field kRtimeBits{15, 28};
constexpr bit_field kThreadBits{43, 8};
constexpr bit_field kDeviceBits{51, 12};

// The four fields sit back to back from bit 0 up; bit 63 belongs to none.
static_assert(kSequenceBits.shift == 0);
static_assert(kRtimeBits.shift == kSequenceBits.shift + kSequenceBits.width);
static_assert(kThreadBits.shift == kRtimeBits.shift + kRtimeBits.width);
static_assert(kDeviceBits.shift == kThreadBits.shift + kThreadBits.width);
static_assert(kDeviceBits.shift + kDeviceBits.width == 63, "the fields cover exactly bits 0 to 62");

// The relative time wraps after this many seconds (about 8.5 years), so a
// relative time alone names one instant per period.
constexpr long long kRtimePeriod = 1LL << kRtimeBits.width;
constexpr int kCandidateCount = 10;

inline constexpr char kTimeFormat[] = "%Y-%m-%d %H:%M:%S";
constexpr size_t kTimeTextSize = 32;

struct stream_fields {
    unsigned long long device_id;
    unsigned long long thread_id;
    unsigned long long relative_time;
    unsigned long long sequence;
};

constexpr unsigned long long bit_field_get(unsigned long long id, bit_field f)
{
    return (id >> f.shift) & ((1ULL << f.width) - 1);
}

constexpr stream_fields stream_id_decode(unsigned long long id)
{
    return {bit_field_get(id, kDeviceBits), bit_field_get(id, kThreadBits),
            bit_field_get(id, kRtimeBits), bit_field_get(id, kSequenceBits)};
}

// Decimal text to identifier, as lenient as strtoull: leading white space and
// a sign are taken, a minus negates modulo 2^64, text without digits is 0,
// trailing text is ignored and anything beyond 64 bits is the largest value.
unsigned long long stream_id_parse(const char *text);

enum bitpeel_action { BITPEEL_DECODE, BITPEEL_VERSION, BITPEEL_USAGE };

// What the first command-line argument asks for; nullptr means there is none.
// Options are case-insensitive prefixes, and the version test comes first, so
// "-vh" is a version request while "--version" is an identifier (of value 0).
bitpeel_action bitpeel_action_of(const char *first_arg);

// Local time `t` as "YYYY-MM-DD hh:mm:ss". On failure (a time libc cannot
// break down) `text` holds the empty string and -1 is returned.
int format_local_time(long long t, char (&text)[kTimeTextSize]);

// A local "YYYY-MM-DD hh:mm:ss" to epoch seconds in *out. Text after the
// seconds is ignored. libc decides from the zone's rules whether summer time
// applies to that date. Returns -1, leaving *out alone, if the text does not
// match the format.
int base_time_parse(const char *text, long long *out);

#endif
