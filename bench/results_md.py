"""RESULTS.md's sections, as the bench scripts write them."""
import os


def splice(results_md, heading, text):
    """RESULTS_MD with its section `heading` replaced by the lines `text`, or
    `text` added before the micro-benchmarks; the rest left as it is."""
    old = open(results_md).read().split("\n") if os.path.exists(results_md) else []
    if heading in old:
        start = old.index(heading)
        end = next((k for k in range(start + 1, len(old)) if old[k].startswith("## ")), len(old))
    else:
        start = end = next((k for k, line in enumerate(old) if line.startswith("## Micro-benchmarks")), len(old))
    with open(results_md, "w") as f:
        f.write("\n".join(old[:start] + text + old[end:]))
