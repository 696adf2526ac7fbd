// Every name the capture gives a file: a worker's file from -w, its
// numbered names under rotation, a compressed file's suffix, the folder a
// name lies in, the number a restart goes on from. (The index beside a
// file is named by its format, index.h.)
#include <dirent.h>
#include <sys/stat.h>

#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "trawlcap.h"

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

int dump_file_name(const dump_instance *instance, const char *stem, uint32_t seq, int64_t file_time,
                   char *out, size_t out_size)
{
    int len = instance->rotate_size == 0 && instance->rotate_seconds == 0
                  ? snprintf(out, out_size, "%s", stem)
                  : dump_rotated_name(stem, seq, file_time, out, out_size);
    // A compressed file says so after its own suffix: cap_0.pcap.zst (a
    // device or a descriptor's name is written to as it is).
    bool rotates = instance->rotate_size || instance->rotate_seconds;
    if (instance->compress && len >= 0 && static_cast<size_t>(len) < out_size &&
        (rotates || !dump_target_is_stream(stem)))
        return len + snprintf(out + len, out_size - static_cast<size_t>(len), ".zst");
    return len;
}

void dump_current_name(const dump_instance *instance, const dump_thread_ctx *ctx, char *out,
                       size_t out_size)
{
    const dump_published_file &p = ctx->shared.published;
    uint32_t gen, seq;
    int64_t time;
    do {
        // Acquire throughout: each load stays after the one before it.
        gen = p.gen.load(std::memory_order_acquire);
        seq = p.seq.load(std::memory_order_acquire);
        time = p.time.load(std::memory_order_acquire);
    } while ((gen & 1) != 0 || gen != p.gen.load(std::memory_order_acquire));
    if (seq == 0)
        snprintf(out, out_size, "%s", ctx->setup.stem);
    else
        dump_file_name(instance, ctx->setup.stem, seq, time, out, out_size);
}

const char *dump_folder_of(const char *name, char *out, size_t out_size)
{
    const char *slash = strrchr(name, '/');
    if (!slash)
        snprintf(out, out_size, ".");
    else
        snprintf(out, out_size, "%.*s", static_cast<int>(slash - name) + (slash == name), name);
    return slash ? slash + 1 : name;
}

int dump_rotated_name(const char *stem, uint32_t seq, int64_t file_time, char *out, size_t out_size)
{
    char copy[kTextSize];
    snprintf(copy, sizeof(copy), "%s", stem);
    char when[32];
    time_t t = static_cast<time_t>(file_time);
    struct tm tm {};
    if (!gmtime_r(&t, &tm) || strftime(when, sizeof(when), "%Y%m%dT%H%M%SZ", &tm) == 0)
        snprintf(when, sizeof(when), "%" PRId64, file_time);
    // The suffix rule of the per-thread name: a dot in the last component.
    char *slash = strrchr(copy, '/');
    char *dot = strrchr(slash ? slash + 1 : copy, '.');
    if (!dot)
        return snprintf(out, out_size, "%s_%05u_%s", copy, seq, when);
    *dot = '\0';
    return snprintf(out, out_size, "%s_%05u_%s.%s", copy, seq, when, dot + 1);
}

int dump_thread_dumpfile(const char *base, int index, char *out, size_t out_size)
{
    if (dump_target_is_stream(base))
        return snprintf(out, out_size, "%s", base);
    return __thread_dumpfile_generate(base, index, out, out_size);
}

// The number after the highest any file of this stem has in its folder (1
// when none): a restart in the same window, or the same second under -C,
// goes on numbering instead of meeting the last run's names.
uint32_t dump_first_free_seq(const char *stem)
{
    char dir[kTextSize];
    const char *base = dump_folder_of(stem, dir, sizeof(dir));
    const char *dot = strrchr(base, '.');
    size_t len = dot ? static_cast<size_t>(dot - base) : strlen(base);
    DIR *d = opendir(dir);
    uint32_t highest = 0;
    while (d) {
        dirent *e = readdir(d);
        if (!e)
            break;
        const char *p = e->d_name + len + 1;
        uint32_t v = 0;
        if (strncmp(e->d_name, base, len) != 0 || e->d_name[len] != '_')
            continue;
        auto [end, ec] = std::from_chars(p, p + strlen(p), v);
        if (ec == std::errc() && end - p >= 5 && *end == '_' && v > highest)
            highest = v;
    }
    if (d)
        closedir(d);
    return highest < UINT32_MAX ? highest + 1 : highest;
}
