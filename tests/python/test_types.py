# The module's types (__init__.pyi) as mypy reads them, in strict mode: the
# calls users write pass (typed_calls.py, and the example of the module's
# docstring), and calls that are wrong are caught, each on its line.
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

import morvex_tex

HERE = os.path.dirname(os.path.abspath(__file__))

WRONG = """\
import numpy as np
import morvex_tex
pixels = np.zeros((1, 1, 4), np.uint8)
morvex_tex.create("a.pak", {1: pixels})  # wrong: a name is str or bytes
morvex_tex.create("a.pak", {"a.tga": 3})  # wrong: no image
morvex_tex.create("a.pak", [("a.tga",)])  # wrong: not a pair
morvex_tex.create("a.pak", {"a.tga": pixels}, type=5)  # wrong: type 4 or 6
morvex_tex.open(3)  # wrong: no archive
morvex_tex.delete("a.pak", 3)  # wrong: no pattern
with morvex_tex.open("a.pak") as a:
    text: str = a[1].pixels()  # wrong: an array
    count: int = a.names()[0]  # wrong: a name
    a.extract("out", format="jpg")  # wrong: no such format
"""


def mypy_command():
    try:
        import mypy  # noqa: F401
        return [sys.executable, "-m", "mypy"]
    except ImportError:
        found = shutil.which("mypy")
        if not found:
            pytest.skip("mypy is not installed (scripts/install-deps.sh installs it)")
        return [found]


def docstring_example():
    """The indented block of morvex_tex's docstring, as a file would hold it."""
    block = re.search(r"\n((?:    .*\n)(?:    .*\n|\n)*)", morvex_tex.__doc__).group(1)
    return textwrap.dedent(block)


def test_the_calls_users_write_type_check_and_wrong_ones_are_caught(tmp_path):
    (tmp_path / "example.py").write_text(docstring_example())
    (tmp_path / "wrong.py").write_text(WRONG)
    shutil.copy(os.path.join(HERE, "typed_calls.py"), tmp_path / "typed_calls.py")
    # The package of the build tree, where the tests import it from, as a
    # folder of the user's own (MYPYPATH), so that errors in the types
    # themselves are shown too: found on PYTHONPATH, it would be an installed
    # package's, whose errors mypy keeps quiet.
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["MYPYPATH"] = os.path.dirname(os.path.dirname(os.path.abspath(morvex_tex.__file__)))
    out = subprocess.run([*mypy_command(), "--strict", "--no-error-summary", "--cache-dir", str(tmp_path / "cache"),
                          "typed_calls.py", "example.py", "wrong.py"],
                         cwd=tmp_path, env=env, capture_output=True, text=True)
    errors = [line for line in out.stdout.splitlines() if ": error:" in line]
    wrong_lines = {n for n, line in enumerate(WRONG.splitlines(), 1) if "# wrong" in line}
    caught = {int(line.split(":")[1]) for line in errors if line.startswith("wrong.py:")}
    assert [line for line in errors if not line.startswith("wrong.py:")] == [], out.stdout + out.stderr
    assert caught == wrong_lines, out.stdout + out.stderr
