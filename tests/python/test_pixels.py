# Pixels: what pixels() gives against references made without it: the
# arrays an archive was built from (type 6 exactly, type 4 at the nearest of
# 16 levels), and what Pillow reads from the PNG files `morvex_tex extract`
# writes of archives the command line built, for opaque, half and fully
# transparent textures of both types.
import subprocess

import numpy as np
import PIL.Image
import pytest

import morvex_tex
from conftest import nearest_of_16, pattern, program, run_tex

ALPHAS = ["opaque", "half", "clear", "mixed"]


@pytest.mark.parametrize("type_", [6, 4])
def test_pixels_match_pillow_on_what_the_command_line_builds_and_extracts(tmp_path, type_):
    sources = {}
    for n, alpha in enumerate(ALPHAS):
        sources[f"{alpha}.png"] = pattern(9 + n, 13 - n, 10 * type_ + n, alpha)
        PIL.Image.fromarray(sources[f"{alpha}.png"], "RGBA").save(tmp_path / f"{alpha}.png")
    run_tex("create", "-q", "--type", type_, "built.pak", *sources, cwd=tmp_path)
    run_tex("extract", "-q", "--format", "png", "-C", "out", "built.pak", cwd=tmp_path)
    with morvex_tex.open(tmp_path / "built.pak") as a:
        for name, source in sources.items():
            pixels = a[name].pixels()
            read = np.asarray(PIL.Image.open(tmp_path / "out" / name).convert("RGBA"))
            assert pixels.dtype == np.uint8 and pixels.shape == source.shape
            assert np.array_equal(pixels, read)
            assert np.array_equal(pixels, source if type_ == 6 else nearest_of_16(source))
            assert np.array_equal(np.asarray(a[name].to_image()), pixels)
            # Into the caller's array: the same pixels, in that array.
            out = np.full(source.shape, 7, np.uint8)
            assert a[name].pixels(out=out) is out and np.array_equal(out, pixels)


@pytest.mark.parametrize("out, error", [
    (np.zeros((3, 5, 4), np.uint8), ValueError),            # another shape
    (np.zeros((5, 3, 4), np.uint16), ValueError),           # another type
    (np.zeros((3, 5, 4), np.uint8).transpose(1, 0, 2), ValueError),  # not C-contiguous
    (np.zeros((5, 3, 4), np.uint8), None),
    (bytearray(60), TypeError),
])
def test_pixels_into_an_array_of_another_kind_is_refused(tmp_path, out, error):
    morvex_tex.create(tmp_path / "one.pak", {"x.png": pattern(5, 3, 1)})
    with morvex_tex.open(tmp_path / "one.pak") as a:
        if error is None:
            assert np.array_equal(a["x.png"].pixels(out=out), pattern(5, 3, 1))
            return
        with pytest.raises(error, match="shape \\(5, 3, 4\\)|numpy.ndarray"):
            a["x.png"].pixels(out=out)
    frozen = np.zeros((5, 3, 4), np.uint8)
    frozen.flags.writeable = False
    with morvex_tex.open(tmp_path / "one.pak") as a, pytest.raises(ValueError):
        a["x.png"].pixels(out=frozen)


def test_pixels_of_the_demo_archive_match_its_extracted_files(tmp_path):
    subprocess.run([program("MORVEX_DEMO"), "demo.pak"], cwd=tmp_path, check=True, capture_output=True)
    run_tex("extract", "-q", "--format", "png", "-C", "out", "demo.pak", cwd=tmp_path)
    with morvex_tex.open(tmp_path / "demo.pak") as a:
        assert {e.type for e in a.entries[1:]} == {4, 6}
        for e in a.entries[1:]:
            png = (tmp_path / "out" / e.name).with_suffix(".png")
            assert np.array_equal(e.pixels(), np.asarray(PIL.Image.open(png).convert("RGBA"))), e.name


# An image as create() takes it, and the pixels it stores.
GIVEN = {
    "RGBA array": (lambda p, d: p, lambda p: p),
    "RGB array": (lambda p, d: p[..., :3], lambda p: np.dstack([p[..., :3], np.full(p.shape[:2], 255, np.uint8)])),
    "strided view": (lambda p, d: np.ascontiguousarray(p[:, ::-1])[:, ::-1], lambda p: p),
    "columns of a wider array": (lambda p, d: np.concatenate([p, p], axis=1)[:, : p.shape[1]], lambda p: p),
    "PIL RGBA": (lambda p, d: PIL.Image.fromarray(p, "RGBA"), lambda p: p),
    "PIL LA": (lambda p, d: PIL.Image.fromarray(p[..., [0, 3]], "LA"),
               lambda p: np.dstack([p[..., 0], p[..., 0], p[..., 0], p[..., 3]])),
    "PNG path": (lambda p, d: save(PIL.Image.fromarray(p, "RGBA"), d / "image.png"), lambda p: p),
}


def save(image, path):
    image.save(path)
    return path


@pytest.mark.parametrize("how", GIVEN)
@pytest.mark.parametrize("type_", [6, 4])
def test_create_round_trip(tmp_path, how, type_):
    give, expect = GIVEN[how]
    source = pattern(6, 11, 7)
    morvex_tex.create(tmp_path / "a.pak", [("image.tga", give(source, tmp_path))], type=type_)
    with morvex_tex.open(tmp_path / "a.pak") as a:
        expected = expect(source)
        assert a["image.tga"].type == type_
        assert np.array_equal(a["image.tga"].pixels(), expected if type_ == 6 else nearest_of_16(expected))
