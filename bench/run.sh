#!/bin/sh
# Runs every benchmark program built under BUILD/bench/*/ (default
# build/release), one after the other. Figures: bench/README.md.
#   sh bench/run.sh [BUILD] [--smoke]
# --smoke only checks, in seconds, that the live capture benchmark still runs
# (bench/live; it needs root and skips itself elsewhere).
set -eu
B=build/release
smoke=0
for arg in "$@"; do
    case "$arg" in
    --smoke) smoke=1 ;;
    *) B=$arg ;;
    esac
done
if [ "$smoke" -eq 1 ]; then
    echo "== $B/bench/live/live_bench --smoke"
    exec "$B/bench/live/live_bench" --smoke
fi
status=0
found=0
for prog in "$B"/bench/*/*; do
    [ -f "$prog" ] && [ -x "$prog" ] || continue
    found=1
    echo "== $prog"
    "$prog" || status=1
    echo
done
if [ "$found" -eq 0 ]; then
    echo "No benchmark programs under $B/bench: build with TRAWLKIT_BENCH=ON first" >&2
    exit 1
fi
exit $status
