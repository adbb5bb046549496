#!/usr/bin/env bash
# Installs the built tree into a scratch prefix, then builds and runs a small consumer against
# it twice: with find_package(lumox) and with pkg-config. The installed programs must start
# without LD_LIBRARY_PATH (lumox, and lumox under the installed lumox-vcam), and the library,
# lumox --version, lumox.pc and the CMake package must carry one version number.
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

tool_version=$(env -u LD_LIBRARY_PATH "$prefix/bin/lumox" --version)
pc_version=$(PKG_CONFIG_PATH=$pcdir pkg-config --modversion lumox)
cmake_version=$(cat "$work/cmake/lumox_package_version.txt")
lib_version=$(basename "$(find "$prefix" -name 'liblumox.so.*.*' | head -n1)" | sed 's/^liblumox\.so\.//')
echo "versions: $tool_version, lumox.pc $pc_version, CMake package $cmake_version, library $lib_version"
[ "$tool_version" = "lumox v$pc_version" ] || { echo "lumox --version disagrees with lumox.pc"; exit 1; }
[ "$cmake_version" = "$pc_version" ] || { echo "the CMake package disagrees with lumox.pc"; exit 1; }
[ "$lib_version" = "$pc_version" ] || { echo "the shared library disagrees with lumox.pc"; exit 1; }

if [ -x "$prefix/bin/lumox-vcam" ]; then
    listed=$(cd "$work" && env -u LD_LIBRARY_PATH "$prefix/bin/lumox-vcam" -- "$prefix/bin/lumox" list)
    echo "$listed"
    echo "$listed" | grep -q "1:1 .* high " || { echo "installed lumox-vcam -- lumox list found no camera"; exit 1; }
    [ -z "$(find "$work" -maxdepth 1 -name '*.log')" ] || { echo "lumox list wrote a log file"; exit 1; }
else
    echo "lumox-vcam not built (LUMOX_BUILD_VCAM=OFF): the installed launcher was not tried"
fi

# The Python package: found by /usr/bin/python3 under the prefix's dist-packages, loading the
# installed library through its run path, and listing the camera of the installed launcher.
pkg=$(find "$prefix" -path '*dist-packages/lumox/__init__.py' | head -n1)
if [ -n "$pkg" ] && [ -x /usr/bin/python3 ]; then
    site=$(dirname "$(dirname "$pkg")")
    check='import lumox, sys; print("python", lumox.__file__, lumox.devices())'
    env -u LD_LIBRARY_PATH PYTHONPATH="$site" /usr/bin/python3 -c "import lumox" \
        || { echo "the installed Python package does not import"; exit 1; }
    if [ -x "$prefix/bin/lumox-vcam" ]; then
        (cd "$work" && env -u LD_LIBRARY_PATH PYTHONPATH="$site" LUMOX_LOG="$work/py.log" \
            "$prefix/bin/lumox-vcam" -- /usr/bin/python3 -c "$check") | tee "$work/py.out"
        grep -q "bus=1, port=1" "$work/py.out" || { echo "the installed package saw no camera"; exit 1; }
    fi
else
    echo "Python package not built: its installation was not tried"
fi
