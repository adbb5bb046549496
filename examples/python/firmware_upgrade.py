"""Writes a firmware image into the camera with a progress bar.
Usage: firmware_upgrade.py IMAGE VERSION [TYPE]
Only a strictly newer version is written. After a firmware image (types 0 and 1) the camera
resets and the call waits 20 s: do not unplug the camera before it returns."""
import sys

import lumox

if len(sys.argv) < 3:
    sys.exit("usage: firmware_upgrade.py IMAGE VERSION [TYPE]")
image, version = sys.argv[1], int(sys.argv[2])
kind = int(sys.argv[3]) if len(sys.argv) > 3 else 0


def progress(done, total):  # runs on this thread, once per acknowledged chunk
    pct = done * 100 // total if total else 100
    print(f"\r[{'#' * (pct * 40 // 100):<40}] {pct:3d} %", end="", file=sys.stderr, flush=True)


with lumox.open() as cam:
    try:
        cam.upgrade_firmware(image, version=version, type=kind, progress=progress)
    except lumox.Error as e:  # the library's reason; the camera keeps its previous image
        sys.exit(f"\nupgrade FAILED: {e.message}")
print(f"\nupgrade done: version {version}")
