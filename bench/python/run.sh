#!/usr/bin/env bash
# Python's overhead on capture plus distance: runs the C loop and the Python loop in turn against
# the same virtual camera scene, three times each, and prints every median, the median of each
# side and the overhead. Usage: run.sh BUILD_DIR [ROUNDS] [lumox-vcam options...]; the defaults
# show the box scene (linear calibration) at 100 frames per second.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
rounds=${2:-10}
shift $(( $# > 2 ? 2 : $# ))
opts=("$@")
[ ${#opts[@]} -eq 0 ] && opts=(--scene --fps 100)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
vcam=("$build/vcam/usb/lumox-vcam" "${opts[@]}" --)
c_all=() py_all=()
for _ in 1 2 3; do
    c=$("${vcam[@]}" "$build/bench/python/lumox_capture_distance_bench" "$rounds")
    py=$(PYTHONPATH="$build/python" "${vcam[@]}" /usr/bin/python3 "$here/capture_distance.py" "$rounds")
    echo "$c"
    echo "$py"
    c_all+=("$(echo "$c" | awk '{print $2}')")
    py_all+=("$(echo "$py" | awk '{print $2}')")
done
median() { printf '%s\n' "$@" | sort -g | sed -n 2p; }
c_us=$(median "${c_all[@]}")
py_us=$(median "${py_all[@]}")
awk -v c="$c_us" -v p="$py_us" 'BEGIN {
    printf "median: C %.1f us, Python %.1f us; overhead %.1f us per frame = %.1f %% of the C time\n",
           c, p, p - c, 100 * (p - c) / c }'
