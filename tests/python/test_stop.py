# Following and stopping long calls: progress(done, total) as the work goes,
# an exception raised in it (or Ctrl-C) stopping the call and coming out of
# it, with nothing half written; and the first entry, 0 x 0, an empty image.
import os
import signal
import threading

import numpy as np
import pytest

import morvex_tex
from conftest import pattern

COUNT = 24


@pytest.fixture
def many(tmp_path):
    images = {f"t{k:02}.tga": pattern(32, 32, k, "opaque") for k in range(COUNT)}
    path = tmp_path / "many.pak"
    morvex_tex.create(path, images, type=4)
    return path, images


class Stop(Exception):
    pass


def calls(tmp_path, path, images, folder):
    """Each long call, taking progress=; extract writes into `folder`."""
    return {
        "test": lambda a, progress: a.test(jobs=2, progress=progress),
        "extract": lambda a, progress: a.extract(tmp_path / folder, jobs=2, progress=progress),
        "create": lambda a, progress: morvex_tex.create(tmp_path / "new.pak", images, jobs=2, progress=progress),
        "replace": lambda a, progress: morvex_tex.replace(path, tmp_path / "new.pak", {"t03.tga": pattern(32, 32, 99)},
                                                          progress=progress),
    }


@pytest.mark.parametrize("call", ["test", "extract", "create", "replace"])
def test_progress_follows_and_an_exception_stops(many, tmp_path, call):
    path, images = many
    seen = []
    with morvex_tex.open(path) as a:
        calls(tmp_path, path, images, "out")[call](a, lambda done, total: seen.append((done, total)))
        if call == "replace":
            assert seen == [(1, 1)]  # it says only when it is done
            return
        total = seen[-1][1]
        assert seen[-1] == (total, total) and total in (COUNT, COUNT + 1)
        assert [d for d, _ in seen] == sorted(d for d, _ in seen)
        assert len(seen) > COUNT // 2

        # Stopped from progress: the exception comes out, nothing is left
        # half written, and the work ends soon after.
        if (tmp_path / "new.pak").exists():
            os.remove(tmp_path / "new.pak")
        seen.clear()

        def stop_at_three(done, total):
            seen.append(done)
            if done >= 3:
                raise Stop(done)

        with pytest.raises(Stop):
            calls(tmp_path, path, images, "stopped")[call](a, stop_at_three)
        assert seen[-1] == 3
        assert not (tmp_path / "new.pak").exists()
        if call == "extract":
            written = sorted(os.listdir(tmp_path / "stopped"))
            assert len(written) < COUNT
            for name in written:
                assert os.path.getsize(tmp_path / "stopped" / name) == 18 + 32 * 32 * 4


def test_ctrl_c_stops_a_walk_with_keyboard_interrupt(many):
    path, _ = many
    seen = []

    def interrupt_once(done, total):
        seen.append(done)
        if done == 2:
            # From another thread, as a terminal's Ctrl-C comes.
            threading.Thread(target=os.kill, args=(os.getpid(), signal.SIGINT)).start()

    with morvex_tex.open(path) as a:
        with pytest.raises(KeyboardInterrupt):
            a.test(jobs=1, progress=interrupt_once)
            # The signal may land once the call is over on a slow machine.
            threading.Event().wait(5)
    assert seen[-1] < COUNT


def test_progress_must_be_callable(many):
    path, _ = many
    with morvex_tex.open(path) as a, pytest.raises(TypeError):
        a.test(progress=3)


def test_the_first_entry_is_an_empty_image(many):
    path, images = many
    with morvex_tex.open(path) as a:
        pixels = [e.pixels() for e in a]
    assert pixels[0].shape == (0, 0, 4) and pixels[0].dtype == np.uint8
    assert [p.shape for p in pixels[1:]] == [(32, 32, 4)] * COUNT
