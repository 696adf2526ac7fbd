#include "streamid.h"

#include <cstdlib>
#include <cstring>
#include <strings.h>

unsigned long long stream_id_parse(const char *text)
{
    // Deliberately unchecked: a mistyped identifier still shows what it
    // decodes to, which is what someone reading a log line wants.
    return strtoull(text, nullptr, 10);
}

bitpeel_action bitpeel_action_of(const char *first_arg)
{
    if (first_arg == nullptr)
        return BITPEEL_USAGE;
    if (strncasecmp(first_arg, "-v", 2) == 0)
        return BITPEEL_VERSION;
    if (strncasecmp(first_arg, "-h", 2) == 0 || strncasecmp(first_arg, "--help", 6) == 0)
        return BITPEEL_USAGE;
    return BITPEEL_DECODE;
}

int format_local_time(long long t, char (&text)[kTimeTextSize])
{
    text[0] = '\0';
    const time_t when = t;
    struct tm broken;
    if (localtime_r(&when, &broken) == nullptr)
        return -1;
    if (strftime(text, sizeof text, kTimeFormat, &broken) == 0) {
        text[0] = '\0';
        return -1;
    }
    return 0;
}

int base_time_parse(const char *text, long long *out)
{
    struct tm broken;
    memset(&broken, 0, sizeof broken);
    if (strptime(text, kTimeFormat, &broken) == nullptr)
        return -1;
    // The text carries no summer-time flag; 0 would read every date as
    // standard time and put a summer base time an hour late.
    broken.tm_isdst = -1;
    *out = mktime(&broken);
    return 0;
}
