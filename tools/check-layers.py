#!/usr/bin/env python3
"""Checks that every include of the program sources points down the layers.

The layers and what each may include are the table of docs/development.md
between the markers "<!-- layers" and "<!-- end of layers -->". A file
belongs to the row whose folder (or file) is the longest prefix of its
path; a quoted include is looked for beside the including file, then under
src/. Includes of system and library headers (angle brackets) are not
checked. Prints every include that points up or sideways, and every source
file no row covers, and exits with 1 when there is one.

    tools/check-layers.py [ROOT]
"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
CHECKED = ("src/", "tools/", "web/")
SOURCE = re.compile(r"\.(c|cc|cpp|h|hpp|inc)$")


def read_table(root):
    """{path prefix: layer} and {layer: set of layers it may include}."""
    text = open(os.path.join(root, "docs", "development.md"), encoding="utf-8").read()
    start = text.find("<!-- layers")
    end = text.find("<!-- end of layers -->")
    if start < 0 or end < start:
        raise SystemExit("check-layers: no layer table in docs/development.md")
    prefixes, allowed = {}, {}
    for line in text[start:end].splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) != 3 or cells[0] in ("Layer", "") or set(cells[0]) <= set("-"):
            continue
        layer = cells[0]
        for folder in re.findall(r"`([^`]+)`", cells[1]):
            prefixes[folder] = layer
        allowed[layer] = {c.strip() for c in cells[2].split(",")}
    for layer, may in allowed.items():
        unknown = may - set(allowed)
        if unknown:
            raise SystemExit(f"check-layers: layer {layer} may include unknown layers {sorted(unknown)}")
    return prefixes, allowed


def layer_of(path, prefixes):
    best = None
    for prefix, layer in prefixes.items():
        if path == prefix or (prefix.endswith("/") and path.startswith(prefix)):
            if best is None or len(prefix) > len(best[0]):
                best = (prefix, layer)
    return best[1] if best else None


def resolve(root, including, name):
    """The included file's path relative to root, or None for a header of
    outside the project (a library's, or one a build generates)."""
    for base in (os.path.dirname(including), "src"):
        candidate = os.path.normpath(os.path.join(base, name))
        if os.path.isfile(os.path.join(root, candidate)):
            return candidate.replace(os.sep, "/")
    return None


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    prefixes, allowed = read_table(root)
    problems, checked = [], 0
    for top in CHECKED:
        for folder, _, files in os.walk(os.path.join(root, top)):
            for f in sorted(files):
                if not SOURCE.search(f):
                    continue
                path = os.path.relpath(os.path.join(folder, f), root).replace(os.sep, "/")
                layer = layer_of(path, prefixes)
                if layer is None:
                    problems.append(f"{path}: in no layer of the table")
                    continue
                text = open(os.path.join(root, path), encoding="utf-8", errors="replace").read()
                for m in INCLUDE.finditer(text):
                    target = resolve(root, path, m.group(1))
                    if target is None:
                        continue
                    checked += 1
                    to = layer_of(target, prefixes)
                    if to is None:
                        problems.append(f"{path}: includes {target}, which is in no layer of the table")
                    elif to not in allowed[layer]:
                        line = text.count("\n", 0, m.start()) + 1
                        problems.append(f"{path}:{line}: the {layer} layer includes {target} of the {to} layer")
    for p in problems:
        print(p)
    print(f"check-layers: {checked} includes checked, {len(problems)} problem(s)")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
