# Reading: an archive opened from every kind of source, its entries by
# index, name and iteration (names that aren't UTF-8 too), payloads as
# stored, and what a damaged or hostile archive gives: the problems the
# command line finds, errors rather than crashes.
import io
import json
import os
import pathlib
import threading
import types

import numpy as np
import pytest

import morvex_tex
from conftest import listed_json, run_tex


class ReadOnly:
    """A binary file object with read() alone, as some wrappers are, giving `kind`."""

    def __init__(self, data, kind=bytes):
        self.data = io.BytesIO(data)
        self.kind = kind

    def read(self, size=-1):
        return self.kind(self.data.read(size))


class KeepsViews(io.BytesIO):
    """Keeps a view of every buffer readinto() is given."""

    def __init__(self, data):
        super().__init__(data)
        self.kept = []

    def readinto(self, b):
        self.kept.append(b.cast("B"))
        return super().readinto(b)


def from_pipe(data):
    """A file object on a pipe, fed by a thread: a stream that can't seek."""
    r, w = os.pipe()
    threading.Thread(target=lambda: (os.write(w, data), os.close(w)), daemon=True).start()
    return open(r, "rb")


SOURCES = {
    "str path": lambda p: str(p),
    "bytes path": lambda p: os.fsencode(p),
    "PathLike": lambda p: pathlib.Path(p),
    "bytearray": lambda p: bytearray(p.read_bytes()),
    "memoryview": lambda p: memoryview(p.read_bytes()),
    "file object": lambda p: open(p, "rb"),
    "BytesIO": lambda p: io.BytesIO(p.read_bytes()),
    "read() only": lambda p: ReadOnly(p.read_bytes()),
    "read() giving bytearray": lambda p: ReadOnly(p.read_bytes(), bytearray),
    "pipe": lambda p: from_pipe(p.read_bytes()),
}


@pytest.mark.parametrize("how", SOURCES)
def test_open_from_every_source(made, how):
    path, images = made
    with morvex_tex.open(SOURCES[how](path)) as a:
        assert [e.name for e in a] == ["", *images]
        assert len(a) == len(a.entries) == 4
        for name, pixels in images.items():
            assert np.array_equal(a[name].pixels(), pixels)
    assert a.closed


def test_views_a_file_object_keeps_outlive_open(made):
    source = KeepsViews(made[0].read_bytes())
    with morvex_tex.open(source) as a:
        assert np.array_equal(a["env/sky.tga"].pixels(), made[1]["env/sky.tga"])
    for view in source.kept:
        view[:] = bytes(len(view))
    assert source.kept and not any(any(view) for view in source.kept)


# readinto() or read() breaking its contract: what it returns, the exception and its message.
MISBEHAVING = {
    "readinto str": ("readinto", lambda b: "4", TypeError, r"readinto\(\) returned a str, not an int"),
    "readinto too many": ("readinto", lambda b: len(b) + 5, ValueError, r"returned (\d+) for a buffer of (?!\1)\d+ bytes"),
    "readinto negative": ("readinto", lambda b: -1, ValueError, "returned -1 for"),
    "readinto None": ("readinto", lambda b: None, ValueError, "no data ready"),
    "read float": ("read", lambda n: 1.5, TypeError, r"read\(\) returned a float, not bytes"),
    "read too many": ("read", lambda n: bytes(n + 1), ValueError, r"returned (\d+) bytes when asked for (?!\1)\d+"),
}


@pytest.mark.parametrize("how", MISBEHAVING)
def test_file_objects_breaking_their_contract_are_refused(how):
    method, gives, raised, message = MISBEHAVING[how]
    source = types.SimpleNamespace(read=None, readinto=None)
    setattr(source, method, gives)
    with pytest.raises(raised, match=message):
        morvex_tex.open(source)


def test_bytes_holding_nul_are_told_to_be_passed_as_a_buffer():
    with pytest.raises(ValueError, match="bytes are a path.*bytearray, a memoryview or an io.BytesIO"):
        morvex_tex.open(b"TEX\x03\x00")


def test_entries_by_index_name_and_iteration(tmp_path):
    names = [b"plain.tga", b"caf\xe9.png", b"dir/\xff\xfe.bmp"]
    path = tmp_path / "names.pak"
    morvex_tex.create(path, [(n, np.full((2, 3, 4), i, np.uint8)) for i, n in enumerate(names)])
    with morvex_tex.open(path) as a:
        assert [e.raw_name for e in a.entries][1:] == names
        assert [e.index for e in a] == [0, 1, 2, 3]
        for e in a.entries[1:]:
            assert e.name == e.raw_name.decode("utf-8", "surrogateescape")
            assert a[e.name].index == a[e.raw_name].index == names.index(e.raw_name) + 1
        assert a["caf\udce9.png"].pixels()[0, 0, 0] == 1
        assert a[-1].index == 3 and [e.index for e in a[1:3]] == [1, 2]
        assert (a[1].width, a[1].height, a[1].type, a[1].payload_size) == (3, 2, 6, 24)
        with pytest.raises(KeyError):
            a["plain.png"]
        assert a[np.int64(2)].index == a.entries[np.uint8(2)].index == 2
        for index in (4, -5, 2**70, -(2**70)):
            with pytest.raises(IndexError):
                a[index]
        entry = a[1]
    with pytest.raises(ValueError):
        entry.pixels()


def test_raw_is_the_payload_as_extract_writes_it(made, tmp_path):
    path, images = made
    run_tex("extract", "--raw", "-q", "-C", tmp_path / "raw", path)
    with morvex_tex.open(path) as a:
        for name in images:
            assert a[name].raw() == (tmp_path / "raw" / name).read_bytes()
        assert a[0].raw() == b""


def damaged(path, how):
    """The archive at `path` with one kind of damage, as bytes."""
    data = bytearray(path.read_bytes())
    with morvex_tex.open(path) as a:
        last = a[len(a) - 1]
        first = a[1]
    if how == "header padding":
        data[20] = 1
    elif how == "payload cut":
        del data[last.offset + 80 + last.payload_size // 2:]
    elif how == "entry past end":
        del data[last.offset:]
    elif how == "table cut":
        del data[256 + 8:]
    elif how == "stream damaged":
        data[first.offset + 80 + 4:first.offset + 80 + 24] = b"\xff" * 20
    return bytes(data)


# Damage, then for an entry (None: the archive) the problem kinds of
# `morvex_tex list --json` and whether pixels() and raw() raise.
DAMAGE = {
    "header padding": (None, "header_padding", False, False),
    "table cut": (None, "table_cut", None, None),
    "payload cut": (-1, "payload_past_end", True, True),
    "entry past end": (-1, "entry_past_end", True, True),
    "stream damaged": (1, None, True, False),
}


@pytest.mark.parametrize("how", DAMAGE)
def test_damaged_archives_give_problems_and_errors(tmp_path, how):
    path = tmp_path / "type4.pak"
    morvex_tex.create(path, {"a.tga": np.zeros((16, 16, 4), np.uint8), "b.tga": np.ones((16, 16, 4), np.uint8)}, type=4)
    bad = tmp_path / "bad.pak"
    bad.write_bytes(damaged(path, how))
    index, kind, pixels_fail, raw_fail = DAMAGE[how]
    with morvex_tex.open(bad) as a:
        if index is None:
            assert kind in [p.kind for p in a.problems]
            assert (None, kind) in [(e, p.kind) for e, p in a.test()]
        else:
            e = a[index]
            assert [p.kind for p in e.problems] == ([kind] if kind else [])
            if pixels_fail:
                with pytest.raises(morvex_tex.Error) as failed:
                    e.pixels()
                assert failed.value.kind == (kind or "stream_damaged") == failed.value.problem.kind
                assert (e.index, failed.value.kind) in [(t.index, p.kind) for t, p in a.test()]
            if raw_fail:
                with pytest.raises(morvex_tex.Error):
                    e.raw()
            elif raw_fail is False:
                assert len(e.raw()) == e.payload_size


def corpus():
    here = pathlib.Path(__file__).resolve().parents[2] / "fuzz"
    return sorted(p for folder in ("corpus", "crashes") for p in (here / folder).iterdir())


def kinds_of(report):
    """(index, kind) of every problem in `morvex_tex list|test --json`, the
    archive's with index None."""
    return [(None, k) for k in report["problem_kinds"]] + [
        (e["index"], k) for e in report["entries"] for k in e["problem_kinds"]
    ]


@pytest.mark.parametrize("path", corpus(), ids=lambda p: p.name)
def test_fuzz_corpus_lists_tests_and_decodes_as_the_command_line(path):
    try:
        a = morvex_tex.open(path)
    except morvex_tex.Error as e:
        assert e.kind == "not_archive" and listed_json(path).get("readable") is not True
        return
    with a:
        listed = [(None, p.kind) for p in a.problems] + [(e.index, p.kind) for e in a for p in e.problems]
        assert listed == kinds_of(listed_json(path))
        tested = [(e.index if e else None, p.kind) for e, p in a.test(jobs=2)]
        assert tested == kinds_of(json.loads(run_tex("test", "--json", path))["archives"][0])
        for e in a:
            try:
                assert e.pixels().shape == (e.height, e.width, 4)
            except morvex_tex.Error as error:
                # Refused with the problem that stops it, whatever the entry.
                assert error.kind == error.problem.kind


# A source, and what opening it raises.
REFUSED = {
    "missing file": (lambda d: d / "missing.pak", FileNotFoundError),
    "folder": (lambda d: d, IsADirectoryError),
    "not an archive": (lambda d: bytearray(b"TEX\x02" + bytes(300)), morvex_tex.Error),
    "not a source": (lambda d: 42, TypeError),
    "text file object": (lambda d: io.StringIO("TEX"), TypeError),
}


@pytest.mark.parametrize("how", REFUSED)
def test_open_refuses_with_python_exceptions(tmp_path, how):
    source, raised = REFUSED[how]
    with pytest.raises(raised) as failed:
        morvex_tex.open(source(tmp_path))
    if raised is morvex_tex.Error:
        assert failed.value.kind == "not_archive"
    if issubclass(raised, OSError):
        assert failed.value.filename == str(source(tmp_path))


def test_names_and_membership(made):
    path, images = made
    with morvex_tex.open(path) as a:
        assert a.names() == [a[0].name] + list(images)
        for name in images:
            assert name in a and name.encode() in a
        assert "env/none.tga" not in a and 1 not in a and None not in a
