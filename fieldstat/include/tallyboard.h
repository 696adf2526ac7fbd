/*
 * tallyboard.h - named 64-bit counters for host programs, with an optional
 * background thread that prints them as a table of totals and rates.
 *
 * Conventions:
 *  - One object per init_screen_stat() call. The host holds only the pointer;
 *    nothing is ever freed: the object, the names it copied and its printer
 *    thread live until the process ends. There is no teardown call.
 *  - Fields get ids 0, 1, 2, ... in registration order; ids are never reused.
 *    An object holds at most TALLYBOARD_MAX_FIELDS fields.
 *  - Functions return 0 (or an id >= 0) on success and -1 on failure; the
 *    library never prints anything but its refreshes.
 *  - Threads: stat_field_operation() may be called from any number of threads
 *    at once, also while the printer runs. stat_field_register() may run while
 *    the printer runs, but only one thread at a time may register on an object.
 *  - The records below are shown so that their layout is part of the ABI; a
 *    host must not write to them directly.
 */
#ifndef TALLYBOARD_H
#define TALLYBOARD_H

#include <stdint.h>
#include <stdio.h>

#if defined(TALLYBOARD_BUILDING) && defined(__GNUC__)
#define TALLYBOARD_EXPORT __attribute__((visibility("default")))
#else
#define TALLYBOARD_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define STAT_FIELD_OP_ADD 1
#define STAT_FIELD_OP_SET 2
#define SCREEN_STAT_PRINT_ON 1

#define TALLYBOARD_MAX_FIELDS 256

/* One counter. Each entry fills its own 64-byte cache line, so threads that
 * change different fields do not contend for the same line. */
typedef struct stat_field {
    char *name;         /* the library's copy; null until registered */
    int64_t value;      /* changed only atomically */
    int64_t last_value; /* value at the previous refresh; printer only */
} __attribute__((aligned(64))) stat_field;

typedef struct screen_stat {
    int interval;   /* seconds between refreshes */
    int print_flag; /* as passed to init_screen_stat() */
    FILE *out;      /* where the printer writes */
    stat_field fields[TALLYBOARD_MAX_FIELDS];
    int field_count; /* registered fields; the next id */
} screen_stat;

/* Allocates a new object. With print_flag SCREEN_STAT_PRINT_ON it also starts
 * the printer thread, which writes a first refresh at once and then one every
 * interval seconds to out; in that case out must not be null and interval
 * must be at least 1, or nothing is created and null is returned. Null is
 * also returned when memory runs out. */
TALLYBOARD_EXPORT screen_stat *init_screen_stat(FILE *out, int interval, int print_flag);

/* Registers a field under a copy of name and returns its id. Returns -1 for a
 * null object or name, when the table is full or when memory runs out. */
TALLYBOARD_EXPORT int stat_field_register(screen_stat *stat, const char *name);

/* STAT_FIELD_OP_ADD adds value to the field, STAT_FIELD_OP_SET replaces it;
 * each is one atomic operation. Returns 0, or -1 for a null object, an id
 * that was not handed out, or another operation code (nothing changes). */
TALLYBOARD_EXPORT int stat_field_operation(screen_stat *stat, int field_id, int operation,
                                           int64_t value);

/* The printer thread's routine (argument: the object). It never returns for a
 * valid printing object; it returns null at once for a null object, a null
 * stream or an interval below 1. */
TALLYBOARD_EXPORT void *thread_screen_print(void *stat);

#ifdef __cplusplus
}
#endif

#endif /* TALLYBOARD_H */
