#!/bin/sh
# The quick-start demo: capture a bundled trace through the replay source with
# two workers and a filter, read the files back with tcpdump, then decode two
# stream identifiers. $1 is the build directory.
set -eu
B=${1:-build/release}
TRACE=tests/data/traces/afs.pcap
FILTER="udp port 7000"
OUT=$(mktemp -d "${TMPDIR:-/tmp}/trawlcap-demo.XXXXXX")

echo "\$ trawlcap -p 2 -i file:$TRACE -w $OUT/demo.pcap $FILTER"
"$B/capture/trawlcap" -p 2 -i "file:$TRACE" -w "$OUT/demo.pcap" $FILTER

for f in "$OUT"/demo_0.pcap "$OUT"/demo_1.pcap; do
    n=$(tcpdump -nr "$f" 2>/dev/null | wc -l)
    echo "\$ tcpdump -nr $f    ($n packets; first 3 shown)"
    tcpdump -nr "$f" 2>/dev/null | head -n 3
done
echo "\$ tcpdump -nr $TRACE $FILTER | wc -l"
tcpdump -nr "$TRACE" $FILTER 2>/dev/null | wc -l

echo
echo "\$ bitpeel 2274325413085511680"
TZ=UTC "$B/decoder/bitpeel" 2274325413085511680
echo "\$ bitpeel 2274319137695858688 \"2018-08-08 08:00:00\""
TZ=UTC "$B/decoder/bitpeel" 2274319137695858688 "2018-08-08 08:00:00"
echo
echo "Dump files left in $OUT"
