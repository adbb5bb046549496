#!/usr/bin/env bash
# Python's overhead on capture plus distance, against the same loop in C in the same process
# (capture_distance.py), in turns of ROUNDS rounds of 30 frames each. Usage:
# run.sh BUILD_DIR [ROUNDS] [TURNS] [lumox-vcam options...] (default 1 and 20); the
# default camera shows the box scene (linear calibration) at 100 frames per second.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
rounds=${2:-1}
turns=${3:-20}
shift $(( $# > 3 ? 3 : $# ))
opts=("$@")
[ ${#opts[@]} -eq 0 ] && opts=(--scene --fps 100)
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
PYTHONPATH="$build/python" "$build/vcam/usb/lumox-vcam" "${opts[@]}" -- /usr/bin/python3 \
    "$here/capture_distance.py" "$build/bench/python/liblumox_capture_distance.so" "$rounds" "$turns"
