# Writing: replace() puts each image in the entry it names as `morvex_tex
# replace` matches names (exactly, by path with fewer folders, by stem),
# keeping every other entry byte for byte; create() and replace() refuse
# what the command line refuses, as morvex_tex.Error of the right kind or
# Python's own exceptions.
import types

import numpy as np
import PIL.Image
import pytest

import morvex_tex
from conftest import pattern

NEW = pattern(12, 20, 99)


def rgb(pixels):
    return pixels[..., :3]


# The images given, the entry patched, what it then holds, and the counts
# and warnings of the result.
REPLACED = {
    "exact name": ({"env/sky.tga": NEW}, "env/sky.tga", NEW, (1, 0), []),
    "same stem": ({"env/sky.png": NEW}, "env/sky.tga", NEW, (1, 0), []),
    "fewer folders": ({"mods/env/sky.tga": NEW}, "env/sky.tga", NEW, (1, 0), []),
    "bytes name": ({b"env/sky.tga": NEW}, "env/sky.tga", NEW, (1, 0), []),
    "a mapping not a dict": (types.MappingProxyType({"env/sky.tga": NEW}), "env/sky.tga", NEW, (1, 0), []),
    "file by its path": ("file", "env/sky.tga", NEW, (1, 0), []),
    "no alpha": ({"env/sky.tga": rgb(NEW)}, "env/sky.tga", np.dstack([rgb(NEW), np.full((12, 20), 255, np.uint8)]),
                 (1, 0), [("env/sky.tga", "alpha_lost")]),
    "other size": ({"env/sky.tga": NEW[:5, :7]}, "env/sky.tga", NEW[:5, :7], (1, 0), [("env/sky.tga", "resized")]),
    "its own pixels": ({"ui/icon.png": pattern(7, 5, 2, "opaque")}, "ui/icon.png", pattern(7, 5, 2, "opaque"),
                       (0, 1), []),
}


@pytest.mark.parametrize("how", REPLACED)
def test_replace_matches_names_as_the_command_line(made, tmp_path, how):
    path, images = made
    given, patched, holds, (replaced, unchanged), warnings = REPLACED[how]
    if given == "file":
        (tmp_path / "env").mkdir()
        PIL.Image.fromarray(NEW, "RGBA").save(tmp_path / "env" / "sky.png")
        given = [(None, tmp_path / "env" / "sky.png")]
    result = morvex_tex.replace(path, tmp_path / "out.pak", given)
    assert (result.entries, result.replaced, result.unchanged, result.kept) == (4, replaced, unchanged, 4 - replaced - unchanged)
    assert result.warnings == warnings
    with morvex_tex.open(path) as before, morvex_tex.open(tmp_path / "out.pak") as after:
        assert np.array_equal(after[patched].pixels(), holds)
        for e in before:
            if e.name != patched:
                assert after[e.index].raw() == e.raw() and after[e.index].name == e.name


def test_replace_keeps_an_entrys_type(tmp_path):
    morvex_tex.create(tmp_path / "four.pak", {"a.tga": pattern(4, 4, 1)}, type=4)
    morvex_tex.replace(tmp_path / "four.pak", tmp_path / "out.pak", {"a.tga": NEW})
    with morvex_tex.open(tmp_path / "out.pak") as a:
        assert a["a.tga"].type == 4
        assert np.array_equal(a["a.tga"].pixels(), (np.rint(NEW / 17) * 17).astype(np.uint8))


def image_file(d, name, text=False):
    (d / name).write_bytes(b"not an image" if text else b"")
    return d / name


# A call, and what it raises: an exception type and, for morvex_tex.Error, its kind.
REFUSED = {
    "output not an archive": (lambda d, m: morvex_tex.create(image_file(d, "notes.txt", True), {"a.tga": NEW}),
                              morvex_tex.Error, "refused"),
    "output folder missing": (lambda d, m: morvex_tex.create(d / "no" / "a.pak", {"a.tga": NEW}), FileNotFoundError, None),
    "name without format": (lambda d, m: morvex_tex.create(d / "a.pak", {"a.txt": NEW}), morvex_tex.Error, "name"),
    "name too long": (lambda d, m: morvex_tex.create(d / "a.pak", {"n" * 30 + ".tga": NEW}), morvex_tex.Error, "name"),
    "image file missing": (lambda d, m: morvex_tex.create(d / "a.pak", [(None, d / "gone.png")]), FileNotFoundError, None),
    "image file not an image": (lambda d, m: morvex_tex.create(d / "a.pak", [(None, image_file(d, "x.png", True))]),
                                morvex_tex.Error, "image"),
    "array of two dimensions": (lambda d, m: morvex_tex.create(d / "a.pak", {"a.tga": NEW[..., 0]}), TypeError, None),
    "array of floats": (lambda d, m: morvex_tex.create(d / "a.pak", {"a.tga": NEW / 255}), TypeError, None),
    "empty array": (lambda d, m: morvex_tex.create(d / "a.pak", {"a.tga": NEW[:0]}), ValueError, None),
    "unknown type": (lambda d, m: morvex_tex.create(d / "a.pak", {"a.tga": NEW}, type=5), ValueError, None),
    "jobs not a number": (lambda d, m: morvex_tex.create(d / "a.pak", {"a.tga": NEW}, jobs="2"), TypeError, None),
    "level out of range": (lambda d, m: morvex_tex.create(d / "a.pak", {"a.tga": NEW}, type=4, level=2**70), ValueError, None),
    "not pairs": (lambda d, m: morvex_tex.create(d / "a.pak", [NEW]), TypeError, None),
    "no such entry": (lambda d, m: morvex_tex.replace(m, d / "out.pak", {"nothing.tga": NEW}), morvex_tex.Error, "name"),
    "input missing": (lambda d, m: morvex_tex.replace(d / "gone.pak", d / "out.pak", {"a.tga": NEW}),
                      FileNotFoundError, None),
    "input damaged": (lambda d, m: morvex_tex.replace(cut(m, d), d / "out.pak", {"env/sky.tga": NEW}),
                      morvex_tex.Error, "damaged"),
}


def cut(path, d):
    (d / "cut.pak").write_bytes(path.read_bytes()[:-10])
    return d / "cut.pak"


@pytest.mark.parametrize("how", REFUSED)
def test_create_and_replace_refuse(made, tmp_path, how):
    call, raised, kind = REFUSED[how]
    before = sorted(p.name for p in tmp_path.iterdir())
    with pytest.raises(raised) as failed:
        call(tmp_path, made[0])
    if kind:
        assert failed.value.kind == kind
    # Nothing is left behind by a refused call.
    assert sorted(p.name for p in tmp_path.iterdir() if p.name not in ("notes.txt", "x.png", "cut.pak")) == before


def test_force_writes_over_a_file_that_is_no_archive(tmp_path):
    morvex_tex.create(image_file(tmp_path, "notes.txt", True), {"a.tga": NEW}, force=True)
    with morvex_tex.open(tmp_path / "notes.txt") as a:
        assert np.array_equal(a["a.tga"].pixels(), NEW)
