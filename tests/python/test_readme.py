# The README's Python example, run as a reader would run it, on an archive
# whose type-4 stream is damaged: it says which entries it can't show and
# saves the others.
import os
import re

import morvex_tex
from conftest import pattern

README = os.path.join(os.path.dirname(__file__), "..", "..", "README.md")


def example():
    text = open(README, encoding="utf-8").read()
    section = text[text.index("## Python: `import morvex_tex`"):]
    block = re.search(r"\n((?:    .*\n)(?:    .*\n|\n)*)", section).group(1)
    return "\n".join(line[4:] for line in block.splitlines())


def test_the_readmes_example_runs_on_a_damaged_archive(tmp_path, capsys, monkeypatch):
    monkeypatch.chdir(tmp_path)
    morvex_tex.create("game.pak", {"ok.tga": pattern(8, 8, 1), "bad.tga": pattern(8, 8, 2)}, type=4)
    with morvex_tex.open("game.pak") as a:
        bad = a["bad.tga"]
        at = bad.offset + 80 + bad.payload_size // 2
    data = bytearray(open("game.pak", "rb").read())
    data[at:at + 4] = b"\xff\xff\xff\xff"
    open("game.pak", "wb").write(bytes(data))
    exec(compile(example(), README, "exec"), {})
    assert os.path.exists("ok.png") and not os.path.exists("bad.png")
    assert "bad.tga" in capsys.readouterr().out
    with morvex_tex.open("new.pak") as a:
        assert a.names() == ["", "env/sky.tga"]
