#!/bin/bash
# What a user gets from an installation, checked from the installed files only:
#   install_test.sh prefix   SRC BUILD TRACES SANITIZE
#       `cmake --install` of the whole project into a temporary prefix.
#   install_test.sh packages SRC BUILD TRACES SANITIZE
#       the .deb packages from `cpack -G DEB`: fields and contents, then, as
#       root, `dpkg -i` into this machine and `dpkg --purge` again afterwards
#       (also on failure). Not root: the packages are unpacked into a
#       throw-away root and checked there, and the test reports a skip.
# Each installed program runs: trawlcap on a bundled trace with two workers
# and a filter, its files read back with tcpdump; bitpeel on an identifier.
# The packaged library is linked from a plain C host through pkg-config and
# through find_package. Exit 77 means skipped.
set -u
MODE=$1 SRC=$2 BUILD=$3 TRACES=$4 SANITIZE=${5:-}

PACKAGES="trawlcap bitpeel libtallyboard libtallyboard-dev"
TRACE=$TRACES/afs.pcap
FILTER="udp port 7000"
ID=2274319137695858688
BASE="2018-08-08 08:00:00"
BITPEEL_OUT="stream_id is 2274319137695858688, decode result:
    device-id    : 1010
    thread-id    : 0
    relative-time: 40462456
    sequence     : 0
    Absolute-time: 2019-11-19 15:34:16"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
skip() { echo "SKIP: $*"; exit 77; }
finish() { [ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }; echo "ok: $MODE"; exit 0; }

WORK=$(mktemp -d "${TMPDIR:-/tmp}/trawlkit-install.XXXXXX")
installed_by_us=""
cleanup() {
    if [ -n "$installed_by_us" ]; then
        # shellcheck disable=SC2086
        dpkg_retry --purge $PACKAGES >"$WORK/purge.log" 2>&1 || { echo "dpkg --purge failed:"; cat "$WORK/purge.log"; }
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

# dpkg does not wait for its lock; another apt or dpkg run is brief.
dpkg_retry() {
    local i rc
    for i in $(seq 15); do
        dpkg "$@" 2>"$WORK/dpkg.err" && { cat "$WORK/dpkg.err" >&2; return 0; }
        rc=$?
        cat "$WORK/dpkg.err" >&2
        grep -qi "lock" "$WORK/dpkg.err" || return $rc
        sleep 2
    done
    return $rc
}

# packets FILE [FILTER...]: one sorted line per packet, its bytes in hex. No
# protocol decoding: tcpdump's AFS printer depends on the packets seen before.
packets() {
    tcpdump -t -q -xx -nr "$@" 2>/dev/null |
        awk '/^\t/ {p = p " " $0; next} {if (p != "") print p; p = $0} END {if (p != "") print p}' | sort
}

man_page() {   # man_page PREFIX SECTION NAME: the installed page, compressed
    local f="$1/share/man/man$2/$3.$2.gz"
    [ -f "$f" ] && echo "$f"
}

# check_tree PREFIX HOST: everything under PREFIX (bin, lib, include, share).
# HOST=yes also builds the C host against the installed library; HOST=system
# does so with the compiler's and pkg-config's default search paths only.
check_tree() {
    local P=$1 host=$2 f page
    for f in bin/trawlcap bin/trawlcap-extract bin/bitpeel lib/libvexmo.so.4 lib/libtallyboard.so \
             include/tallyboard.h lib/pkgconfig/tallyboard.pc \
             lib/cmake/tallyboard/tallyboard-config.cmake \
             lib/cmake/tallyboard/tallyboard-config-version.cmake \
             share/bash-completion/completions/trawlcap \
             share/bash-completion/completions/trawlcap-extract \
             share/bash-completion/completions/bitpeel; do
        [ -e "$P/$f" ] || fail "$P/$f not installed"
    done

    # Manual pages: installed, and rendered without a single warning.
    for page in 1:trawlcap 1:trawlcap-extract 1:bitpeel 3:tallyboard; do
        f=$(man_page "$P" "${page%%:*}" "${page#*:}") || { fail "man page ${page#*:}(${page%%:*}) not installed"; continue; }
        local warnings
        warnings=$(MANWIDTH=80 man --warnings -l "$f" 2>&1 >/dev/null) || fail "man -l $f failed: $warnings"
        [ -z "$warnings" ] || fail "man --warnings -l $f: $warnings"
    done

    # The service template runs the installed program, and systemd takes it.
    local unit=$P/lib/systemd/system/trawlcap@.service
    grep -q "^ExecStart=$P/bin/trawlcap " "$unit" 2>/dev/null || fail "$unit does not run $P/bin/trawlcap"
    # A refused command line fails the start, and the installed program can say so.
    grep -q "^ExecStartPre=$P/bin/trawlcap --check " "$unit" 2>/dev/null || fail "$unit does not check first"
    env -u LD_LIBRARY_PATH "$P/bin/trawlcap" --check -C 0x10 >/dev/null 2>&1 && fail "trawlcap --check takes -C 0x10"
    if command -v systemd-analyze >/dev/null; then
        MANPATH=$P/share/man systemd-analyze verify "$unit" >"$WORK/verify.log" 2>&1 || \
            fail "systemd-analyze verify $unit: $(cat "$WORK/verify.log")"
        # The sandbox as systemd rates it: "OK" (5.0 of 10) or better.
        local exposure
        exposure=$(systemd-analyze security --offline=true "$unit" 2>&1 | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\) .*/\1/p')
        if [ -z "$exposure" ]; then
            echo "systemd-analyze security --offline=true not supported here: the unit's sandbox not rated"
        elif ! awk -v e="$exposure" 'BEGIN { exit !(e <= 5.0) }'; then
            fail "systemd-analyze security rates $unit $exposure, more than 5.0"
        fi
    else
        echo "systemd-analyze not installed: the unit not verified, its sandbox not rated"
    fi

    # Completions register themselves for their command.
    for f in trawlcap bitpeel; do
        bash -c "source '$P/share/bash-completion/completions/$f' && complete -p $f" >/dev/null 2>&1 || \
            fail "completion file for $f does not register a completion"
    done

    # trawlcap must find the installed libvexmo.so.4 through its RUNPATH,
    # not the build tree's nor one named by the environment.
    local lib
    lib=$(env -u LD_LIBRARY_PATH ldd "$P/bin/trawlcap" | sed -n 's/^[[:space:]]*libvexmo\.so\.4 => \([^ ]*\).*/\1/p')
    [ "$(readlink -f "$lib")" = "$(readlink -f "$P/lib/libvexmo.so.4")" ] || \
        fail "installed trawlcap resolves libvexmo.so.4 to '$lib', not $P/lib"

    local out="$WORK/cap" report
    mkdir -p "$out"
    # shellcheck disable=SC2086
    report=$(env -u LD_LIBRARY_PATH "$P/bin/trawlcap" -p 2 -i "file:$TRACE" -w "$out/afs.pcap" $FILTER 2>&1 >/dev/null) || \
        fail "installed trawlcap failed: $report"
    local want got
    # shellcheck disable=SC2086
    want=$(packets "$TRACE" $FILTER)
    got=$(for f in "$out"/afs_0.pcap "$out"/afs_1.pcap; do packets "$f"; done | sort)
    [ -n "$want" ] || fail "tcpdump finds nothing for '$FILTER' in $TRACE"
    [ "$got" = "$want" ] || fail "trawlcap's two files do not hold the packets tcpdump selects from $TRACE"
    local n
    n=$(printf '%s\n' "$want" | wc -l)
    case "$report" in
        *"Summary : dumpfile $out/afs.pcap, "*" packets recved, $n packets captured."*) ;;
        *) fail "trawlcap report does not sum up $n captured packets: $report" ;;
    esac

    got=$(env -u LD_LIBRARY_PATH TZ=UTC "$P/bin/bitpeel" "$ID" "$BASE" 2>&1) || fail "installed bitpeel failed: $got"
    [ "$got" = "$BITPEEL_OUT" ] || fail "installed bitpeel printed: $got"

    [ "$host" = no ] && return
    local pcpath=$P/lib/pkgconfig cmprefix=$P ldpath=$P/lib
    if [ "$host" = system ]; then pcpath="" cmprefix="" ldpath=""; fi
    local flags
    flags=$(PKG_CONFIG_PATH=$pcpath pkg-config --cflags --libs tallyboard) || fail "pkg-config does not know tallyboard"
    # shellcheck disable=SC2086
    if cc -std=c99 -pedantic -Wall -Wextra -Werror "$SRC/fieldstat/tests/installed_c_test.c" $flags \
          -o "$WORK/c_host_pc" 2>"$WORK/cc.log"; then
        env -u LD_LIBRARY_PATH ${ldpath:+LD_LIBRARY_PATH=$ldpath} "$WORK/c_host_pc" >"$WORK/host.log" 2>&1 || \
            { fail "C host built with pkg-config failed:"; cat "$WORK/host.log"; }
    else
        fail "C host does not build with pkg-config: $(cat "$WORK/cc.log")"
    fi
    if cmake -S "$SRC/fieldstat/tests/find_package" -B "$WORK/host" -DCMAKE_C_COMPILER=cc \
             ${cmprefix:+-DCMAKE_PREFIX_PATH=$cmprefix} -DCMAKE_C_FLAGS="-Wall -Wextra -Werror" \
             -DHOST_SOURCE="$SRC/fieldstat/tests/installed_c_test.c" >"$WORK/cmake.log" 2>&1 &&
       cmake --build "$WORK/host" >>"$WORK/cmake.log" 2>&1; then
        grep -q "tallyboard_DIR:PATH=$(readlink -f "${cmprefix:-/usr}")/lib/cmake/tallyboard" "$WORK/host/CMakeCache.txt" || \
            fail "find_package(tallyboard) did not find the installed copy: $(grep tallyboard_DIR "$WORK/host/CMakeCache.txt")"
        env -u LD_LIBRARY_PATH "$WORK/host/c_host" >"$WORK/host.log" 2>&1 || \
            { fail "C host built with find_package failed:"; cat "$WORK/host.log"; }
    else
        fail "C host does not build with find_package:"; cat "$WORK/cmake.log"
    fi
}

command -v tcpdump >/dev/null || skip "tcpdump not installed"
command -v man >/dev/null || skip "man not installed (man-db)"
[ -f "$TRACE" ] || skip "trace $TRACE missing"

case "$MODE" in
prefix)
    cmake --install "$BUILD" --prefix "$WORK/prefix" >"$WORK/install.log" 2>&1 || { cat "$WORK/install.log"; fail "cmake --install failed"; finish; }
    # The C host against a cmake --install tree is fieldstat.installed_c_host.
    check_tree "$WORK/prefix" no
    finish
    ;;
packages) ;;
*) echo "unknown mode $MODE"; exit 2 ;;
esac

[ -z "$SANITIZE" ] || skip "sanitizer build ($SANITIZE): its binaries are not what the packages ship"
command -v dpkg-deb >/dev/null || skip "dpkg-deb not installed: not a Debian system"
command -v dpkg-shlibdeps >/dev/null || skip "dpkg-shlibdeps not installed (dpkg-dev)"

cpack -G DEB -B "$WORK/debs" --config "$BUILD/CPackConfig.cmake" >"$WORK/cpack.log" 2>&1 || { cat "$WORK/cpack.log"; fail "cpack failed"; finish; }
VERSION=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$BUILD/CPackConfig.cmake")
DEBS=""
for p in $PACKAGES; do
    deb=$(ls "$WORK"/debs/"${p}"_*.deb 2>/dev/null | head -n 1)
    [ -n "$deb" ] || { fail "no package $p"; continue; }
    DEBS="$DEBS $deb"
    eval "deb_$(echo "$p" | tr - _)=\$deb"
done
[ "$failures" -eq 0 ] || finish

# Fields. The version of a package is VERSION-RELEASE.
field() { dpkg-deb -f "$1" "$2"; }
# shellcheck disable=SC2154
{
    depends=$(field "$deb_trawlcap" Depends)
    for d in "libc6 (" "libpcap0.8 (" "libzstd1 (" "libstdc++6 ("; do
        case "$depends" in *"$d"*) ;; *) fail "trawlcap does not depend on ${d% (}: $depends" ;; esac
    done
    depends=$(field "$deb_bitpeel" Depends)
    [ "${depends%% *}" = libc6 ] && [ "${depends#*,}" = "$depends" ] || fail "bitpeel should depend on libc6 alone: $depends"
    depends=$(field "$deb_libtallyboard" Depends)
    [ "${depends%% *}" = libc6 ] && [ "${depends#*,}" = "$depends" ] || fail "libtallyboard should depend on libc6 alone: $depends"
    depends=$(field "$deb_libtallyboard_dev" Depends)
    [ "$depends" = "libtallyboard (= $(field "$deb_libtallyboard" Version))" ] || \
        fail "libtallyboard-dev should depend on its own libtallyboard version: $depends"
    case "$(field "$deb_trawlcap" Version)" in "$VERSION"-*) ;; *) fail "trawlcap version is not $VERSION-*" ;; esac
}

# Contents: each file in its package, nothing else, sane owners and modes.
expect_files() {   # expect_files DEB FILE...: exactly these regular files/links
    local deb=$1; shift
    local want got
    want=$(printf './usr/%s\n' "$@" | sort)
    got=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort)
    [ "$got" = "$want" ] || fail "$(basename "$deb") holds:
$got
expected:
$want"
}
# shellcheck disable=SC2154
debian_files() {   # what Debian wants in every package
    echo "share/doc/$1/copyright share/doc/$1/changelog.Debian.gz share/lintian/overrides/$1"
}
# shellcheck disable=SC2046,SC2154
expect_files "$deb_trawlcap" bin/trawlcap bin/trawlcap-extract lib/libvexmo.so.4 share/man/man1/trawlcap.1.gz \
    share/man/man1/trawlcap-extract.1.gz lib/systemd/system/trawlcap@.service \
    share/bash-completion/completions/trawlcap share/bash-completion/completions/trawlcap-extract \
    $(debian_files trawlcap)
# shellcheck disable=SC2046,SC2154
expect_files "$deb_bitpeel" bin/bitpeel share/man/man1/bitpeel.1.gz share/bash-completion/completions/bitpeel \
    $(debian_files bitpeel)
# shellcheck disable=SC2046,SC2154
expect_files "$deb_libtallyboard" lib/libtallyboard.so $(debian_files libtallyboard)
# CMake names the per-configuration targets file after the build type.
config=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$BUILD/CMakeCache.txt" | tr 'A-Z' 'a-z')
# shellcheck disable=SC2046,SC2154
expect_files "$deb_libtallyboard_dev" include/tallyboard.h lib/pkgconfig/tallyboard.pc \
    lib/cmake/tallyboard/tallyboard-config.cmake lib/cmake/tallyboard/tallyboard-config-version.cmake \
    lib/cmake/tallyboard/tallyboard-targets.cmake "lib/cmake/tallyboard/tallyboard-targets-${config:-noconfig}.cmake" \
    share/man/man3/tallyboard.3.gz $(debian_files libtallyboard-dev)
for deb in $DEBS; do
    dpkg-deb -c "$deb" | awk -v deb="$(basename "$deb")" '
        $2 != "root/root"                          { print deb ": owner " $2 " of " $6 }
        $1 ~ /^d/ && $1 != "drwxr-xr-x"            { print deb ": mode " $1 " of " $6 }
        $1 ~ /^-/ && $6 ~ /\/bin\// && $1 != "-rwxr-xr-x" { print deb ": mode " $1 " of " $6 }
        $1 ~ /^-/ && $6 !~ /\/bin\// && $1 != "-rw-r--r--" { print deb ": mode " $1 " of " $6 }
    ' >"$WORK/modes.log"
    [ -s "$WORK/modes.log" ] && fail "$(cat "$WORK/modes.log")"
done
# Debian's own checker, where it is installed (CI installs it): no error, and
# no warning that the package does not override with its reason.
if command -v lintian >/dev/null; then
    # shellcheck disable=SC2086
    lintian --fail-on error,warning $DEBS >"$WORK/lintian.log" 2>&1 || fail "lintian: $(grep -v '^running with root' "$WORK/lintian.log")"
else
    echo "lintian not installed: packages not checked by it"
fi
[ "$failures" -eq 0 ] || finish

if [ "$(id -u)" -ne 0 ]; then
    # A throw-away root: the files as dpkg would lay them out, without dpkg.
    for deb in $DEBS; do dpkg-deb -x "$deb" "$WORK/root"; done
    check_tree "$WORK/root/usr" yes
    [ "$failures" -eq 0 ] || finish
    skip "not root: checked the packages unpacked into a throw-away root; dpkg -i into the machine needs root"
fi

# Into the machine. Never touch an installation that is not ours.
for p in $PACKAGES; do
    if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "installed"; then
        skip "package $p is already installed here; not replacing it"
    fi
done
for deb in $DEBS; do
    for f in $(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print substr($6, 2)}'); do
        [ -e "$f" ] && skip "$f exists outside any of our packages; not overwriting it"
    done
done
installed_by_us=yes
# shellcheck disable=SC2086
dpkg_retry -i $DEBS >"$WORK/dpkg.log" 2>&1 || { cat "$WORK/dpkg.log"; fail "dpkg -i failed"; finish; }
for p in $PACKAGES; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || fail "$p not installed by dpkg"
done
check_tree /usr system
[ "$failures" -eq 0 ] || finish

# shellcheck disable=SC2086
dpkg_retry --purge $PACKAGES >"$WORK/purge.log" 2>&1 || { cat "$WORK/purge.log"; fail "dpkg --purge failed"; }
installed_by_us=""
for f in /usr/bin/trawlcap /usr/bin/bitpeel /usr/lib/libvexmo.so.4 /usr/lib/libtallyboard.so /usr/include/tallyboard.h; do
    [ -e "$f" ] && fail "$f left behind by dpkg --purge"
done
finish
