"""Read, check, decode, extract, build and patch TEX version 3 texture archives.

The same reader as the programs morvex_tex_extractor, morvex_tex and
morvex_tex_pack (libmorvex_tex): the same checks against damaged and hostile
archives, the same problems in the same words, the same decoders and the same
files written.

    import morvex_tex

    with morvex_tex.open("game.pak") as a:
        for e in a:                            # e.problems: what the listing finds
            print(e.index, e.name, e.width, e.height, [p.kind for p in e.problems])
        for found, problem in a.test():        # decodes every entry: what decoding finds too
            print(found.name if found else "the archive", problem.kind, problem.message)
        sky = a["env/sky.tga"].pixels()        # numpy uint8, (height, width, 4), RGBA
        result = a.extract("out", format="png")
    morvex_tex.create("new.pak", {"sky.tga": sky})

Errors are morvex_tex.Error (with .kind and .message) and, where the system
refuses, OSError's subclasses as Python's own calls raise them. The GIL is
released while decoding, testing, extracting and writing; several threads may
read one archive at once. ``__init__.pyi`` beside this file holds the types.
"""

import collections.abc as _abc
from dataclasses import dataclass, field
from typing import NamedTuple, Optional


class Problem(NamedTuple):
    """A problem found in an archive or an entry.

    ``kind`` is its stable name, the one ``morvex_tex list --json`` gives in
    "problem_kinds" ("sizes_differ", "stream_damaged", ...); ``message`` the
    words the programs print for it.
    """

    kind: str
    message: str


class Error(Exception):
    """What the library refused or couldn't do.

    ``kind``: for an entry that can't be decoded, its problem's kind
    ("stream_damaged", "payload_past_end", ...); otherwise the library's error
    kind ("not_archive", "refused", "image", "name", "damaged", "no_entry",
    ...). ``message``: the programs' words. ``problem``: the Problem behind it,
    or None.
    """

    def __init__(self, kind: str, message: str, problem: Optional[Problem] = None):
        super().__init__(message)
        self.kind = kind
        self.message = message
        self.problem = problem

    def __repr__(self) -> str:
        return f"morvex_tex.Error({self.kind!r}, {self.message!r})"


@dataclass(frozen=True)
class ExtractResult:
    """What Archive.extract() did, entry by entry, as ``morvex_tex extract`` counts it.

    extracted: (Entry, path of the file written) pairs; failed: the entries
    not written, their reasons in ``problems``; skipped: those whose file
    existed and was kept (keep=True); not_extracted: those left once the
    output's file system took no more; problems: (Entry, Problem) pairs, the
    failures' reasons and the warnings of those written; unmatched: the
    patterns that matched no entry. An entry that shares an earlier entry's
    header is that entry's file, and in none of the lists.
    """

    extracted: list
    failed: list
    skipped: list
    not_extracted: list
    problems: list
    unmatched: list


@dataclass(frozen=True)
class PackResult:
    """What create(), replace(), add(), update(), delete() or rename() wrote.

    entries: the archive's entries; added (create, add, update), replaced, unchanged
    (the image was the entry's own: kept byte for byte), kept (no image for
    it, or untouched by the edit), deleted and renamed; warnings: (stored
    name, "alpha_lost" or "resized") pairs.
    """

    entries: int
    added: int
    replaced: int
    unchanged: int
    kept: int
    warnings: list
    deleted: int = 0
    renamed: int = 0


@dataclass(frozen=True)
class DiffEntry:
    """One side's entry of a Change: ``morvex_tex diff --json``'s "a" or "b", with its stored name."""

    index: int
    name: str
    type: int
    width: int
    height: int
    size: int  # the payload's bytes, as the table says


@dataclass(frozen=True)
class Change:
    """One difference diff() found, as ``morvex_tex diff --json`` has it.

    change: its kind ("only_in_a", "only_in_b", "renamed", "size_or_type",
    "same_pixels", "pixels", "type", "undecoded"); name: the entry's name in A
    (in B when only there); a, b: the entries (DiffEntry, None where a side has
    none; a rename's are its old and new names); pixels, pixels_differ,
    largest_difference: the pixels compared, for "pixels", "same_pixels" and
    "type" (else 0); problems: for "undecoded", why its pixels couldn't be had.
    """

    change: str
    name: str
    a: Optional[DiffEntry]
    b: Optional[DiffEntry]
    pixels: int = 0
    pixels_differ: int = 0
    largest_difference: int = 0
    problems: list = field(default_factory=list)


from ._morvex_tex import Archive, Entry, EntryList, __version__, add, create, delete, diff, open, rename, replace, update  # noqa: E402

__all__ = ["Archive", "Change", "DiffEntry", "Entry", "EntryList", "Error", "ExtractResult", "PackResult", "Problem", "__version__", "add",
           "create", "delete", "diff", "open", "rename", "replace", "update"]

_abc.Sequence.register(EntryList)
# help() and repr() name them as they are imported: morvex_tex.Archive,
# morvex_tex.open (the extension names its classes so in the signatures too).
for _name in __all__:
    if getattr(globals()[_name], "__module__", None) == __name__ + "._morvex_tex":
        globals()[_name].__module__ = __name__
del _name
