#!/usr/bin/env python3
"""Lists the longest functions of the product code (not tests, benches, tools or fuzzers).

A brace-matching scan of every *.cpp in the product folders: a function is a '{' at
namespace or class level whose header (the text since the previous ';', '}' or '{')
ends in ')' , optionally followed by qualifiers, an initialiser list or a trailing
return type. Comments, strings and character literals are blanked first so that braces
inside them do not count. Length is in lines from the header's first line to the closing
brace, as an editor shows it.

    scripts/longest-functions.py [count]     (default 10)
"""
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PRODUCT = ["app", "base", "platform", "image", "tracking", "model", "animation",
           "physics", "render", "character", "scene"]
NOT_FUNCTIONS = re.compile(r"^\s*(namespace\b|extern\s+\"C\"|(struct|class|union|enum)\b)")
CONTROL = re.compile(r"\b(if|for|while|switch|catch)\s*\($")


def blank(text):
    """Comments, strings and character literals replaced by spaces (newlines kept)."""
    out, i, n = [], 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i)); i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j])); i = j
        elif c == 'R' and text.startswith('R"', i):
            m = re.match(r'R"([^(]*)\(', text[i:])
            end = text.find(")" + m.group(1) + '"', i) if m else -1
            j = n if end < 0 else end + len(m.group(1)) + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j])); i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            j += 1
            out.append(c + " " * max(0, j - i - 2) + c); i = j
        else:
            out.append(c); i += 1
    return "".join(out)


def functions(path):
    text = blank(open(path, encoding="utf-8", errors="replace").read())
    # Preprocessor lines carry no braces we want.
    text = re.sub(r"(?m)^[ \t]*#.*$", lambda m: " " * len(m.group(0)), text)
    stack = []          # for each open brace: True when it opens a function body
    header_start = 0    # offset after the last ';', '{' or '}' at the current level
    found = []
    for i, c in enumerate(text):
        if c == "{":
            inside_function = any(s[0] for s in stack)
            is_function = False
            if not inside_function:
                header = text[header_start:i].strip()
                if header and not NOT_FUNCTIONS.match(header) and "=" not in header.split("(")[0]:
                    # strip trailing qualifiers / initialiser list / trailing return
                    h = re.sub(r"\s*(const|noexcept|override|final|->\s*[\w:<>&*\s]+)\s*$", "", header)
                    if re.search(r"\)\s*(:.*)?$", h, re.S) and not CONTROL.search(h.split("{")[0]):
                        is_function = True
            start = header_start + (len(text[header_start:i]) - len(text[header_start:i].lstrip()))
            stack.append((is_function, start, header if is_function else ""))
            header_start = i + 1
        elif c == "}":
            if stack:
                is_function, start, header = stack.pop()
                if is_function:
                    first = text.count("\n", 0, start) + 1
                    last = text.count("\n", 0, i) + 1
                    name = re.sub(r"\s+", " ", header.split("(")[0]).split(" ")[-1]
                    found.append((last - first + 1, name, first))
            header_start = i + 1
        elif c == ";":
            header_start = i + 1
    return found


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 10
    rows = []
    for room in PRODUCT:
        top = os.path.join(ROOT, room)
        for folder, _, files in os.walk(top):
            for f in files:
                if f.endswith(".cpp"):
                    path = os.path.join(folder, f)
                    rel = os.path.relpath(path, ROOT)
                    rows += [(n, name, rel, line) for n, name, line in functions(path)]
    rows.sort(key=lambda r: (-r[0], r[2], r[3]))
    for n, name, rel, line in rows[:count]:
        print(f"{n:5d}  {name}  {rel}:{line}")


if __name__ == "__main__":
    main()
