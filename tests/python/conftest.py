# What the Python module's tests share: the programs of the build (their
# paths come from ctest, python/CMakeLists.txt), archives made in code, and
# helpers that run the command line for a reference. Every file a test makes
# is beneath its own tmp_path.
import json
import os
import subprocess

import numpy as np
import pytest

import morvex_tex


def program(name):
    path = os.environ.get(name)
    if not path:
        pytest.fail(f"{name} is not set: run these tests through ctest")
    return path


def run_tex(*args, cwd=None):
    """`morvex_tex ARGS...`: its standard output; any exit status."""
    return subprocess.run([program("MORVEX_TEX"), *map(str, args)], cwd=cwd, capture_output=True, check=False).stdout


def listed_json(path):
    """`morvex_tex list --json` of one archive: its entries, by index."""
    return json.loads(run_tex("list", "--json", path))


def pattern(height, width, seed, alpha="mixed"):
    """RGBA pixels, each channel a different function of place and seed;
    alpha as asked: "opaque", "clear" (all 0), "half" (128) or "mixed"."""
    rng = np.random.default_rng(seed)
    pixels = rng.integers(0, 256, (height, width, 4), dtype=np.uint8)
    if alpha != "mixed":
        pixels[..., 3] = {"opaque": 255, "clear": 0, "half": 128}[alpha]
    return pixels


def nearest_of_16(pixels):
    """Each channel at the nearest of the 16 levels 0, 17, ..., 255."""
    return (np.rint(pixels.astype(np.float64) / 17) * 17).astype(np.uint8)


@pytest.fixture
def made(tmp_path):
    """An archive of three type-6 entries (a mixed, an opaque and a clear
    image) created by the module; returns (path, {name: pixels})."""
    images = {
        "env/sky.tga": pattern(12, 20, 1),
        "ui/icon.png": pattern(7, 5, 2, "opaque"),
        "glass.bmp": pattern(3, 9, 3, "clear"),
    }
    path = tmp_path / "made.pak"
    morvex_tex.create(path, images)
    return path, images
