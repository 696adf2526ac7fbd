#!/bin/sh
# A build from a source tree that is not a git checkout (a release tarball)
# must still compose the GIT_VERSION_ marker, with placeholders.
# Argument: the marker script.
set -eu
dir=$(mktemp -d /tmp/tallyboard-marker.XXXXXX)
trap 'rm -rf "$dir"' EXIT
GIT_CEILING_DIRECTORIES=$dir cmake -DVERSION=1.0.2 -DBUILD_TYPE=Release -DSOURCE_DIR="$dir" \
    -DOUTPUT="$dir/marker.cc" -P "$1"
if ! grep -Eq 'char GIT_VERSION_1_0_2_Release_nogit_0_notag_[0-9]{14}_[0-9]{4}\[8\] = \{0\};' \
        "$dir/marker.cc"; then
    echo "FAIL: unexpected marker source:"
    cat "$dir/marker.cc"
    exit 1
fi
