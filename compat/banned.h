/*
 * banned.h - functions that are compile errors anywhere in the tree.
 *
 * Each writes text without a bound (strcpy, strcat, sprintf, vsprintf, gets)
 * or into one static buffer that any other thread may overwrite (ctime,
 * asctime). Text goes through snprintf into fixed arrays, times through
 * ctime_r or strftime. The top-level CMakeLists forces this header into every
 * C++ file (-include), so the system's declarations are read here first and
 * the names are taken over only afterwards. Not into C files: there the
 * system headers read first would ignore a feature-test macro (_POSIX_C_SOURCE)
 * that the file defines at its top; C++ compilers define _GNU_SOURCE anyway.
 * A use fails to compile with "sorry_NAME_is_a_banned_function" in the message.
 */
#ifndef COMPAT_BANNED_H
#define COMPAT_BANNED_H

#include <cstdio>
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
#undef ctime
#define ctime(x) BANNED(ctime)
#undef asctime
#define asctime(x) BANNED(asctime)

#endif
