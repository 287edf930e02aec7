#!/usr/bin/env python3
"""Puts morvex_tex.html together: page.html with page.js and ui.js inlined as
its script, and the worker's script (emscripten's module script, the module
in base64, then worker.js) as a text block the page hands to a Worker
through a Blob URL. One file, no request.

    assemble.py --source WEB_FOLDER --module MODULE.js --out PAGE.html
"""

import argparse
import base64
import os
import re
import sys


def inline(text, what):
    # Inside a script element the HTML parser ends at "</script" and changes
    # state at "<!--": neither may appear.
    if re.search(r"</script|<!--", text, re.IGNORECASE):
        sys.exit("assemble: %s holds text that would end its script element" % what)
    return text


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--source", required=True)
    parser.add_argument("--module", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    with open(args.source + "/page.html", encoding="utf-8") as f:
        page = f.read()
    script = ""
    for part in ("page.js", "ui.js"):
        with open(args.source + "/" + part, encoding="utf-8") as f:
            script += inline(f.read(), part)
    with open(args.module, encoding="utf-8") as f:
        module = f.read()
    with open(os.path.splitext(args.module)[0] + ".wasm", "rb") as f:
        module += "\nconst morvexTexWasm = '%s';\n" % base64.b64encode(f.read()).decode()
    with open(args.source + "/worker.js", encoding="utf-8") as f:
        worker = inline(module + "\n" + f.read(), "the worker's script")
    for mark in ("@PAGE_SCRIPT@", "@WORKER_SCRIPT@"):
        if page.count(mark) != 1:
            sys.exit("assemble: page.html must hold %s once" % mark)
    page = page.replace("@WORKER_SCRIPT@", worker).replace("@PAGE_SCRIPT@", script)
    with open(args.out, "w", encoding="utf-8") as f:
        f.write(page)


if __name__ == "__main__":
    main()
