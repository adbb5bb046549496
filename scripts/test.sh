#!/usr/bin/env bash
# Installs what the build needs, builds the library, the virtual camera and the tests with
# warnings as errors, and runs the whole suite three times: a normal build, an AddressSanitizer +
# UndefinedBehaviorSanitizer build and a ThreadSanitizer build (its GoogleTest suites). Between the
# first two, cross-builds the library and its unit tests for arm64 and runs them under qemu. Then
# builds the fuzz targets with clang and runs each over its
# seed corpus and for a few seconds more (LUMOX_FUZZ_SECONDS, default 10). Exits non-zero on any
# failure.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
lumox_install_deps

jobs=$(nproc)

echo "== layer rules"
scripts/check_layers.sh

echo "== build (warnings are errors)"
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMOX_WERROR=ON >/dev/null
cmake --build build -j"$jobs"
echo "== tests"
(cd build && ctest --output-on-failure -j"$jobs")

echo "== arm64 cross-build of the library and its unit tests, run under qemu"
lumox_install_arm64_deps
cmake -S . -B build-arm64 -DCMAKE_TOOLCHAIN_FILE=cmake/arm64-linux-gnu.cmake \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMOX_WERROR=ON -DLUMOX_BUILD_TOOLS=OFF >/dev/null
cmake --build build-arm64 -j"$jobs"
(cd build-arm64 && ctest --output-on-failure -j"$jobs" -L unit --timeout 600)

echo "== build with AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DLUMOX_WERROR=ON \
    -DLUMOX_SANITIZE=address,undefined -DLUMOX_BUILD_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
echo "== tests under the sanitizers"
# The install test builds an uninstrumented consumer; the normal build already ran it.
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:verify_asan_link_order=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --output-on-failure -j"$jobs" -LE install)

echo "== build with ThreadSanitizer"
cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMOX_WERROR=ON \
    -DLUMOX_SANITIZE=thread -DLUMOX_BUILD_BENCH=OFF >/dev/null
cmake --build build-tsan -j"$jobs"
echo "== tests under ThreadSanitizer"
# The GoogleTest suites, unit and end to end, where the event thread meets polling calls,
# callbacks, stop and close. Left to the other two builds: the scripted tests (Python,
# examples, the publisher, the browser, recordings through the CLI), which run whole programs
# against a virtual camera whose rendering the sanitizer slows past their time limits; the depth
# truth tests (one thread of arithmetic); and the capture tests that demand consecutive frame
# indices at 30 frames per second, which drop frames for throughput here (not a race). The CLI's
# end-to-end tests are whole programs too, and the sanitizer can hold back the signal that ends
# `lumox list --watch`; each test is bounded so that nothing here can hang the run. The hot-plug
# tests unplug and replug within moments, faster than the emulated bus's uevents keep up with
# under the sanitizer ("uevent_sender_send: No such device"); they run in the other two builds.
(cd build-tsan && TSAN_OPTIONS=suppressions=$PWD/../scripts/tsan.supp \
    ctest --output-on-failure -j"$jobs" -LE install --timeout 300 \
    -E '^(recording_cli|ros2_|view_browser|python_tests|cross_door|example_)|^DepthTruth\.|^ApiCapture\..*Consecutive|^CliTest\.|^Hotplug\.')

echo "== fuzz targets (clang, AddressSanitizer, UndefinedBehaviorSanitizer)"
cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang \
    -DCMAKE_CXX_COMPILER=clang++ -DLUMOX_FUZZ=ON -DLUMOX_BUILD_TESTS=OFF \
    -DLUMOX_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz --target lumox_fuzz -j"$jobs"
fuzz_passed=0
for target in stream frame_file lens_param drnu calib_package bad_pixel transport decode cli_args \
    recording; do
    work=$(mktemp -d)
    log="build-fuzz/fuzz_$target.log"
    # The transport target's inputs are lists of steps: long ones from the start. The emulated
    # bus's threads allocate during every input, so libFuzzer's leak check after each input (a
    # scan of the whole heap) would take three quarters of its time; the transport's leaks are
    # checked at the exit of every end-to-end test under AddressSanitizer instead.
    extra=()
    [ "$target" = transport ] && extra=(-len_control=0 -detect_leaks=0)
    # Recordings are HDF5 files of some tens of kilobytes at the least.
    max_len=4096
    [ "$target" = recording ] && max_len=65536
    # New inputs go to the scratch directory; the checked-in seeds (regressions included) are
    # replayed first. A fixed seed gives the same mutations in the same order on every run (a
    # slower machine tries a part of what a faster one does), so that CI does not pass or fail by
    # chance; campaigns by hand explore with fresh seeds (LUMOX_FUZZ_SEED).
    if ! "build-fuzz/fuzz/fuzz_$target" "$work" "fuzz/corpus/$target" -max_len="$max_len" \
        -max_total_time="${LUMOX_FUZZ_SECONDS:-10}" -seed="${LUMOX_FUZZ_SEED:-1}" \
        -artifact_prefix="$work/" "${extra[@]}" \
        >"$log" 2>&1; then
        tail -n 40 "$log"
        echo "fuzz_$target failed; the input is in $work"
        echo "fuzz: $fuzz_passed passed, 1 failed"
        exit 1
    fi
    echo "fuzz_$target: $(grep -a -o -E '#[0-9]+[[:space:]]+DONE.*' "$log" | head -n 1)"
    rm -rf "$work"
    fuzz_passed=$((fuzz_passed + 1))
done
echo "fuzz: $fuzz_passed passed, 0 failed"

echo "== all tests passed"
