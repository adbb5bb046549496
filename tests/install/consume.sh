#!/usr/bin/env bash
# Installs the built library into a scratch prefix, then builds and runs a small consumer against
# it twice: with find_package(lumox) and with pkg-config.
set -euo pipefail
build=$1
consumer=$2
work=$3
rm -rf "$work"
mkdir -p "$work"
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null

test -f "$prefix/include/lumox/lumox.h"
test -f "$prefix/lib/pkgconfig/lumox.pc" || test -n "$(find "$prefix" -name lumox.pc)"
test -n "$(find "$prefix" -name '70-lumox.rules')"

cmake -S "$consumer" -B "$work/cmake" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
LD_LIBRARY_PATH=$(dirname "$(find "$prefix" -name 'liblumox.so' | head -n1)") "$work/cmake/consumer"

pcdir=$(dirname "$(find "$prefix" -name lumox.pc | head -n1)")
flags=$(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs lumox)
cc "$consumer/main.c" $flags -o "$work/consumer_pc"
LD_LIBRARY_PATH=$(dirname "$(find "$prefix" -name 'liblumox.so' | head -n1)") "$work/consumer_pc"
echo "consumer built with find_package and with pkg-config"
