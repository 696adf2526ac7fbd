// The printer: composes each refresh in one fixed buffer and writes it to the
// object's stream every interval seconds.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <unistd.h>

#include "refresh.h"
#include "tallyboard.h"

namespace {

constexpr int kGroupWidth = 8;     // fields per group of three lines
constexpr int kColumnWidth = 10;   // names and numbers are right-aligned in this
constexpr size_t kNumberRoom = 32; // "%10lld\t" of any int64, with margin

struct composer {
    char *text;
    size_t cap;
    size_t len;
    FILE *out;
};

// Makes room for `need` more characters plus the terminator by writing the
// buffer's text out when it would overflow. Returns whether they now fit.
bool reserve(composer &c, size_t need)
{
    if (need < c.cap - c.len)
        return true;
    if (c.len > 0) {
        if (c.out != nullptr)
            fputs(c.text, c.out);
        c.len = 0;
        c.text[0] = '\0';
    }
    return need < c.cap;
}

void append_text(composer &c, const char *s)
{
    size_t n = strlen(s);
    reserve(c, n); // only short literals come here: they always fit
    memcpy(c.text + c.len, s, n + 1);
    c.len += n;
}

void append_number(composer &c, int64_t v)
{
    reserve(c, kNumberRoom);
    c.len += snprintf(c.text + c.len, c.cap - c.len, "%10lld\t", static_cast<long long>(v));
}

void append_name(composer &c, const char *name)
{
    size_t n = strlen(name);
    size_t need = (n > kColumnWidth ? n : kColumnWidth) + 1;
    if (!reserve(c, need)) {
        // Longer than the whole buffer: the buffer is empty now, so the
        // column goes straight to the stream and keeps its place in the text.
        if (c.out != nullptr)
            fprintf(c.out, "%10s\t", name);
        return;
    }
    c.len += snprintf(c.text + c.len, c.cap - c.len, "%10s\t", name);
}

// (reading - last) / interval. The difference wraps instead of overflowing,
// so a field set from one extreme to the other prints a number, not UB.
int64_t rate_of(int64_t reading, int64_t last, int interval)
{
    auto diff = static_cast<int64_t>(static_cast<uint64_t>(reading) - static_cast<uint64_t>(last));
    return diff / interval;
}

// ctime's text, "Www Mmm dd hh:mm:ss yyyy\n" in local time, in English
// whatever the host's locale, into the caller's buffer: two objects'
// printers must not share ctime's static one.
void format_ctime(time_t now, char *out, size_t size)
{
    static const char kDays[] = "SunMonTueWedThuFriSat";
    static const char kMonths[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    struct tm tm {};
    if (localtime_r(&now, &tm) == nullptr) {
        snprintf(out, size, "\n");
        return;
    }
    snprintf(out, size, "%.3s %.3s%3d %.2d:%.2d:%.2d %d\n", kDays + 3 * tm.tm_wday,
             kMonths + 3 * tm.tm_mon, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
             1900 + tm.tm_year);
}

} // namespace

size_t __screen_stat_compose(screen_stat *stat, std::time_t now, char *text, size_t cap)
{
    composer c{text, cap, 0, stat->out};
    char when[64];
    format_ctime(now, when, sizeof when);
    int n = snprintf(text, cap, "=====================================================%s", when);
    c.len = static_cast<size_t>(n) < cap ? static_cast<size_t>(n) : cap - 1;

    // Acquire pairs with the release in stat_field_register: a counted field's
    // name is visible. The count is read afresh for every column on purpose,
    // so fields registered meanwhile show up in the rows still to come.
    std::atomic_ref<int> count(stat->field_count);
    int s = 0;
    while (s < count.load(std::memory_order_acquire)) {
        append_text(c, "\t");
        for (int i = s; i < s + kGroupWidth && i < count.load(std::memory_order_acquire); i++)
            append_name(c, stat->fields[i].name);
        // Each value is read once per refresh: a row's total and its rate
        // come from the same reading.
        int64_t reading[kGroupWidth];
        int taken = 0;
        append_text(c, "\nsum\t");
        for (int i = s; i < s + kGroupWidth && i < count.load(std::memory_order_acquire); i++) {
            reading[taken] =
                std::atomic_ref<int64_t>(stat->fields[i].value).load(std::memory_order_seq_cst);
            append_number(c, reading[taken++]);
        }
        append_text(c, "\nspeed/s\t");
        int i = s;
        for (; i < s + kGroupWidth && i < count.load(std::memory_order_acquire); i++) {
            stat_field &f = stat->fields[i];
            // A field registered after its group's totals row is read here.
            int64_t now = i - s < taken
                              ? reading[i - s]
                              : std::atomic_ref<int64_t>(f.value).load(std::memory_order_seq_cst);
            append_number(c, rate_of(now, f.last_value, stat->interval));
            f.last_value = now;
        }
        append_text(c, "\n");
        s = i;
    }
    return c.len;
}

extern "C" TALLYBOARD_EXPORT void *thread_screen_print(void *arg)
{
    auto *stat = static_cast<screen_stat *>(arg);
    if (stat == nullptr || stat->out == nullptr || stat->interval < 1)
        return nullptr;

    char text[kRefreshBufferSize];
    memset(text, 0, sizeof text);
    for (;;) {
        __screen_stat_compose(stat, time(nullptr), text, sizeof text);
        fputs(text, stat->out);
        fflush(stat->out);
        sleep(static_cast<unsigned>(stat->interval));
    }
}
