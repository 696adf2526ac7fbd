/*
 * banned.h - functions that are compile errors anywhere in the tree.
 *
 * Each writes text without a bound (strcpy, strcat, sprintf, vsprintf, gets),
 * cuts it without a terminator or reads past one (strncpy, strncat), keeps
 * hidden state (strtok, strtok_r), races for a file name (mktemp), or
 * writes into one static buffer that any other thread may overwrite
 * (gmtime, localtime, ctime, asctime), or into one of unstated size
 * (ctime_r, asctime_r). Text goes through snprintf into fixed arrays, times
 * through gmtime_r or localtime_r and strftime or snprintf. The top-level CMakeLists forces this header into every
 * C++ file (-include), so the system's declarations are read here first and
 * the names are taken over only afterwards. Not into C files: there the
 * system headers read first would ignore a feature-test macro (_POSIX_C_SOURCE)
 * that the file defines at its top; C++ compilers define _GNU_SOURCE anyway.
 * A use fails to compile with "sorry_NAME_is_a_banned_function" in the message.
 */
#ifndef COMPAT_BANNED_H
#define COMPAT_BANNED_H

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#define BANNED(func) sorry_##func##_is_a_banned_function

#undef strcpy
#define strcpy(x, y) BANNED(strcpy)
#undef strcat
#define strcat(x, y) BANNED(strcat)
#undef sprintf
#define sprintf(...) BANNED(sprintf)
#undef vsprintf
#define vsprintf(...) BANNED(vsprintf)
#undef gets
#define gets(x) BANNED(gets)
#undef strncpy
#define strncpy(x, y, n) BANNED(strncpy)
#undef strncat
#define strncat(x, y, n) BANNED(strncat)
#undef strtok
#define strtok(x, y) BANNED(strtok)
#undef strtok_r
#define strtok_r(x, y, z) BANNED(strtok_r)
#undef mktemp
#define mktemp(x) BANNED(mktemp)
#undef gmtime
#define gmtime(t) BANNED(gmtime)
#undef localtime
#define localtime(t) BANNED(localtime)
#undef ctime
#define ctime(x) BANNED(ctime)
#undef ctime_r
#define ctime_r(t, buf) BANNED(ctime_r)
#undef asctime
#define asctime(x) BANNED(asctime)
#undef asctime_r
#define asctime_r(tm, buf) BANNED(asctime_r)

#endif
