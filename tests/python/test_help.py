# What help() shows of the module's calls: the types of their arguments and
# results, and the same parameters (names, order, keyword-only, defaults) as
# the types in __init__.pyi that editors and type checkers read.
import ast
import os
import pydoc

import pytest

import morvex_tex

PATH = "str | bytes | os.PathLike"
IMAGE = f"numpy.typing.NDArray[numpy.uint8] | PIL.Image.Image | {PATH}"
IMAGES = (f"collections.abc.Mapping[str, {IMAGE}] | collections.abc.Mapping[bytes, {IMAGE}] | "
          f"collections.abc.Iterable[tuple[str | bytes | None, {IMAGE}]]")
PATTERNS = "str | bytes | collections.abc.Iterable[str | bytes]"
PROGRESS = "collections.abc.Callable[[int, int], object] | None"
PACKING = f"*, level: int | None = None, jobs: int | None = None, progress: {PROGRESS} = None"

# (the call, where the stubs define it, the signature help() shows)
SIGNATURES = [
    (morvex_tex.open, None,
     f"open(source: {PATH} | bytearray | memoryview | numpy.ndarray | typing.IO[bytes]) -> morvex_tex.Archive"),
    (morvex_tex.create, None,
     f"create(path: {PATH}, images: {IMAGES}, type: int = 6, force: bool = False, {PACKING}) -> morvex_tex.PackResult"),
    (morvex_tex.replace, None,
     f"replace(in_path: {PATH}, out_path: {PATH}, images: {IMAGES}, *, force: bool = False, level: int | None = None, "
     f"jobs: int | None = None, progress: {PROGRESS} = None) -> morvex_tex.PackResult"),
    (morvex_tex.add, None,
     f"add(path: {PATH}, images: {IMAGES}, type: int = 6, {PACKING}) -> morvex_tex.PackResult"),
    (morvex_tex.delete, None,
     f"delete(path: {PATH}, patterns: {PATTERNS}, exclude: {PATTERNS} | None = None, ignore_case: bool = False) "
     "-> morvex_tex.PackResult"),
    (morvex_tex.rename, None,
     f"rename(path: {PATH}, old: str | bytes, new: str | bytes) -> morvex_tex.PackResult"),
    (morvex_tex.diff, None,
     f"diff(a: {PATH}, b: {PATH}, patterns: {PATTERNS} | None = None, exclude: {PATTERNS} | None = None, "
     "ignore_case: bool = False, *, jobs: int | None = None) -> list[morvex_tex.Change]"),
    (morvex_tex.Archive.test, "Archive",
     f"test(self: morvex_tex.Archive, jobs: int | None = None, *, progress: {PROGRESS} = None) "
     "-> list[tuple[morvex_tex.Entry | None, morvex_tex.Problem]]"),
    (morvex_tex.Archive.extract, "Archive",
     f"extract(self: morvex_tex.Archive, folder: {PATH} = '.', patterns: {PATTERNS} | None = None, exclude: {PATTERNS} "
     "| None = None, format: typing.Literal['tga', 'png', 'bmp', 'pcx', 'webp'] | None = None, raw: bool = False, "
     f"keep: bool = False, jobs: int | None = None, *, progress: {PROGRESS} = None) -> morvex_tex.ExtractResult"),
    (morvex_tex.Archive.names, "Archive", "names(self: morvex_tex.Archive) -> list[str | None]"),
    (morvex_tex.Archive.__getitem__, "Archive",
     "__getitem__(self: morvex_tex.Archive, key: int | slice | str | bytes) "
     "-> morvex_tex.Entry | list[morvex_tex.Entry]"),
    (morvex_tex.Archive.__contains__, "Archive", "__contains__(self: morvex_tex.Archive, name: object) -> bool"),
    (morvex_tex.Archive.__iter__, "Archive",
     "__iter__(self: morvex_tex.Archive) -> collections.abc.Iterator[morvex_tex.Entry]"),
    (morvex_tex.Archive.__enter__, "Archive", "__enter__(self: morvex_tex.Archive) -> morvex_tex.Archive"),
    (morvex_tex.EntryList.__getitem__, "EntryList",
     "__getitem__(self: morvex_tex.EntryList, index: int | slice) -> morvex_tex.Entry | list[morvex_tex.Entry]"),
    (morvex_tex.Entry.pixels, "Entry", "pixels(self: morvex_tex.Entry, out: numpy.typing.NDArray[numpy.uint8] | None = None) -> numpy.typing.NDArray[numpy.uint8]"),
    (morvex_tex.Entry.raw, "Entry", "raw(self: morvex_tex.Entry) -> bytes"),
    (morvex_tex.Entry.to_image, "Entry", "to_image(self: morvex_tex.Entry) -> PIL.Image.Image"),
]


def stubbed(name, scope):
    """The stubs' definition of a call: module-level, or of a class."""
    path = os.path.join(os.path.dirname(morvex_tex.__file__), "__init__.pyi")
    with open(path, encoding="utf-8") as f:
        tree = ast.parse(f.read())
    body = tree.body if scope is None else next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == scope).body
    # The first of overloads: their parameters are the same, their types differ.
    return next(n for n in body if isinstance(n, ast.FunctionDef) and n.name == name)


def parameters(function):
    """(name, keyword-only, default) of every parameter but self."""
    a = function.args
    plain = a.posonlyargs + a.args
    defaults = [None] * (len(plain) - len(a.defaults)) + list(a.defaults)
    out = [(p.arg, False, d) for p, d in zip(plain, defaults)] + [(p.arg, True, d) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    return [(name, kw, None if d is None else ast.literal_eval(d)) for name, kw, d in out if name != "self"]


@pytest.mark.parametrize("call, scope, signature", SIGNATURES, ids=[s[2].split("(")[0] for s in SIGNATURES])
def test_help_shows_the_types_of_each_call(call, scope, signature):
    assert call.__doc__.splitlines()[0] == signature
    assert signature in pydoc.render_doc(call, renderer=pydoc.plaintext)


@pytest.mark.parametrize("call, scope, signature", SIGNATURES, ids=[s[2].split("(")[0] for s in SIGNATURES])
def test_help_has_the_parameters_of_the_stubs(call, scope, signature):
    shown = ast.parse(f"def {signature}: ...").body[0]
    assert parameters(shown) == parameters(stubbed(shown.name, scope))


def test_help_names_the_calls_and_classes_as_the_package_exports_them():
    def text(thing):
        return pydoc.render_doc(thing, renderer=pydoc.plaintext)
    assert "_morvex_tex" not in text(morvex_tex.open) + text(morvex_tex.Archive) + text(morvex_tex.Entry)
    assert "open(source: " in text(morvex_tex) and "class Archive" in text(morvex_tex)
