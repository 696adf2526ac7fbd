#!/bin/sh
# Checks of bitpeel's build artefacts:
#   checks.sh needed BINARY SANITIZE   NEEDED is exactly libc.so.6
#   checks.sh man PAGE                 the page renders without warnings
#   checks.sh install BUILD DEST CMAKE the bitpeel component installs and runs
# Exit 77 means skipped.
set -u

fail() { echo "FAIL: $*"; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }

case "$1" in
needed)
    [ -n "$3" ] && skip "sanitizer build ($3) links its runtime libraries"
    command -v readelf >/dev/null || skip "readelf not installed (binutils)"
    needed=$(readelf -d "$2" | sed -n 's/.*(NEEDED).*\[\(.*\)\].*/\1/p')
    [ "$needed" = "libc.so.6" ] || fail "NEEDED entries are: $needed"
    ;;
man)
    command -v man >/dev/null || skip "man not installed (man-db)"
    warnings=$(MANWIDTH=80 man --warnings -l "$2" 2>&1 >/dev/null) || fail "man failed: $warnings"
    [ -z "$warnings" ] || fail "warnings: $warnings"
    ;;
install)
    rm -rf "$3"
    "$4" --install "$2" --component bitpeel --prefix "$3" >/dev/null || fail "install failed"
    [ -f "$3/share/man/man1/bitpeel.1.gz" ] || fail "no share/man/man1/bitpeel.1.gz"
    out=$("$3/bin/bitpeel" -v) || fail "installed bitpeel -v failed"
    [ "$out" = "v1.0.0-20191119" ] || fail "installed bitpeel -v printed: $out"
    rm -rf "$3"
    ;;
*)
    fail "unknown check $1"
    ;;
esac
echo "ok: $1"
