"""Writes one script's section of docs/BENCHMARKS.md, leaving the others as they are."""

import os

PATH = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "docs",
                    "BENCHMARKS.md")


def write_section(heading, text):
    """Replaces the section under heading (up to the next "## " heading), or adds it at the
    end; text starts with the heading line."""
    old = open(PATH).read() if os.path.exists(PATH) else ""
    if heading in old:
        begin = old.index(heading)
        end = old.find("\n## ", begin + len(heading))
        old = old[:begin] + (old[end + 1:] if end >= 0 else "")
    with open(PATH, "w") as out:
        out.write(old.rstrip("\n") + "\n\n" + text)
