# Editing in place from Python: add, update, delete and rename write, byte for byte,
# the archive the commands write from the same archive, and a refused edit
# leaves it as it was.
import shutil

import PIL.Image
import pytest

import morvex_tex
from conftest import pattern, run_tex

# The module's call, and the command line's, on an archive named ARCHIVE.
EDITS = {
    "add a file": (lambda a, d: morvex_tex.add(a, [(None, d / "new.png")]), ["add", "ARCHIVE", "new.png"]),
    "add as type 4": (lambda a, d: morvex_tex.add(a, {"ui/new.tga": d / "new.png"}, type=4),
                      ["add", "-t", "4", "ARCHIVE", "new.png=ui/new.tga"]),
    "update from a folder": (lambda a, d: morvex_tex.update(a, d / "ed"), ["update", "ARCHIVE", "ed"]),
    "update from pairs": (lambda a, d: morvex_tex.update(a, [("ui/icon.png", d / "new.png"), (None, d / "ed/extra.png")]),
                          ["update", "ARCHIVE", "new.png=ui/icon.png", "ed/extra.png"]),
    "delete": (lambda a, d: morvex_tex.delete(a, "env/"), ["delete", "ARCHIVE", "env/"]),
    "delete, exclude, any case": (lambda a, d: morvex_tex.delete(a, ["*.TGA", "*.PNG"], exclude="env/*", ignore_case=True),
                                  ["delete", "--ignore-case", "-x", "env/*", "ARCHIVE", "*.TGA", "*.PNG"]),
    "rename": (lambda a, d: morvex_tex.rename(a, "glass.bmp", "ui/glass.bmp"), ["rename", "ARCHIVE", "glass.bmp", "ui/glass.bmp"]),
}


@pytest.mark.parametrize("how", EDITS)
def test_edits_write_what_the_commands_write(made, tmp_path, how):
    path, _ = made
    PIL.Image.fromarray(pattern(6, 5, 7, "opaque"), "RGBA").save(tmp_path / "new.png")
    # A folder as extract -C writes one, with one image edited and one new.
    (tmp_path / "ed" / "ui").mkdir(parents=True)
    shutil.copy(tmp_path / "new.png", tmp_path / "ed" / "ui" / "icon.png")
    PIL.Image.fromarray(pattern(3, 4, 2, "opaque"), "RGBA").save(tmp_path / "ed" / "extra.png")
    call, args = EDITS[how]
    shutil.copy(path, tmp_path / "cli.pak")
    shutil.copy(path, tmp_path / "module.pak")
    run_tex(*[str(tmp_path / "cli.pak") if a == "ARCHIVE" else a for a in args], cwd=tmp_path)
    result = call(tmp_path / "module.pak", tmp_path)
    assert (tmp_path / "module.pak").read_bytes() == (tmp_path / "cli.pak").read_bytes() != path.read_bytes()
    with morvex_tex.open(tmp_path / "module.pak") as a:
        assert result.entries == len(a)
    assert (result.added, result.deleted, result.renamed) == {
        "add": (1, 0, 0), "upd": (1, 0, 0), "del": (0, 1, 0), "ren": (0, 0, 1)}[how[:3]]
    if how.startswith("update"):
        assert result.replaced == 1
        # Once more: nothing differs, and the archive is not even rewritten.
        before = (tmp_path / "module.pak").stat()
        again = call(tmp_path / "module.pak", tmp_path)
        assert (again.added, again.replaced, again.unchanged) == (0, 0, 2)
        after = (tmp_path / "module.pak").stat()
        assert (after.st_ino, after.st_mtime_ns) == (before.st_ino, before.st_mtime_ns)


@pytest.mark.parametrize("call, words", [
    (lambda a: morvex_tex.add(a, {"ui/icon.png": pattern(2, 2, 1)}), "has an entry named ui/icon.png already"),
    (lambda a: morvex_tex.add(a, {"./x.png": pattern(2, 2, 1)}), "part 1 of it is \".\""),
    (lambda a: morvex_tex.delete(a, "nothing*"), "no entry matches nothing*"),
    (lambda a: morvex_tex.rename(a, "glass.bmp", "env/sky.tga"), "has an entry named env/sky.tga already"),
    (lambda a: morvex_tex.rename(a, "gone.tga", "x.tga"), "no entry named gone.tga"),
])
def test_a_refused_edit_leaves_the_archive_as_it_was(made, call, words):
    path, _ = made
    before = path.read_bytes()
    with pytest.raises(morvex_tex.Error, match=words) as e:
        call(path)
    assert e.value.kind == "name"
    assert path.read_bytes() == before
