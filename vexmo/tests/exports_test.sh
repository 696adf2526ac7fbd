#!/bin/sh
# libvexmo.so.4 exports the vexmo_ API and nothing else, under its SONAME.
# Usage: exports_test.sh LIBRARY
set -eu
lib=$1
want="vexmo_buff_datalen
vexmo_buff_free
vexmo_buff_mtod
vexmo_create
vexmo_init
vexmo_open_device
vexmo_recv_all_burst"
got=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TWVDBRi]$/ {print $3}' | sort)
if [ "$got" != "$want" ]; then
    echo "FAIL: exported symbols differ:"; echo "$got"
    exit 1
fi
soname=$(readelf -d "$lib" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
if [ "$soname" != "libvexmo.so.4" ]; then
    echo "FAIL: SONAME is '$soname'"
    exit 1
fi
echo "ok: 7 symbols, SONAME $soname"
