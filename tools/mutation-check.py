#!/usr/bin/env python3
"""Which mistakes at a bound would the tests miss?

For every line of C++ that a change added or modified (git diff against a
base) and that holds a comparison or a boolean test, this makes one small
mistake at a time -- `<` into `<=`, `<=` into `<`, `>` into `>=`, `>=` into
`>`, `==` into `!=`, `!=` into `==`, a `!` dropped -- rebuilds the build
folder incrementally, runs the tests that need no window, puts the line
back, and at the end prints every mistake that no test noticed, as
file:line, with the mistake and the line.

    tools/mutation-check.py [--base REV] [--build DIR] [--paths PATH...]
                            [--tests REGEX] [--only FILE:LINE...] [--max N]
                            [--seed S] [--jobs J] [--list]

  --base REV     the change is the working tree against REV (default: HEAD~1)
  --build DIR    a configured build folder (default: build); it is rebuilt
                 after every mistake and once more at the end
  --paths P...   only these files or folders (default: src tools)
  --tests REGEX  only the CTest tests matching REGEX (default: every test
                 but the window label's)
  --only F:L...  only the mistakes on these lines (to check that a test
                 catches a mistake made on purpose)
  --max N        at most N mistakes, picked at random (with --seed) when
                 there are more
  --jobs J       parallel build and test jobs (default 2)
  --list         print the mistakes it would make, and stop

Slow (a rebuild and a test run per mistake): not part of the test command.
A mistake that does not compile is counted apart; one that makes a step of
the build fail (the ROM images are assembled by the program just built)
counts as noticed. The source files are
always put back, also on Ctrl-C. Exit status 0 when every mistake was
noticed, 1 otherwise, 2 on a usage or set-up error.
"""
import argparse
import os
import random
import re
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

# The mistakes: a comparison or boolean test, and what it becomes. Binary
# operators are taken with a blank on both sides (the house style writes
# them so; template brackets, shifts and arrows never are).
BINARY = [(" <= ", " < "), (" >= ", " > "), (" < ", " <= "), (" > ", " >= "), (" == ", " != "), (" != ", " == ")]
NOT = re.compile(r"!(?=[\w(])")   # a `!` before a name or a parenthesis (not `!=`)


def blank_literals(line):
    """The line with string and character literals and comments blanked,
    so that operators inside them are not taken."""
    out, i, n = [], 0, len(line)
    while i < n:
        c = line[i]
        if line.startswith("//", i):
            out.append(" " * (n - i))
            break
        if c in "\"'":
            j = i + 1
            while j < n and line[j] != c:
                j += 2 if line[j] == "\\" else 1
            j = min(j + 1, n)
            out.append(c + " " * (j - i - 2) + (c if j - i >= 2 else ""))
            i = j
            continue
        out.append(c)
        i += 1
    return "".join(out)[:n]


def mistakes_in(line):
    """(column, old text, new text) for each mistake the line allows."""
    stripped = line.strip()
    if not stripped or stripped.startswith(("#", "//", "*", "/*")) or "static_assert" in line:
        return []
    code = blank_literals(line)
    found = []
    for old, new in BINARY:
        start = 0
        while True:
            at = code.find(old, start)
            if at < 0:
                break
            # " < " inside " << " or " <= " is not a " < ".
            before = code[at - 1] if at > 0 else " "
            after = code[at + len(old)] if at + len(old) < len(code) else " "
            if old.strip() in ("<", ">") and (after in "<>=" or before in "<>-"):
                start = at + 1
                continue
            found.append((at, old, new))
            start = at + len(old)
    for m in NOT.finditer(code):
        found.append((m.start(), "!", ""))
    return sorted(found)


def changed_lines(base, paths):
    """{file: set of line numbers} added or modified since base."""
    diff = subprocess.run(["git", "diff", "-U0", "--no-color", base, "--"] + paths,
                          cwd=ROOT, capture_output=True, text=True)
    if diff.returncode != 0:
        sys.exit(f"mutation-check: git diff {base} failed: {diff.stderr.strip()}")
    lines, current = {}, None
    for row in diff.stdout.splitlines():
        if row.startswith("+++ "):
            name = row[4:]
            current = name[2:] if name.startswith("b/") else None
            if current and not current.endswith((".cpp", ".h")):
                current = None
        elif row.startswith("@@") and current:
            m = re.match(r"@@ -\S+ \+(\d+)(?:,(\d+))? @@", row)
            first, count = int(m.group(1)), int(m.group(2) or "1")
            lines.setdefault(current, set()).update(range(first, first + count))
    return lines


def run(cmd, timeout, output=None):
    """The command's exit status (-1 when it ran out of time); its output
    is appended to the list `output` when one is given."""
    try:
        r = subprocess.run(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=timeout,
                           text=True, errors="replace")
    except subprocess.TimeoutExpired:
        return -1
    if output is not None:
        output.append(r.stdout)
    return r.returncode


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--base", default="HEAD~1")
    ap.add_argument("--build", default="build")
    ap.add_argument("--paths", nargs="+", default=["src", "tools"])
    ap.add_argument("--tests", default=None)
    ap.add_argument("--only", nargs="+", default=[])
    ap.add_argument("--max", type=int, default=0)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--jobs", type=int, default=2)
    ap.add_argument("--list", action="store_true")
    args = ap.parse_args()

    build = os.path.join(ROOT, args.build) if not os.path.isabs(args.build) else args.build
    if not args.list and not os.path.isfile(os.path.join(build, "CMakeCache.txt")):
        print(f"mutation-check: {args.build} is not a configured build folder", file=sys.stderr)
        return 2

    sites = []
    for path, numbers in sorted(changed_lines(args.base, args.paths).items()):
        full = os.path.join(ROOT, path)
        if not os.path.isfile(full):
            continue
        with open(full, encoding="utf-8", errors="surrogateescape") as f:
            text = f.read().split("\n")
        for n in sorted(numbers):
            if 1 <= n <= len(text):
                for col, old, new in mistakes_in(text[n - 1]):
                    sites.append((path, n, col, old, new))
    if args.only:
        wanted = set(args.only)
        sites = [s for s in sites if f"{s[0]}:{s[1]}" in wanted]
    if args.max and len(sites) > args.max:
        sites = sorted(random.Random(args.seed).sample(sites, args.max))
    describe = lambda s: f"{s[0]}:{s[1]}: '{s[3].strip()}' -> '{s[4].strip() or '(dropped)'}'"
    if args.list or not sites:
        for s in sites:
            print(describe(s))
        print(f"{len(sites)} mistakes")
        return 0

    build_cmd = ["cmake", "--build", build, "-j", str(args.jobs)]
    test_cmd = ["ctest", "--test-dir", build, "-j", str(args.jobs), "--stop-on-failure", "--timeout", "300"]
    test_cmd += ["-R", args.tests] if args.tests else ["-LE", "window"]
    print(f"checking that the tests pass before any mistake ...", flush=True)
    if run(build_cmd, 3600) != 0 or run(test_cmd, 7200) != 0:
        print("mutation-check: the build or the tests fail without any mistake; fix that first", file=sys.stderr)
        return 2

    missed, broken, noticed = [], [], 0
    started = time.time()
    try:
        for i, s in enumerate(sites, 1):
            path, n, col, old, new = s
            full = os.path.join(ROOT, path)
            with open(full, encoding="utf-8", errors="surrogateescape") as f:
                original = f.read()
            lines = original.split("\n")
            line = lines[n - 1]
            lines[n - 1] = line[:col] + new + line[col + len(old):]
            with open(full, "w", encoding="utf-8", errors="surrogateescape") as f:
                f.write("\n".join(lines))
            try:
                log = []
                if run(build_cmd, 3600, log) != 0:
                    # A compiler error in the changed file, or a step of
                    # the build that runs what was built (the ROM images
                    # are assembled with ovix-asm) and failed: noticed.
                    if re.search(re.escape(path) + r":\d+:\d+: error:", log[0]):
                        verdict = "does not compile"
                        broken.append(s)
                    else:
                        verdict = "noticed (by the build)"
                        noticed += 1
                elif run(test_cmd, 7200) != 0:
                    verdict = "noticed"
                    noticed += 1
                else:
                    verdict = "NOT NOTICED"
                    missed.append((s, line.strip()))
            finally:
                with open(full, "w", encoding="utf-8", errors="surrogateescape") as f:
                    f.write(original)
            print(f"[{i}/{len(sites)}] {describe(s)}: {verdict}", flush=True)
    finally:
        run(build_cmd, 3600)

    tried = len(sites) - len(broken)
    print()
    for s, line in missed:
        print(f"{describe(s)} not noticed: {line}")
    print(f"mistakes tried: {tried}, noticed: {noticed}, not noticed: {len(missed)}"
          f" ({len(broken)} more did not compile; {time.time() - started:.0f} s)")
    return 1 if missed else 0


if __name__ == "__main__":
    sys.exit(main())
