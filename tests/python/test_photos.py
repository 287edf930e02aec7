# JPEG and WebP as the command line takes and gives them: files Pillow writes
# are packed, and the stored pixels are what Pillow reads from the same files
# (both read JPEG through libjpeg-turbo's defaults, so exactly); `extract
# --format webp` gives back files Pillow reads as the entries' pixels, alpha
# and the colour under it included; damaged or unread files are refused in one
# line; a JPEG or WebP image is stored under a .png name, said once a run.
import struct
import subprocess

import numpy as np
import PIL.features
import PIL.Image
import pytest

import morvex_tex
from conftest import pattern, program


def tex(*args, cwd):
    """`morvex_tex ARGS...`: (exit status, standard error's lines)."""
    r = subprocess.run([program("MORVEX_TEX"), *map(str, args)], cwd=cwd, capture_output=True, check=False)
    return r.returncode, r.stderr.decode().splitlines()


def smooth(height, width, seed):
    """An opaque RGB picture of gradients and a little noise, as photos are."""
    y, x = np.mgrid[0:height, 0:width]
    noise = np.random.default_rng(seed).integers(0, 24, (height, width, 3))
    rgb = np.dstack([x * 255 // width, y * 255 // height, (x + y) * 255 // (width + height)]) + noise
    return np.clip(rgb, 0, 255).astype(np.uint8)


def pillow_rgba(path):
    return np.asarray(PIL.Image.open(path).convert("RGBA"))


def stored(archive, name):
    with morvex_tex.open(archive) as a:
        return a[name].pixels()


# How Pillow writes each file, from an RGB picture.
JPEGS = {
    "4:4:4": dict(quality=92, subsampling=0),
    "4:2:2": dict(quality=85, subsampling=1),
    "4:2:0": dict(quality=75, subsampling=2),
    "progressive": dict(quality=80, progressive=True),
    "optimised tables": dict(quality=60, optimize=True),
}


@pytest.mark.parametrize("how", JPEGS)
def test_jpeg_pixels_are_those_pillow_reads(tmp_path, how):
    PIL.Image.fromarray(smooth(37, 53, 1), "RGB").save(tmp_path / "photo.jpg", **JPEGS[how])
    rc, err = tex("create", "-q", "j.pak", "photo.jpg", cwd=tmp_path)
    assert rc == 0, err
    pixels = stored(tmp_path / "j.pak", "photo.png")
    read = pillow_rgba(tmp_path / "photo.jpg")
    if "libjpeg_turbo" in PIL.features.get_supported_features() and PIL.features.check_feature("libjpeg_turbo"):
        assert np.array_equal(pixels, read)
    else:  # another library's transform rounds a little differently
        assert np.abs(pixels.astype(int) - read.astype(int)).max() <= 3


def test_grey_jpeg_is_stored_grey_and_opaque(tmp_path):
    PIL.Image.fromarray(smooth(16, 24, 2)[..., 0], "L").save(tmp_path / "grey.jpeg", quality=90)
    rc, err = tex("create", "-q", "j.pak", "grey.jpeg", cwd=tmp_path)
    assert rc == 0, err
    pixels = stored(tmp_path / "j.pak", "grey.png")
    assert np.array_equal(pixels, pillow_rgba(tmp_path / "grey.jpeg"))
    assert (pixels[..., 0] == pixels[..., 2]).all() and (pixels[..., 3] == 255).all()


@pytest.mark.parametrize("alpha", ["mixed", "clear", "opaque"])
def test_lossless_webp_is_stored_exactly(tmp_path, alpha):
    source = pattern(19, 23, 5, alpha)
    PIL.Image.fromarray(source, "RGBA").save(tmp_path / "pic.webp", lossless=True, exact=True)
    rc, err = tex("create", "-q", "w.pak", "pic.webp", cwd=tmp_path)
    assert rc == 0, err
    assert np.array_equal(stored(tmp_path / "w.pak", "pic.png"), source)


def test_lossy_webp_pixels_are_those_pillow_reads(tmp_path):
    source = pattern(24, 40, 6, "mixed")
    source[..., :3] = smooth(24, 40, 6)
    PIL.Image.fromarray(source, "RGBA").save(tmp_path / "pic.webp", quality=70)
    rc, err = tex("create", "-q", "w.pak", "pic.webp", cwd=tmp_path)
    assert rc == 0, err
    pixels = stored(tmp_path / "w.pak", "pic.png")
    assert np.array_equal(pixels, pillow_rgba(tmp_path / "pic.webp"))
    assert np.array_equal(pixels[..., 3], source[..., 3])  # alpha is kept lossless


@pytest.mark.parametrize("type_", [6, 4])
def test_extract_as_webp_gives_back_every_pixel(tmp_path, type_):
    images = {f"{alpha}.tga": pattern(11 + n, 17 - n, 30 + n, alpha)
              for n, alpha in enumerate(["mixed", "clear", "half", "opaque"])}
    morvex_tex.create(tmp_path / "a.pak", images, type=type_)
    rc, err = tex("extract", "-q", "--format", "webp", "-C", "out", "a.pak", cwd=tmp_path)
    assert rc == 0, err
    with morvex_tex.open(tmp_path / "a.pak") as a:
        for name in images:
            webp = tmp_path / "out" / name.replace(".tga", ".webp")
            with PIL.Image.open(webp) as im:
                assert im.format == "WEBP"
            # Every channel, alpha and the colour of transparent pixels too.
            assert np.array_equal(pillow_rgba(webp), a[name].pixels()), name


def jpeg_declaring(path, width, height):
    """The JPEG at `path` with its frame header claiming width x height."""
    data = bytearray(path.read_bytes())
    at = data.index(b"\xff\xc0") + 5
    data[at:at + 4] = struct.pack(">HH", height, width)
    return bytes(data)


def hostile(tmp_path):
    PIL.Image.fromarray(smooth(32, 32, 3), "RGB").save(tmp_path / "good.jpg", quality=80)
    PIL.Image.fromarray(pattern(8, 8, 4), "RGBA").save(tmp_path / "good.webp", lossless=True)
    good_jpeg, good_webp = (tmp_path / "good.jpg").read_bytes(), (tmp_path / "good.webp").read_bytes()
    cmyk = tmp_path / "cmyk.jpg"
    PIL.Image.fromarray(smooth(8, 8, 5), "RGB").convert("CMYK").save(cmyk)
    frames = [PIL.Image.fromarray(pattern(8, 8, k), "RGBA") for k in range(2)]
    frames[0].save(tmp_path / "anim.webp", save_all=True, append_images=frames[1:], lossless=True)
    return {
        "cut.jpg": (good_jpeg[: len(good_jpeg) // 2], "Premature end of JPEG file"),
        "huge.jpg": (jpeg_declaring(tmp_path / "good.jpg", 65500, 65500), "65500 x 65500 pixels"),
        "bomb.jpg": (jpeg_declaring(tmp_path / "good.jpg", 16384, 16384), "can't hold 16384 x 16384 pixels"),
        "cmyk.jpg": (cmyk.read_bytes(), "a JPEG variant that isn't read (CMYK)"),
        "cut.webp": (good_webp[:-6], "truncated WebP image"),
        "anim.webp": ((tmp_path / "anim.webp").read_bytes(), "a WebP variant that isn't read (an animation)"),
        "riff.webp": (b"RIFF\x04\x00\x00\x00WAVE", "not a WebP image (no RIFF WEBP signature)"),
        "text.jpg": (b"hello", "not a JPEG image (no JPEG signature)"),
    }


def test_damaged_and_unread_files_are_refused_in_one_line(tmp_path):
    for name, (data, reason) in hostile(tmp_path).items():
        (tmp_path / name).write_bytes(data)
        rc, err = tex("create", "-q", "x.pak", name, cwd=tmp_path)
        assert rc != 0, name
        assert len(err) == 1 and err[0].startswith(f"morvex_tex: {name}: ") and reason in err[0], (name, err)
        assert not (tmp_path / "x.pak").exists(), name


def test_jpeg_and_webp_are_stored_under_png_names_said_once(tmp_path):
    PIL.Image.fromarray(smooth(8, 8, 7), "RGB").save(tmp_path / "photo.jpg")
    PIL.Image.fromarray(pattern(8, 8, 8), "RGBA").save(tmp_path / "pic.webp", lossless=True)
    PIL.Image.fromarray(pattern(8, 8, 9), "RGBA").save(tmp_path / "icon.png")
    (tmp_path / "in" / "sub").mkdir(parents=True)
    PIL.Image.fromarray(smooth(8, 8, 10), "RGB").save(tmp_path / "in" / "sub" / "deep.JPEG")
    cases = [
        (["photo.jpg"], 0, ["photo.png"],
         ["morvex_tex: warning: photo.jpg: stored as photo.png (a TEX archive names PNG, TGA, BMP or PCX images; "
          "IMAGE=NAME chooses)"]),
        (["photo.jpg", "icon.png", "pic.webp", "in"], 0, ["photo.png", "icon.png", "pic.png", "sub/deep.png"],
         ["morvex_tex: warning: photo.jpg: stored as photo.png, and 2 more JPEG or WebP images under their stems "
          "and .png (a TEX archive names PNG, TGA, BMP or PCX images; IMAGE=NAME chooses)"]),
        (["photo.jpg=sky.tga", "pic.webp=ui/pic.bmp"], 0, ["sky.tga", "ui/pic.bmp"], []),
        (["photo.jpg=sky.jpg"], 1, None,
         ["morvex_tex: sky.jpg (the NAME given for photo.jpg): unknown image format (the name must end in .tga, "
          ".png, .bmp or .pcx)"]),
        # A run that stops says why, and not what it would have named.
        (["photo.jpg", "photo.jpg=photo.png"], 1, None,
         ["morvex_tex: photo.jpg and photo.jpg would both be stored as photo.png"]),
    ]
    for images, status, names, said in cases:
        (tmp_path / "p.pak").unlink(missing_ok=True)
        rc, err = tex("create", "-q", "p.pak", *images, cwd=tmp_path)
        assert (rc != 0) == bool(status) and err == said, (images, rc, err)
        if names is not None:
            with morvex_tex.open(tmp_path / "p.pak") as a:
                assert [e.name for e in a.entries[1:]] == names


@pytest.mark.parametrize("command", [["replace", "r.pak", "r2.pak"], ["update", "r2.pak"]])
def test_replace_and_update_match_a_jpeg_or_webp_by_its_stem(tmp_path, command):
    for archive in ("r.pak", "r2.pak"):
        morvex_tex.create(tmp_path / archive, {"tex/photo.tga": pattern(8, 8, 11, "opaque"), "tex/pic.bmp": pattern(8, 8, 12)})
    (tmp_path / "tex").mkdir()
    PIL.Image.fromarray(smooth(8, 8, 13), "RGB").save(tmp_path / "tex" / "photo.jpg", quality=95)
    source = pattern(8, 8, 14)
    PIL.Image.fromarray(source, "RGBA").save(tmp_path / "tex" / "pic.webp", lossless=True, exact=True)
    rc, err = tex(command[0], "-q", *command[1:], "tex/photo.jpg", "tex/pic.webp", cwd=tmp_path)
    assert rc == 0 and err == [], err
    with morvex_tex.open(tmp_path / "r2.pak") as a:
        assert [e.name for e in a.entries[1:]] == ["tex/photo.tga", "tex/pic.bmp"]
        assert np.array_equal(a["tex/photo.tga"].pixels(), pillow_rgba(tmp_path / "tex" / "photo.jpg"))
        assert np.array_equal(a["tex/pic.bmp"].pixels(), source)
