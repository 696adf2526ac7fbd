// meminfo.h - how much memory the kernel could still give: the one reading
// behind every "does it fit" check (the stand-in's ring=, trawlcap's
// --write-queue), so both refuse by the same figure.
#ifndef COMPAT_MEMINFO_H
#define COMPAT_MEMINFO_H

#include <sys/sysinfo.h>

#include <cstdint>
#include <cstdio>

// MemAvailable in bytes, or the free memory where the kernel does not say.
inline uint64_t memory_available()
{
    unsigned long long kib = 0;
    char line[128];
    FILE *f = fopen("/proc/meminfo", "re");
    while (f && kib == 0 && fgets(line, sizeof line, f))
        if (sscanf(line, "MemAvailable: %llu kB", &kib) != 1)
            kib = 0;
    if (f)
        fclose(f);
    struct sysinfo si {};
    if (kib == 0 && sysinfo(&si) == 0)
        return static_cast<uint64_t>(si.freeram + si.bufferram) * si.mem_unit;
    return static_cast<uint64_t>(kib) << 10;
}

#endif // COMPAT_MEMINFO_H
