#!/bin/sh
# Checks of bitpeel's build artefacts:
#   checks.sh man PAGE                 the page renders without warnings
#   checks.sh install BUILD DEST CMAKE the bitpeel component installs and runs
# Exit 77 means skipped.
set -u

fail() { echo "FAIL: $*"; exit 1; }
skip() { echo "SKIP: $*"; exit 77; }

case "$1" in
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
