#!/usr/bin/env python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Lists or applies the mutants of the engine's guards.

A guard is an `if` whose body stops the wipe (returns). Its mutant never takes the branch: `if (C)`
becomes `if (false && (C))`, `if (init; C)` becomes `if (init; false && (C))`, and a declaration
used as the condition, `if (auto e = f())`, becomes `if (auto e = f(); false)`, so that the call
still runs.

  guards.py list FILE...          one line per guard: FILE:LINE: the line
  guards.py apply FILE LINE       rewrites FILE with the guard at LINE switched off
"""
import re
import sys

DECLARATION = re.compile(r"^(const\s+)?[\w:<>]+\s+&?\w+\s*=")


def condition_span(line):
    """The start and end of the condition inside `if (...)` on this line, or None."""
    match = re.search(r"\bif \(", line)
    if not match:
        return None
    start = match.end()
    depth = 1
    for i in range(start, len(line)):
        if line[i] == "(":
            depth += 1
        elif line[i] == ")":
            depth -= 1
            if depth == 0:
                return start, i
    return None  # the condition goes on over more lines: not a single-line guard


def top_level_semicolon(text):
    depth = 0
    last = -1
    for i, c in enumerate(text):
        if c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
        elif c == ";" and depth == 0:
            last = i
    return last


def is_guard(lines, index):
    line = lines[index]
    span = condition_span(line)
    if span is None or line.lstrip().startswith("//"):
        return False
    rest = line[span[1] + 1:].strip()
    if rest.startswith("{"):
        body = lines[index + 1].strip() if index + 1 < len(lines) else ""
    elif rest:
        body = rest
    else:
        body = lines[index + 1].strip() if index + 1 < len(lines) else ""
    return body.startswith("return")


def mutate(line):
    start, end = condition_span(line)
    cond = line[start:end]
    semi = top_level_semicolon(cond)
    if semi >= 0:
        head, tail = cond[: semi + 1], cond[semi + 1:].strip()
        new = f"{head} false && ({tail})"
    elif DECLARATION.match(cond.strip()):
        new = f"{cond}; false"
    else:
        new = f"false && ({cond})"
    return line[:start] + new + line[end:]


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "list":
        for path in sys.argv[2:]:
            with open(path, encoding="utf-8") as f:
                lines = f.read().split("\n")
            for i in range(len(lines)):
                if is_guard(lines, i):
                    print(f"{path}:{i + 1}: {lines[i].strip()}")
    elif len(sys.argv) == 4 and sys.argv[1] == "apply":
        path, number = sys.argv[2], int(sys.argv[3])
        with open(path, encoding="utf-8") as f:
            lines = f.read().split("\n")
        lines[number - 1] = mutate(lines[number - 1])
        with open(path, "w", encoding="utf-8") as f:
            f.write("\n".join(lines))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
