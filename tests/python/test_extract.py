# Extracting and testing whole archives: extract() writes the files `morvex_tex
# extract` writes, byte for byte, and says what became of every entry.
import os

import numpy as np
import PIL.Image
import pytest

import morvex_tex
from conftest import run_tex


def tree(folder):
    """Every file beneath `folder`: {relative path: bytes}."""
    out = {}
    for root, _, files in os.walk(folder):
        for f in files:
            out[os.path.relpath(os.path.join(root, f), folder)] = open(os.path.join(root, f), "rb").read()
    return out


# extract()'s arguments, and the same for the command line.
CALLS = {
    "defaults": ({}, []),
    "png": ({"format": "png"}, ["--format", "png"]),
    "bmp": ({"format": "bmp"}, ["--format", "bmp"]),
    "webp": ({"format": "webp"}, ["--format", "webp"]),
    "raw": ({"raw": True}, ["--raw"]),
    "a folder": ({"patterns": "env/"}, ["-i", "env/"]),
    "patterns and exclude": ({"patterns": ["*.tga", "*.png"], "exclude": ["env/*"]},
                             ["-i", "*.tga", "-i", "*.png", "-x", "env/*"]),
    "one job": ({"jobs": 1}, ["-j", "1"]),
}


@pytest.mark.parametrize("how", CALLS)
def test_extract_writes_what_the_command_line_writes(made, tmp_path, how):
    path, images = made
    kwargs, args = CALLS[how]
    run_tex("extract", "-q", *args, "-C", tmp_path / "cli", path)
    with morvex_tex.open(path) as a:
        result = a.extract(tmp_path / "module", **kwargs)
    written = tree(tmp_path / "module")
    assert written == tree(tmp_path / "cli") and written
    assert sorted(os.path.relpath(p, tmp_path / "module") for _, p in result.extracted) == sorted(written)
    assert result.failed == result.skipped == result.problems == result.unmatched == []


def test_extract_as_webp_keeps_every_pixel(made, tmp_path):
    """Lossless WebP, as Pillow reads it: every channel of every pixel, alpha
    and the colour under a clear alpha included."""
    path, images = made
    with morvex_tex.open(path) as a:
        result = a.extract(tmp_path, format="webp")
    assert len(result.extracted) == len(images)
    for entry, written in result.extracted:
        with PIL.Image.open(written) as read:
            assert read.format == "WEBP" and written.endswith(".webp")
            assert np.array_equal(np.asarray(read.convert("RGBA")), images[entry.name]), entry.name


def test_extract_reports_failures_skips_and_unmatched_patterns(made, tmp_path):
    path, images = made
    data = bytearray(path.read_bytes())
    with morvex_tex.open(path) as a:
        last = a[len(a) - 1]
    # The last entry's payload cut short.
    (tmp_path / "cut.pak").write_bytes(data[: last.offset + 80 + 4])
    with morvex_tex.open(tmp_path / "cut.pak") as a:
        first = a.extract(tmp_path / "out", patterns=["*", "nothing*"])
        again = a.extract(tmp_path / "out", keep=True)
        assert [e.index for e in first.failed] == [last.index]
        assert [(e.index, p.kind) for e, p in first.problems] == [(last.index, "payload_past_end")]
        assert first.unmatched == ["nothing*"]
        assert sorted(e.index for e in again.skipped) == [1, 2]
        assert again.extracted == []
        assert [(e.index if e else None, p.kind) for e, p in a.test()] == [(last.index, "payload_past_end")]
    with morvex_tex.open(path) as a, pytest.raises(NotADirectoryError):
        a.extract(path)
