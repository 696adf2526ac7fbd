#!/bin/sh
# Runs every benchmark program built under BUILD/bench/*/ (default
# build/release), one after the other. Figures: bench/README.md.
set -eu
B=${1:-build/release}
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
