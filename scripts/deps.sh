#!/bin/sh
# Installs the Debian packages the build, the tests and the benchmarks need.
# Only what is missing is installed, so a second run costs one dpkg query.
set -eu

PKGS="build-essential cmake ninja-build pkg-config libpcap-dev tcpdump \
googletest libgtest-dev libbenchmark-dev python3 iproute2 binutils man-db \
clang libclang-rt-14-dev tzdata time dpkg-dev file valgrind libzstd-dev zstd"

missing=""
for p in $PKGS; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

[ -z "$missing" ] && exit 0

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then
        SUDO="sudo"
    else
        echo "Cannot install$missing: not root and no sudo" >&2
        exit 1
    fi
fi

echo "Installing:$missing"
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get update -qq
# shellcheck disable=SC2086
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
