"""Arrays the package hands out stay the caller's, and decoding runs beside a polling thread."""
import threading

import numpy as np

import lumox


def test_held_arrays_are_never_reused(cam):
    # The package recycles arrays nobody holds any more; held frames and images must keep
    # their contents while later frames are captured and decoded.
    frames, depths, copies = [], [], []
    for frame in cam.frames():
        frames.append(frame)
        depths.append(cam.distance(frame))
        copies.append((frame.data.copy(), depths[-1].copy()))
        if len(frames) == 8:
            break
    assert len({f.data.ctypes.data for f in frames}) == 8
    for frame, depth, (data, dist) in zip(frames, depths, copies):
        assert np.array_equal(frame.data, data)
        assert np.array_equal(depth, dist, equal_nan=True)
    view = frames[0].data[:16]  # a view holds its base: the frame's array is not recycled
    del frames, depths
    later = cam.capture(6)
    assert all(f.data.ctypes.data != view.ctypes.data for f in later)


def test_decoding_beside_a_polling_thread(cam):
    reference = cam.capture(1)[0]
    expected = cam.distance(reference)
    polled, failures = [], []

    def poll():
        try:
            polled.extend(f.index for f in cam.capture(10))
        except Exception as e:  # reported below
            failures.append(e)

    poller = threading.Thread(target=poll)
    poller.start()
    while poller.is_alive():  # the library decodes while the other thread waits in it
        assert np.array_equal(cam.distance(reference), expected, equal_nan=True)
    poller.join()
    assert not failures and len(polled) == 10


def test_a_refused_second_poller_leaves_the_first_capture_running(cam):
    # Two threads ask for frames at once: one polls, the other is refused before it can start
    # or stop anything, so the first gets every frame it asked for.
    for _ in range(3):
        barrier = threading.Barrier(2)
        got, refused, failures = [], [], []

        def poll():
            barrier.wait()
            try:
                got.append(len(cam.capture(12)))
            except lumox.Error as e:
                (refused if "another thread is polling" in e.message else failures).append(e)

        threads = [threading.Thread(target=poll) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert not failures
        assert got and all(n == 12 for n in got)
        assert len(got) + len(refused) == 2
        assert not cam.capturing


def test_an_unfinished_frames_loop_lets_another_thread_poll(cam):
    # A generator suspended between frames is not polling: a second thread's capture runs.
    loop = cam.frames()
    first = next(loop)
    got, failures = [], []

    def poll():
        try:
            got.extend(cam.capture(3))
        except Exception as e:  # reported below
            failures.append(e)

    t = threading.Thread(target=poll)
    t.start()
    t.join()
    assert not failures and len(got) == 3
    assert next(loop).index != first.index
    loop.close()  # the loop started the capture, so its end stops it
    assert not cam.capturing
