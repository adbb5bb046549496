#!/usr/bin/env bash
# Installs what the build needs, builds the library and the lumox tool, and runs the main job,
# writing its results under out/.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
lumox_install_deps

mkdir -p out
# The build's progress goes to out/build.log; on a failure its end is shown.
echo "== building (progress in out/build.log)"
if ! { cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo &&
    cmake --build build -j"$(nproc)" --target lumox_cli lumox-vcam; } >out/build.log 2>&1; then
    tail -40 out/build.log
    echo "the build failed: see out/build.log"
    exit 1
fi

echo "== distance colour ramp, 0 to 4 m (near red, far blue)"
build/tools/lumox cmap 0 4000 40 | tee out/cmap.txt

echo "== a virtual camera: identity, then 100 raw frames"
VCAM=build/vcam/usb/lumox-vcam
"$VCAM" -- build/tools/lumox info --calib out/calib --log out/lumox.log | tee out/info.txt
"$VCAM" -- build/tools/lumox capture --frames 100 --out out/frames --calib out/calib \
    --log out/lumox.log | tee out/capture.txt

echo "== the camera looks at a room (floor, back wall 3.5 m away, a box, a sphere, a pillar): 20 frames"
"$VCAM" --scene room --truth out/truth -- \
    build/tools/lumox depth --frames 20 --out out/depth --calib out/calib --log out/lumox.log \
    | tee out/depth.txt
echo "== again: the calibration fetched before is found and used the same way"
"$VCAM" --scene room -- build/tools/lumox depth --frames 5 --calib out/calib --log out/lumox.log \
    | tee out/depth_again.txt
build/tools/lumox calib show out/calib | head -12 | tee out/calib.txt
echo "results in out/ (out/depth: distance.png, gray.png, points.ply; out/truth: the scene's truth)"
