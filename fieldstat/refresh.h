// Internal to libtallyboard: the parts of the printer that tests and the
// benchmark reach without going through the printer thread. Not installed.
#ifndef FIELDSTAT_REFRESH_H
#define FIELDSTAT_REFRESH_H

#include <cstddef>
#include <ctime>

#include "tallyboard.h"

// The one buffer a printer composes every refresh in.
constexpr size_t kRefreshBufferSize = 65536;

// Composes the refresh for time `now` into `text` (capacity `cap`, at least
// 128 bytes) and updates every printed field's last_value. Text that does not
// fit is written to stat->out with fputs as the buffer fills, so a refresh of
// any length goes out whole without allocating; what is left in `text`
// (zero-terminated, length returned) is the last piece, which the caller
// writes and flushes. stat->interval must be at least 1.
size_t __screen_stat_compose(screen_stat *stat, std::time_t now, char *text, size_t cap);

#endif
