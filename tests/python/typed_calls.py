# The calls users write, as they write them: checked by mypy --strict against
# the module's types (__init__.pyi) by test_types.py, never run.
import io
import os
import pathlib
from typing import Iterator, Optional

import numpy as np
import PIL.Image
from numpy.typing import NDArray

import morvex_tex


def create_and_edit(folder: pathlib.Path) -> None:
    path = folder / "game.pak"
    images: dict[str, NDArray[np.uint8]] = {"sky.tga": np.zeros((4, 4, 4), np.uint8)}
    result: morvex_tex.PackResult = morvex_tex.create(path, images)
    morvex_tex.create(str(path), images, type=4, force=True, level=9, jobs=2, progress=lambda done, total: None)
    pairs: list[tuple[str, NDArray[np.uint8]]] = [("a.tga", np.zeros((2, 2, 3), np.uint8))]
    morvex_tex.create(path, pairs)
    morvex_tex.create(path, [("a.tga", np.zeros((2, 2, 4), np.uint8)), ("b.tga", "b.png")])
    files: dict[str, str] = {"sky.tga": "sky.png"}
    morvex_tex.create(path, files)
    morvex_tex.create(path, {"sky.tga": pathlib.Path("sky.png")})
    morvex_tex.create(path, [(None, "sky.png"), (None, pathlib.Path("ui/icon.png"))])
    pictures: dict[str, PIL.Image.Image] = {"sky.tga": PIL.Image.new("RGBA", (4, 4))}
    morvex_tex.create(os.fspath(path), pictures)
    by_bytes: dict[bytes, NDArray[np.uint8]] = {b"sky.tga": np.zeros((4, 4, 4), np.uint8)}
    morvex_tex.create(path, by_bytes)
    morvex_tex.create(path, ((name, image) for name, image in images.items()))
    morvex_tex.replace(path, folder / "new.pak", images, force=True)
    morvex_tex.replace(path, path, files)
    morvex_tex.add(path, {"ui/icon.tga": np.zeros((2, 2, 4), np.uint8)}, type=4)
    morvex_tex.delete(path, "ui/")
    morvex_tex.delete(path, ["ui/*", "sky.tga"], exclude="ui/keep.tga", ignore_case=True)
    morvex_tex.rename(path, "sky.tga", "env/sky.tga")
    print(result.entries, result.added, result.warnings)


def read(path: str) -> list[NDArray[np.uint8]]:
    pixels: list[NDArray[np.uint8]] = []
    with morvex_tex.open(path) as archive:
        for entry in archive:
            name: Optional[str] = entry.name
            kinds = [problem.kind for problem in entry.problems]
            print(entry.index, name, entry.width, entry.height, entry.type, kinds)
            pixels.append(entry.pixels())
        everything = [e.pixels() for e in archive]
        first: morvex_tex.Entry = archive[1]
        some: list[morvex_tex.Entry] = archive[1:3]
        sky = archive["env/sky.tga"].to_image()
        sky.save("sky.png")
        present: bool = "env/sky.tga" in archive
        names: list[Optional[str]] = archive.names()
        found = [(e.index if e else None, p.kind) for e, p in archive.test(jobs=1)]
        result = archive.extract("out", patterns=["ui/*"], format="png", keep=True)
        written: list[str] = [file for _, file in result.extracted]
        entries: Iterator[morvex_tex.Entry] = iter(archive.entries)
        print(len(everything), first.raw(), some, present, names, found, written, next(entries))
    with morvex_tex.open(io.BytesIO(b"")) as archive:
        print(len(archive.entries), archive.problems)
    with morvex_tex.open(bytearray(b"")) as archive:
        print(archive.closed)
    return pixels


def refused(error: morvex_tex.Error) -> str:
    return error.kind + error.message + (error.problem.kind if error.problem else "")
