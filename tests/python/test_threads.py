# Threads: the GIL is released while the library works, so that other Python
# threads run meanwhile, and several threads may read one archive at once.
import sys
import threading
import time

import numpy as np
import pytest

import morvex_tex
from conftest import pattern


@pytest.fixture
def large(tmp_path):
    """An archive of one type-4 entry of 2048 x 2048 pixels, and its pixels."""
    pixels = np.tile(pattern(64, 64, 5), (32, 32, 1))
    morvex_tex.create(tmp_path / "large.pak", {"large.tga": pixels}, type=4, level=1)
    return tmp_path / "large.pak"


# Made here, once: NumPy itself may let the GIL go while it allocates.
BLANK = np.zeros((1024, 1024, 4), np.uint8)

# Each call made on the large archive while another thread counts.
CALLS = {
    "pixels": lambda a, d: a["large.tga"].pixels(),
    "test": lambda a, d: a.test(jobs=1),
    "extract": lambda a, d: a.extract(d / "out", jobs=1),
    "create": lambda a, d: morvex_tex.create(d / "new.pak", {"a.tga": BLANK}, type=4,
                                             level=12, jobs=1),
}


@pytest.mark.parametrize("how", CALLS)
def test_another_thread_runs_while_the_library_works(large, tmp_path, how):
    # With no forced switches, the counting thread can run during a call only
    # if the call lets go of the GIL: a call that held it would see the count
    # unchanged, however long it took.
    counted, stop, started = [0], threading.Event(), threading.Event()

    def count():
        started.set()
        while not stop.is_set():
            counted[0] += 1
            time.sleep(0)  # lets the GIL go between counts

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1000)
    counter = threading.Thread(target=count)
    try:
        counter.start()
        started.wait()
        with morvex_tex.open(large) as a:
            moved = False
            for _ in range(50):
                before = counted[0]
                CALLS[how](a, tmp_path)
                moved = counted[0] != before
                if moved:
                    break
        assert moved
    finally:
        stop.set()
        sys.setswitchinterval(interval)
        counter.join()


def test_threads_read_one_archive_at_once(large):
    with morvex_tex.open(large) as a:
        expected = a["large.tga"].pixels()
        results, errors = [], []

        def read():
            try:
                for _ in range(3):
                    results.append(np.array_equal(a["large.tga"].pixels(), expected))
                    results.append(a.test(jobs=2) == [])
            except Exception as e:  # reported by the main thread
                errors.append(e)

        threads = [threading.Thread(target=read) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == [] and results == [True] * 24
