#!/bin/bash
# Drives the bash completion functions the way readline does and checks what
# they offer. $1 is the source tree.
set -u
SRC=$1
# The completion asks the program for its options: the built one.
[ $# -ge 2 ] && PATH=$2:$PATH
fail=0
source "$SRC/completions/trawlcap"
source "$SRC/completions/bitpeel"
source "$SRC/completions/trawlcap-extract"
compopt() { :; }   # only valid inside a real completion; harmless here

complete_words() {   # complete_words FUNC WORD...: last word is the one completed
    COMP_WORDS=("$@"); COMP_WORDS=("${COMP_WORDS[@]:1}")
    COMP_CWORD=$(( ${#COMP_WORDS[@]} - 1 ))
    COMPREPLY=()
    "$1"
    echo "${COMPREPLY[*]}"
}
expect() {           # expect DESCRIPTION HAYSTACK NEEDLE
    if [[ " $2 " != *" $3 "* ]]; then
        echo "FAIL: $1: '$3' not in '$2'"; fail=1
    fi
}

expect "options" "$(complete_words _trawlcap trawlcap -)" "-q"
expect "interfaces" "$(complete_words _trawlcap trawlcap -i l)" "lo"
expect "file: prefix" "$(complete_words _trawlcap trawlcap -i f)" "file:"
tmp=$(mktemp -d); touch "$tmp/trace.pcap"
expect "file: paths" "$(complete_words _trawlcap trawlcap -i "file:$tmp/tr")" "file:$tmp/trace.pcap"
rm -rf "$tmp"
expect "stdout dump" "$(complete_words _trawlcap trawlcap -w -)" "-"
expect "long options" "$(complete_words _trawlcap trawlcap --min)" "--min-free="
expect "time-stamp types" "$(complete_words _trawlcap trawlcap -j a)" "arrival"
expect "filter words" "$(complete_words _trawlcap trawlcap -p 2 po)" "port"
[[ -z "$(complete_words _trawlcap trawlcap -c 1)" ]] || { echo "FAIL: numbers get no completion"; fail=1; }
# Every long option the manual page's OPTIONS describe is offered (--rm is zstd's).
offered=$(complete_words _trawlcap trawlcap --)
for opt in $(sed -n '/^\.SH OPTIONS/,/^\.SH DEVICES/p' "$SRC/man/trawlcap.1" |
             grep -oE '\\-\\-[a-z]+(\\-[a-z]+)*' | sed 's/\\-/-/g' | sort -u); do
    [ "$opt" = --rm ] && continue
    [[ " $offered " == *" $opt "* || " $offered " == *" $opt= "* ]] || { echo "FAIL: $opt not offered"; fail=1; }
done
expect "extract options" "$(complete_words _trawlcap_extract trawlcap-extract --f)" "--from"
expect "bitpeel options" "$(complete_words _bitpeel bitpeel -)" "--help"

[[ $fail -eq 0 ]] && echo "completion: all checks passed"
exit $fail
