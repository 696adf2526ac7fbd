#!/bin/sh
# fuzz/run.sh TIME [TARGET...]
# Builds the libFuzzer binaries (the "fuzz" preset: clang, ASan + UBSan, in
# $FUZZ_BUILD, default build/fuzz) and runs each target (default: all) for
# TIME seconds, $FUZZ_JOBS at a time (default 1), under nice.
# Each target starts from its seed corpus fuzz/corpus/NAME; new inputs go to
# fuzz/out/NAME/corpus, crashes to fuzz/out/NAME/ and the log to
# fuzz/out/NAME/log. Exit status 1 if any target found something.
set -eu
cd "$(dirname "$0")/.."

[ $# -ge 1 ] || { echo "usage: fuzz/run.sh TIME [TARGET...]" >&2; exit 2; }
TIME=$1
shift
TARGETS=${*:-cmdline dumpfile_name bitpeel savefile tallyboard extract}
BUILD=${FUZZ_BUILD:-build/fuzz}
JOBS=${FUZZ_JOBS:-1}

cmake --preset fuzz -B "$BUILD" >/dev/null
# trawlcap_objects and trawlcap_files too: compiled by clang, their lock
# annotations are checked (-Wthread-safety, errors in this preset) as the
# targets' own are.
# shellcheck disable=SC2086
cmake --build "$BUILD" --target trawlcap_objects trawlcap_files $(for t in $TARGETS; do printf 'fuzz_%s ' "$t"; done) >/dev/null

run_one() {
    t=$1
    out=fuzz/out/$t
    mkdir -p "$out/corpus"
    # -close_fd_mask=2: the targets' own "Cannot ..." lines would fill the
    # log; libFuzzer and the sanitizers keep writing their reports.
    if nice -n 10 "$BUILD/fuzz/fuzz_$t" -max_total_time="$TIME" -close_fd_mask=2 \
        -print_final_stats=1 -artifact_prefix="$out/" "$out/corpus" "fuzz/corpus/$t" \
        >"$out/log" 2>&1; then
        status=ok
    else
        status=FAILED
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$out/log")
    secs=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$out/log")
    echo "$t: $status, ${runs:-?} runs, ${secs:-?}/s in ${TIME}s (log: $out/log)"
    [ "$status" = ok ]
}

fail=0
running=0
pids=""
for t in $TARGETS; do
    run_one "$t" &
    pids="$pids $!"
    running=$((running + 1))
    if [ "$running" -ge "$JOBS" ]; then
        for p in $pids; do wait "$p" || fail=1; done
        pids=""
        running=0
    fi
done
for p in $pids; do wait "$p" || fail=1; done
exit $fail
