#!/bin/sh
# Installs libtallyboard into a fresh prefix, then builds and runs the C host
# test against the installed files: once through pkg-config and once through
# find_package(tallyboard). Arguments: build dir, C compiler, C source,
# find_package project, sanitizer flags (may be empty).
set -eu
build=$1 cc=$2 src=$3 host_project=$4 sanflags=${5:-}

prefix=$(mktemp -d /tmp/tallyboard-install.XXXXXX)
trap 'rm -rf "$prefix"' EXIT
for component in libtallyboard libtallyboard-dev; do
    cmake --install "$build" --prefix "$prefix" --component $component >/dev/null
done

for f in lib/libtallyboard.so include/tallyboard.h lib/pkgconfig/tallyboard.pc \
         lib/cmake/tallyboard/tallyboard-config.cmake share/man/man3/tallyboard.3.gz; do
    [ -e "$prefix/$f" ] || { echo "FAIL: $f not installed"; exit 1; }
done

export PKG_CONFIG_PATH="$prefix/lib/pkgconfig"
# shellcheck disable=SC2046,SC2086
"$cc" -std=c99 -pedantic -Wall -Wextra -Werror $sanflags "$src" \
    $(pkg-config --cflags --libs tallyboard) -o "$prefix/c_host"
LD_LIBRARY_PATH="$prefix/lib" "$prefix/c_host"

cmake -S "$host_project" -B "$prefix/host" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_C_COMPILER="$cc" -DCMAKE_C_FLAGS="-Wall -Wextra -Werror $sanflags" \
    -DHOST_SOURCE="$src" >/dev/null
cmake --build "$prefix/host" >/dev/null
# No LD_LIBRARY_PATH here: the imported target alone must lead to the library.
"$prefix/host/c_host"
