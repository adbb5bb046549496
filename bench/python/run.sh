#!/usr/bin/env bash
# Python's overhead on capture plus distance: runs the C loop and the Python loop against the same
# virtual camera scene and prints both medians and the overhead. Usage: run.sh BUILD_DIR [ROUNDS]
# [lumox-vcam options...]; the defaults show the box scene with the linear calibration.
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
c=$("${vcam[@]}" "$build/bench/python/lumox_capture_distance_bench" "$rounds")
py=$(PYTHONPATH="$build/python" "${vcam[@]}" /usr/bin/python3 "$here/capture_distance.py" "$rounds")
echo "$c"
echo "$py"
c_us=$(echo "$c" | awk '{print $2}')
py_us=$(echo "$py" | awk '{print $2}')
awk -v c="$c_us" -v p="$py_us" 'BEGIN { printf "overhead %6.1f us per frame = %.1f %% of the C time\n", p - c, 100 * (p - c) / c }'
