# The types of the module morvex_tex, for editors and type checkers; what each
# call does is in its docstring (help(morvex_tex)).
import os
from dataclasses import dataclass
from typing import IO, Callable, Iterable, Iterator, Literal, Mapping, NamedTuple, Optional, Sequence, Tuple, Union, overload

import numpy
import numpy.typing
import PIL.Image

__version__: str

StrPath = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
# A bytes-like object other than bytes (bytes is a path): bytearray, memoryview, mmap, a NumPy array, ...
Buffer = Union[bytearray, memoryview, "numpy.ndarray"]
# uint8 (height, width, 4) RGBA or (height, width, 3) RGB; a PIL.Image.Image; or an image file's path.
Image = Union["numpy.typing.NDArray[numpy.uint8]", "PIL.Image.Image", StrPath]
# A mapping {name: image} (a dict, ...), or (name, image) pairs (a list, a generator, ...). Two mappings, as a
# Mapping's key type is invariant: a dict[str, NDArray[numpy.uint8]] is a Mapping[str, Image], not a
# Mapping[str | bytes, Image].
Images = Union[Mapping[str, Image], Mapping[bytes, Image], Iterable[Tuple[Optional[Union[str, bytes]], Image]]]
# One pattern or name, or any iterable of them.
Patterns = Union[str, bytes, Iterable[Union[str, bytes]]]
Format = Literal["tga", "png", "bmp", "pcx", "webp"]
# Called as progress(done, total) on the calling thread; raising stops the call.
Progress = Optional[Callable[[int, int], object]]

class Problem(NamedTuple):
    kind: str  # stable, as `morvex_tex list --json` names it: "sizes_differ", "stream_damaged", ...
    message: str  # the programs' words

class Error(Exception):
    kind: str  # the problem's kind for an entry that can't be decoded; else "not_archive", "refused", "image", ...
    message: str
    problem: Optional[Problem]
    def __init__(self, kind: str, message: str, problem: Optional[Problem] = ...) -> None: ...

@dataclass(frozen=True)
class ExtractResult:
    extracted: list[Tuple[Entry, str]]  # each entry written and the path of its file
    failed: list[Entry]
    skipped: list[Entry]  # keep=True kept the file there
    not_extracted: list[Entry]  # the output's file system took no more
    problems: list[Tuple[Entry, Problem]]  # the failures' reasons, the warnings of those written
    unmatched: list[Union[str, bytes]]  # patterns that matched no entry

@dataclass(frozen=True)
class PackResult:
    entries: int
    added: int
    replaced: int
    unchanged: int
    kept: int
    warnings: list[Tuple[str, Literal["alpha_lost", "resized"]]]
    deleted: int
    renamed: int

@dataclass(frozen=True)
class DiffEntry:
    index: int
    name: str
    type: int
    width: int
    height: int
    size: int  # the payload's bytes

@dataclass(frozen=True)
class Change:
    change: Literal["only_in_a", "only_in_b", "renamed", "size_or_type", "same_pixels", "pixels", "type", "undecoded"]
    name: str
    a: Optional[DiffEntry]
    b: Optional[DiffEntry]
    pixels: int
    pixels_differ: int
    largest_difference: int
    problems: list[Problem]

class Entry:
    @property
    def index(self) -> int: ...
    @property
    def name(self) -> Optional[str]: ...  # None when the archive doesn't hold the entry's header
    @property
    def raw_name(self) -> Optional[bytes]: ...
    @property
    def width(self) -> Optional[int]: ...
    @property
    def height(self) -> Optional[int]: ...
    @property
    def type(self) -> Optional[int]: ...  # 4 or 6 for images
    @property
    def payload_size(self) -> int: ...
    @property
    def offset(self) -> int: ...
    @property
    def problems(self) -> list[Problem]: ...  # what the listing finds; Archive.test() decodes and finds the rest
    def pixels(
        self, out: Optional[numpy.typing.NDArray[numpy.uint8]] = None
    ) -> numpy.typing.NDArray[numpy.uint8]: ...  # (height, width, 4) RGBA, top row first
    def raw(self) -> bytes: ...
    def to_image(self) -> "PIL.Image.Image": ...

class EntryList(Sequence[Entry]):
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, index: int) -> Entry: ...
    @overload
    def __getitem__(self, index: slice) -> list[Entry]: ...
    def __iter__(self) -> Iterator[Entry]: ...

class Archive:
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, key: int) -> Entry: ...
    @overload
    def __getitem__(self, key: slice) -> list[Entry]: ...
    @overload
    def __getitem__(self, key: Union[str, bytes]) -> Entry: ...
    def __iter__(self) -> Iterator[Entry]: ...
    @property
    def entries(self) -> EntryList: ...
    @property
    def problems(self) -> list[Problem]: ...
    @property
    def closed(self) -> bool: ...
    def __contains__(self, name: object) -> bool: ...
    def names(self) -> list[Optional[str]]: ...
    def test(self, jobs: Optional[int] = None, *, progress: Progress = None) -> list[Tuple[Optional[Entry], Problem]]: ...
    def extract(
        self,
        folder: StrPath = ".",
        patterns: Optional[Patterns] = None,
        exclude: Optional[Patterns] = None,
        format: Optional[Format] = None,
        raw: bool = False,
        keep: bool = False,
        jobs: Optional[int] = None,
        *,
        progress: Progress = None,
    ) -> ExtractResult: ...
    def close(self) -> None: ...
    def __enter__(self) -> "Archive": ...
    def __exit__(self, *args: object) -> None: ...

# bytes are a path; a file object has readinto() or read(), and blocks.
def open(source: Union[StrPath, Buffer, IO[bytes]]) -> Archive: ...
def create(
    path: StrPath,
    images: Images,
    type: Literal[4, 6] = 6,
    force: bool = False,
    *,
    level: Optional[int] = None,
    jobs: Optional[int] = None,
    progress: Progress = None,
) -> PackResult: ...
def replace(
    in_path: StrPath,
    out_path: StrPath,
    images: Images,
    *,
    force: bool = False,
    level: Optional[int] = None,
    jobs: Optional[int] = None,
    progress: Progress = None,
) -> PackResult: ...
def add(
    path: StrPath,
    images: Images,
    type: Literal[4, 6] = 6,
    *,
    level: Optional[int] = None,
    jobs: Optional[int] = None,
    progress: Progress = None,
) -> PackResult: ...
def update(
    path: StrPath,
    images: Union[Images, StrPath],
    type: Literal[4, 6] = 6,
    *,
    level: Optional[int] = None,
    jobs: Optional[int] = None,
    progress: Progress = None,
) -> PackResult: ...
def delete(
    path: StrPath,
    patterns: Patterns,
    exclude: Optional[Patterns] = None,
    ignore_case: bool = False,
) -> PackResult: ...
def rename(path: StrPath, old: Union[str, bytes], new: Union[str, bytes]) -> PackResult: ...
def diff(
    a: StrPath,
    b: StrPath,
    patterns: Optional[Patterns] = None,
    exclude: Optional[Patterns] = None,
    ignore_case: bool = False,
    *,
    jobs: Optional[int] = None,
) -> list[Change]: ...
