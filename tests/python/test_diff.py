# Comparing from Python: diff() finds, change by change, what `morvex_tex diff
# --json` finds of the same two archives, for every kind of change.
import json

import pytest

import morvex_tex
from conftest import nearest_of_16, pattern, run_tex

SKY, RING, GLASS = pattern(6, 4, 1), pattern(3, 5, 2, "opaque"), pattern(2, 2, 3, "half")


def flip_last_payload_byte(path, name):
    with morvex_tex.open(path) as a:
        e = a[name]
        at = e.offset + 80 + e.payload_size - 1
    data = bytearray(path.read_bytes())
    data[at] ^= 1
    path.write_bytes(data)


# Each case builds B from A = {sky.tga, ring.png, glass.bmp} (type 6), and
# gives the kinds of change expected, in order.
CASES = {
    "the same": (lambda b: morvex_tex.create(b, {"sky.tga": SKY, "ring.png": RING, "glass.bmp": GLASS}), []),
    "renamed, gone, new": (lambda b: morvex_tex.create(b, {"sky.tga": SKY, "ui/ring.png": RING, "new.tga": GLASS[:1]}),
                           ["renamed", "only_in_a", "only_in_b"]),
    "pixels, size": (lambda b: morvex_tex.create(b, {"sky.tga": SKY[::-1], "ring.png": RING, "glass.bmp": GLASS[:1]}),
                     ["pixels", "size_or_type"]),
    "type changed, other pixels": (lambda b: (morvex_tex.create(b, {"ring.png": RING, "glass.bmp": GLASS}),
                                              morvex_tex.add(b, {"sky.tga": SKY}, type=4)),
                                   ["pixels"]),
    "undecoded": (lambda b: (morvex_tex.create(b, {"sky.tga": SKY, "ring.png": RING}),
                             morvex_tex.add(b, {"glass.bmp": GLASS}, type=4),
                             flip_last_payload_byte(b, "glass.bmp")),
                  ["undecoded"]),
}


def same_as_json(change, j):
    assert change.change == j["change"]
    assert change.name == j["name"]
    for side in ("a", "b"):
        entry, want = getattr(change, side), j[side]
        if want is None:
            assert entry is None
        else:
            assert (entry.index, entry.type, entry.width, entry.height, entry.size) == (
                want["index"], want["type"], want["width"], want["height"], want["size"])
    assert (change.pixels, change.pixels_differ, change.largest_difference) == (
        j.get("pixels", 0), j.get("pixels_differ", 0), j.get("largest_difference", 0))
    assert [p.message for p in change.problems] == j.get("problems", [])
    if change.change == "renamed":
        assert (change.a.name, change.b.name) == (j["a_name"], j["b_name"])


@pytest.mark.parametrize("case", CASES)
def test_diff_finds_what_the_command_line_finds(tmp_path, case):
    a, b = tmp_path / "a.pak", tmp_path / "b.pak"
    morvex_tex.create(a, {"sky.tga": SKY, "ring.png": RING, "glass.bmp": GLASS})
    build, kinds = CASES[case]
    build(b)
    found = json.loads(run_tex("diff", "--json", a, b))["changes"]
    changes = morvex_tex.diff(a, b)
    assert [c.change for c in changes] == kinds
    assert len(found) == len(changes)
    for change, j in zip(changes, found):
        same_as_json(change, j)


def test_a_type_change_with_the_same_pixels_is_the_type_alone(tmp_path):
    a, b = tmp_path / "a.pak", tmp_path / "b.pak"
    morvex_tex.create(a, {"sky.tga": nearest_of_16(SKY)})
    morvex_tex.create(b, {"sky.tga": SKY}, type=4)
    [change] = morvex_tex.diff(a, b)
    assert (change.change, change.a.type, change.b.type, change.pixels, change.pixels_differ) == ("type", 6, 4, 24, 0)
    same_as_json(change, json.loads(run_tex("diff", "--json", a, b))["changes"][0])


def test_patterns_take_entries_and_archives_must_open(tmp_path):
    a, b = tmp_path / "a.pak", tmp_path / "b.pak"
    morvex_tex.create(a, {"sky.tga": SKY, "ui/ring.png": RING})
    morvex_tex.create(b, {"sky.tga": SKY[::-1], "ui/ring.png": RING[::-1]})
    assert [c.name for c in morvex_tex.diff(a, b, "ui/")] == ["ui/ring.png"]
    assert [c.name for c in morvex_tex.diff(a, b, exclude=["UI/*"], ignore_case=True)] == ["sky.tga"]
    with pytest.raises(FileNotFoundError):
        morvex_tex.diff(a, tmp_path / "missing.pak")
    (tmp_path / "notes.txt").write_text("x")
    with pytest.raises(morvex_tex.Error) as e:
        morvex_tex.diff(tmp_path / "notes.txt", a)
    assert e.value.kind == "not_archive"
