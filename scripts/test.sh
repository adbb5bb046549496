#!/usr/bin/env bash
# Installs what the build needs, builds the library, the virtual camera and the tests with
# warnings as errors, and runs the whole suite twice: a normal build, then an AddressSanitizer +
# UndefinedBehaviorSanitizer build. Exits non-zero on any failure.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
lumox_install_deps

jobs=$(nproc)

echo "== build (warnings are errors)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMOX_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
echo "== tests"
(cd build && ctest --output-on-failure -j"$jobs")

echo "== build with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DLUMOX_WERROR=ON \
    -DLUMOX_SANITIZE=address,undefined -DLUMOX_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
echo "== tests under the sanitizers"
# The install test builds an uninstrumented consumer; the normal build already ran it.
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --output-on-failure -j"$jobs" -LE install)

echo "== all tests passed"
