"""lumox.watch: cameras arriving and leaving, as an iterator and through callbacks on the library's
hot-plug thread."""
import json
import os
import subprocess
import sys

import pytest

import lumox


def test_watch_lists_the_attached_camera_then_ends_at_its_timeout():
    serial = lumox.devices()[0].serial
    with lumox.watch(timeout=0.3) as events:
        got = list(events)
        assert not events.closed  # the timeout ends the loop, not the registration
    assert events.closed
    assert [(e.kind, e.serial, e.sequence, e.lost) for e in got] == [("arrived", serial, 1, 0)]
    with lumox.watch(timeout=0, enumerate=False) as events:
        assert list(events) == []
    with lumox.watch(callback=lambda e: None) as w, pytest.raises(TypeError):
        iter(w)
    with pytest.raises(ValueError):
        lumox.watch(timeout=-1)


# Runs under a launcher of its own that pulls the camera out 3 s after the start and plugs it back
# in a second later. Prints what each watch saw as JSON.
UNPLUG = r"""
import json, sys, threading, time
import lumox

main = threading.get_ident()
seen, threads, once, dropped = [], set(), [], []

def record(e):
    threads.add(threading.get_ident())
    seen.append(e)

def close_itself(e):
    once.append(e)
    closing.close()  # deregistered inside its own callback

def drop_itself(e):
    dropped.append(e)
    holder.clear()  # the last reference goes inside its own callback

def fail(e):
    raise RuntimeError("a failing callback")

watches = [lumox.watch(callback=record), lumox.watch(callback=fail)]
closing = lumox.watch(callback=close_itself)
holder = [lumox.watch(callback=drop_itself)]
with lumox.watch(timeout=20) as events:
    polled = []
    for e in events:
        polled.append(e)
        if len(polled) == 3:
            break
end = time.monotonic() + 10
while len(seen) < 3 and time.monotonic() < end:
    time.sleep(0.01)
# One watch stays open: the end of the program closes it.
print(json.dumps({"polled": polled, "seen": seen, "once": len(once), "dropped": len(dropped),
                  "on_main": main in threads, "threads": len(threads)}))
"""


def test_watch_through_an_unplug_and_a_replug(tmp_path):
    vcam = os.environ.get("LUMOX_VCAM")
    if not vcam:
        pytest.skip("LUMOX_VCAM (the lumox-vcam launcher) not given")
    # A launcher of its own, outside this test's emulated bus.
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "UMOCKDEV_DIR", "LUMOX_VCAM_REEXEC")}
    run = subprocess.run([vcam, "--no-calibration", "--unplug-at", "3", "--replug-at", "4", "--",
                          sys.executable, "-c", UNPLUG], env=env, cwd=tmp_path,
                         capture_output=True, text=True, timeout=90)
    assert run.returncode == 0, run.stderr
    out = json.loads(run.stdout.splitlines()[-1])
    expected = [["arrived", 1, 1, 2, 3, "VC00001", 1, 0],
                ["left", 1, 1, 2, 3, "VC00001", 2, 0],
                ["arrived", 1, 1, 3, 3, "VC00001", 3, 0]]  # a new address after the replug
    assert out["polled"] == expected
    assert out["seen"] == expected
    # Every callback on the one hot-plug thread; a watch closed or dropped inside its callback
    # gets no second event; a failing callback is reported and its watch goes on.
    assert not out["on_main"] and out["threads"] == 1
    assert out["once"] == 1 and out["dropped"] == 1
    assert run.stderr.count("a failing callback") == 3, run.stderr
