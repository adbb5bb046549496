#!/usr/bin/env bash
# Installs what the build needs, builds the library and the lumox tool, and runs the main job,
# writing its results under out/.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
lumox_install_deps

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target lumox_cli lumox-vcam
mkdir -p out

echo "== distance colour ramp, 0 to 4 m"
build/tools/lumox cmap 0 4000 40 | tee out/cmap.txt

echo "== a virtual camera: identity, then 100 raw frames"
VCAM=build/vcam/usb/lumox-vcam
"$VCAM" -- build/tools/lumox info --log out/lumox.log | tee out/info.txt
"$VCAM" -- build/tools/lumox capture --frames 100 --out out/frames --log out/lumox.log \
    | tee out/capture.txt

echo "== a camera facing a box 1.2 m away in front of a wall at 2 m: fetch its calibration, decode 20 frames"
rm -rf out/calib
"$VCAM" --scene --wall 2000 --calibration --product LXC660-E2-1.9.0 -- \
    build/tools/lumox depth --frames 20 --out out/depth --calib out/calib --log out/lumox.log \
    | tee out/depth.txt
build/tools/lumox calib show out/calib | head -12 | tee out/calib.txt
echo "results in out/"
