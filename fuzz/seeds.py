#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into DIR/NAME/ from the project's tests.

usage: seeds.py DIR

shell_parser and machine: every block of tests/cases/*.sh; python_parser: the Python sources of
the package and of the host tests; sed, patch and patterns: the scripts, diffs and patterns
found in those blocks, and a few written here.
"""
import hashlib
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent

SED_SEEDS = [
    "s/a/b/g\nabc\naaa\n",
    "1d;$p\none\ntwo\nthree\n",
    "/x/,/y/{s/\\(.\\)\\1/<&>/2;y/abc/xyz/}\nx\nbb\ny\n",
    ":a;N;$!ba;s/\\n/,/g\n1\n2\n3\n",
    "2,4!{h;G;x};a\\\ntext\nl\nm\nn\no\n",
]
PATCH_SEEDS = [
    "--- a/f\n+++ b/f\n@@ -1,2 +1,2 @@\n a\n-b\n+c\n\0a\nb\n",
    "*** Begin Patch\n*** Update File: f\n@@\n a\n-b\n+c\n*** End Patch\n\0a\nb\n",
    "*** Begin Patch\n*** Add File: g\n+new\n*** Delete File: h\n*** End Patch\n",
    "--- f\n+++ f\n@@ -0,0 +1 @@\n+x\n\\ No newline at end of file\n\0",
]
PATTERN_SEEDS = [
    "*.txt\nnotes.txt",
    "[a-z]?[!0-9]*\nab-c",
    "\\(ab\\)*\\1\nababab",
    "a\\{2,3\\}\\<b\\>\naaa b",
    "[[:alpha:]]+$\nword",
]


def blocks(path):
    text = path.read_text(encoding="utf-8", errors="replace")
    for part in re.split(r"^#### .*$", text, flags=re.M):
        part = part.strip("\n")
        if part:
            yield part + "\n"


def write(directory, items):
    directory.mkdir(parents=True, exist_ok=True)
    for item in items:
        data = item.encode("utf-8", errors="replace") if isinstance(item, str) else item
        (directory / hashlib.sha1(data).hexdigest()).write_bytes(data)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    out = pathlib.Path(sys.argv[1])
    shell = [b for p in sorted((ROOT / "tests" / "cases").glob("*.sh")) for b in blocks(p)]
    write(out / "shell_parser", shell)
    write(out / "machine", [b for b in shell if len(b) <= 4096])
    python = [p.read_text(encoding="utf-8", errors="replace")
              for d in ("python", "tests/python") for p in sorted((ROOT / d).rglob("*.py"))]
    write(out / "python_parser", python)
    sed_scripts = re.findall(r"\bsed (?:-[nEr] )*'([^'\n]+)'", "".join(shell))
    write(out / "sed", SED_SEEDS + [s + "\nalpha\nbeta\ngamma\n" for s in sed_scripts])
    write(out / "patch", PATCH_SEEDS)
    case_patterns = re.findall(r"^\s*([^\s()]+)\)", "".join(shell), flags=re.M)
    write(out / "patterns", PATTERN_SEEDS + [p + "\nexample.txt" for p in case_patterns])


if __name__ == "__main__":
    main()
