#!/usr/bin/env python3
"""Lists the C++ functions longer than a limit; exits 1 when there is one.

Usage: long_functions.py [--max N] PATH...

A PATH is a file or a folder (its *.cpp and *.h files, folders within
included). A function's length runs from the first line of its signature to
its closing brace; a lambda or a local class counts with the function it is
in. The scan knows braces, comments, literals and preprocessor lines, which
is enough for this code base: it is a check for review, not a C++ parser.
"""

import argparse
import pathlib
import re
import sys

# A brace whose contents are declarations: functions may be defined inside.
SCOPE = re.compile(r"^(template\s*<[^{]*>\s*)?(namespace|class|struct|union)\b|^extern\s*$")
ACCESS = re.compile(r"^(\s*(public|protected|private)\s*:(?!:))+")
# After a function's parameters: qualifiers, a trailing return type, or a
# constructor's member initializers.
INITIALIZERS = re.compile(r"\)\s*:[^:]")
AFTER_PARAMETERS = re.compile(r"\)(\s|const\b|noexcept\b|override\b|final\b|->[^{;]*)*$")


def blanked(text):
    """`text` with comments, literals and preprocessor lines made spaces, its
    newlines kept, so that offsets and line numbers stay."""
    out = list(text)
    i, n = 0, len(text)
    line_start = True
    while i < n:
        c = text[i]
        if c == "\n":
            line_start, i = True, i + 1
            continue
        if line_start and c == "#":
            # A directive runs to the end of its line, or on past a backslash.
            j = i
            while j < n and (text[j] != "\n" or text[j - 1] == "\\"):
                j += 1
        elif text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
        elif text.startswith('R"', i) and not (i and (text[i - 1].isalnum() or text[i - 1] == "_")):
            paren = text.find("(", i + 2)
            end = text.find(")" + text[i + 2 : paren] + '"', paren) if paren >= 0 else -1
            j = n if end < 0 else end + paren - i
        elif c == '"' or (c == "'" and not (i and text[i - 1].isalnum())):
            # A quote after a digit or a letter is a digit separator (1'000).
            j = i + 1
            while j < n and text[j] not in (c, "\n"):
                j += 2 if text[j] == "\\" else 1
            j += 1
        else:
            line_start = line_start and c.isspace()
            i += 1
            continue
        line_start = False
        for k in range(i, min(j, n)):
            if out[k] != "\n":
                out[k] = " "
        i = j
    return "".join(out)


def opens_function(header):
    """Whether `header`, the text between the last declaration and a brace,
    is a function's signature."""
    if "(" not in header:
        return False
    head = header[: header.index("(")]
    # `T x = Make(1) {`, `auto f = [](int) {` and the like are no signature.
    if "=" in head or "[" in head:
        return False
    return AFTER_PARAMETERS.search(header) is not None or INITIALIZERS.search(header) is not None


def long_functions(text, limit):
    """(line, length, name) of each function in `text` over `limit` lines."""
    text = blanked(text)
    found = []
    # Each open brace: the offset of the signature it ends for a function's
    # body, "scope" for one that holds declarations, "member" for a member
    # initializer's (`: first_{1} {`), None for any other.
    stack = []
    header_start = 0
    for i, c in enumerate(text):
        inside = any(kind not in ("scope", "member") for kind in stack)
        if c == "{":
            kind = None
            header = ACCESS.sub("", text[header_start:i]).strip()
            if inside:
                pass
            elif SCOPE.search(header) and "=" not in header:
                kind = "scope"
            elif INITIALIZERS.search(header) and re.search(r"[\w>]$", header):
                kind = "member"
            elif opens_function(header):
                kind = text.index(header, header_start)
            stack.append(kind)
            if kind != "member":
                header_start = i + 1
        elif c == "}" and stack:
            kind = stack.pop()
            if kind == "member":
                continue
            if kind not in (None, "scope"):
                first = text.count("\n", 0, kind) + 1
                length = text.count("\n", 0, i) + 2 - first
                if length > limit:
                    name = text[kind : text.index("(", kind)].split()[-1]
                    found.append((first, length, name))
            header_start = i + 1
        elif c == ";" and not inside:
            header_start = i + 1
    return found


def files(paths):
    for path in map(pathlib.Path, paths):
        if path.is_dir():
            yield from sorted(p for p in path.rglob("*") if p.suffix in (".cpp", ".h"))
        else:
            yield path


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--max", type=int, default=80, help="the most lines a function may have")
    parser.add_argument("paths", nargs="+")
    args = parser.parse_args()
    over = 0
    for path in files(args.paths):
        for line, length, name in long_functions(path.read_text(errors="replace"), args.max):
            print(f"{path}:{line}: {name} is {length} lines, over {args.max}")
            over += 1
    return 1 if over else 0


if __name__ == "__main__":
    sys.exit(main())
