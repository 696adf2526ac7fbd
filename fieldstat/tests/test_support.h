// Helpers shared by the libtallyboard unit tests.
#ifndef FIELDSTAT_TEST_SUPPORT_H
#define FIELDSTAT_TEST_SUPPORT_H

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include <poll.h>
#include <unistd.h>

#include "tallyboard.h"

// Objects are never freed by design; holding them from a global keeps them
// reachable, so LeakSanitizer does not mistake the design for a leak. A plain
// array: a container would be destroyed before the leak check runs.
inline screen_stat *g_kept[1024];
inline int g_kept_count;

inline screen_stat *keep(screen_stat *s)
{
    if (s != nullptr && g_kept_count < 1024)
        g_kept[g_kept_count++] = s;
    return s;
}

inline int64_t value_of(screen_stat *s, int id)
{
    return std::atomic_ref<int64_t>(s->fields[id].value).load();
}

inline int count_of(screen_stat *s)
{
    return std::atomic_ref<int>(s->field_count).load();
}

// A pipe whose write end is a stdio stream for a printer. Neither end is ever
// closed: the printer thread outlives the test that started it.
struct printer_pipe {
    int read_fd = -1;
    FILE *out = nullptr;
};

inline printer_pipe open_printer_pipe()
{
    int fds[2];
    printer_pipe p;
    if (pipe(fds) != 0)
        return p;
    p.read_fd = fds[0];
    p.out = fdopen(fds[1], "w");
    return p;
}

// Reads until `lines` newlines have arrived or `timeout_ms` passes without
// any data; returns what was read.
inline std::string read_lines(int fd, int lines, int timeout_ms = 20000)
{
    std::string text;
    int seen = 0;
    while (seen < lines) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, timeout_ms) <= 0)
            break;
        char c;
        if (read(fd, &c, 1) != 1)
            break;
        text.push_back(c);
        if (c == '\n')
            seen++;
    }
    return text;
}

// Whether anything arrives on fd within timeout_ms.
inline bool has_data_within(int fd, int timeout_ms)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeout_ms) > 0;
}

#endif
