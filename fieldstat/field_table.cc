// The field table: object creation, registration and the counter operations.
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>

#include <pthread.h>

#include "tallyboard.h"

static_assert(sizeof(stat_field) == 64 && alignof(stat_field) == 64,
              "each field owns exactly one cache line");
static_assert(offsetof(stat_field, name) < offsetof(stat_field, value) &&
                  offsetof(stat_field, value) < offsetof(stat_field, last_value),
              "field order is part of the ABI");
static_assert(offsetof(screen_stat, interval) < offsetof(screen_stat, print_flag) &&
                  offsetof(screen_stat, print_flag) < offsetof(screen_stat, out) &&
                  offsetof(screen_stat, out) < offsetof(screen_stat, fields) &&
                  offsetof(screen_stat, fields) < offsetof(screen_stat, field_count),
              "field order is part of the ABI");
static_assert(std::atomic_ref<int64_t>::is_always_lock_free &&
                  std::atomic_ref<int>::is_always_lock_free,
              "counters must never fall back to a lock");
static_assert(alignof(int64_t) >= std::atomic_ref<int64_t>::required_alignment &&
                  alignof(int) >= std::atomic_ref<int>::required_alignment,
              "the C records must be usable through atomic_ref");

extern "C" {

TALLYBOARD_EXPORT extern const char ORVA_FIELD_STAT_VERSION_2015_11_02 = 0;

TALLYBOARD_EXPORT screen_stat *init_screen_stat(FILE *out, int interval, int print_flag)
{
    // A printer without a stream or with an interval below one second would
    // crash, divide by zero or sleep for ever: refuse before anything starts.
    if (print_flag == SCREEN_STAT_PRINT_ON && (out == nullptr || interval < 1))
        return nullptr;

    // calloc only guarantees 16 bytes; the fields want their own cache lines.
    void *mem = aligned_alloc(alignof(screen_stat), sizeof(screen_stat));
    if (mem == nullptr)
        return nullptr;
    memset(mem, 0, sizeof(screen_stat));

    auto *stat = static_cast<screen_stat *>(mem);
    stat->out = out;
    stat->interval = interval;
    stat->print_flag = print_flag;
    if (print_flag == SCREEN_STAT_PRINT_ON) {
        // The printer lives as long as the process; nobody ever joins it.
        pthread_t printer;
        pthread_create(&printer, nullptr, thread_screen_print, stat);
    }
    return stat;
}

TALLYBOARD_EXPORT int stat_field_register(screen_stat *stat, const char *name)
{
    if (stat == nullptr || name == nullptr)
        return -1;
    // Only one thread registers at a time, so nobody else moves the count.
    std::atomic_ref<int> count(stat->field_count);
    int id = count.load(std::memory_order_relaxed);
    if (id >= TALLYBOARD_MAX_FIELDS)
        return -1;

    size_t len = strlen(name);
    auto *copy = static_cast<char *>(calloc(len + 1, 1));
    if (copy == nullptr)
        return -1;
    memcpy(copy, name, len);
    stat->fields[id].name = copy;
    // Release: a printer that sees the new count also sees the name.
    count.store(id + 1, std::memory_order_release);
    return id;
}

TALLYBOARD_EXPORT int stat_field_operation(screen_stat *stat, int field_id, int operation,
                                           int64_t value)
{
    if (stat == nullptr)
        return -1;
    // Ids come from stat_field_register on some thread; a stale count only
    // refuses an id too early, it never lets a write outside the table.
    int count = std::atomic_ref<int>(stat->field_count).load(std::memory_order_acquire);
    if (field_id < 0 || field_id >= count)
        return -1;

    // seq_cst, so that every thread and the printer agree on one order of
    // all changes to all fields.
    std::atomic_ref<int64_t> cell(stat->fields[field_id].value);
    switch (operation) {
    case STAT_FIELD_OP_ADD:
        cell.fetch_add(value, std::memory_order_seq_cst);
        return 0;
    case STAT_FIELD_OP_SET:
        cell.exchange(value, std::memory_order_seq_cst);
        return 0;
    default:
        return -1;
    }
}

} // extern "C"
