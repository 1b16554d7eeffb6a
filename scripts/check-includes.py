#!/usr/bin/env python3
"""Reads every #include "..." of the product folders and fails on an include that
points up the house or sideways-and-back between rooms, which is also how a circle
between folders would have to start.

A room is a folder that holds source files; its rank is its place in ROOMS below, the
top first. A file may include files of its own room and of rooms further down the list.
Run from anywhere: python3 scripts/check-includes.py [source root]
"""
import os
import re
import sys

# Top to bottom. Rooms on one line are one level in the architecture page; the order
# inside a line still fixes which way an include may run between them.
ROOMS = [
    "app",
    "app/imgproc",
    "app/record",
    "app/sound",
    "character",
    "render",
    "physics",
    "animation",
    "tracking/view",
    "calibrate",
    "scene",
    "model",
    "tracking",
    "image",
    "platform/video",
    "platform",
    "base",
]

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)

# What only the program on top may do: open a dialog or a message box, or end the
# process. platform/HostUI implements the dialogs and may name them.
UI_CALL = re.compile(r'\b(showMessage|chooseOpenFile|chooseSaveFile|gtk_dialog_run|gtk_message_dialog_new)\s*\(|'
                     r'(?<![\w.>:])(std::)?(exit|_exit|quick_exit)\s*\(')
UI_ALLOWED = ("app", "platform/HostUI.cpp", "platform/HostUI.h")

# Byte helpers: every binary reader goes through base/ByteCursor.h.
BYTE_HELPER = re.compile(r'\b(read|get)?_?(le|be|LE|BE)(16|32|64)\s*\(|\b(readU16|readU32|readI16|readI32|readF32|readLE32|readBE32|readU16BE|readU32BE)\s*\(')


def strip_comments_and_strings(text):
    """The text with comments and string literals blanked, line breaks kept."""
    def blank(m):
        return re.sub(r"[^\n]", " ", m.group(0))
    return re.sub(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', blank, text, flags=re.S)


def room_of(path):
    """The deepest listed room holding path (a file path relative to the root)."""
    folder = os.path.dirname(path)
    while folder:
        if folder in ROOMS:
            return folder
        folder = os.path.dirname(folder)
    return None


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), ".."))
    rank = {room: i for i, room in enumerate(ROOMS)}
    problems = []
    edges = set()
    unknown = set()
    for top in sorted({r.split("/")[0] for r in ROOMS}):
        for folder, _, files in os.walk(os.path.join(root, top)):
            for name in sorted(files):
                if not name.endswith((".h", ".hpp", ".cpp", ".cc")):
                    continue
                path = os.path.relpath(os.path.join(folder, name), root)
                source = room_of(path)
                if source is None:
                    unknown.add(os.path.dirname(path))
                    continue
                with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
                    text = f.read()
                code = strip_comments_and_strings(text)
                if not (source.split("/")[0] == "app" or path in UI_ALLOWED):
                    for m in UI_CALL.finditer(code):
                        line = code.count("\n", 0, m.start()) + 1
                        problems.append(f"{path}:{line}: {m.group(0).strip()} below app/ (only the program on top shows messages or ends)")
                if path != "base/ByteCursor.h":
                    for m in BYTE_HELPER.finditer(code):
                        before = code[max(0, m.start() - 2):m.start()]
                        if before.endswith(".") or before.endswith("->"):
                            continue  # a call of the cursor's own method
                        line = code.count("\n", 0, m.start()) + 1
                        problems.append(f"{path}:{line}: byte helper {m.group(0).strip()} outside base/ByteCursor.h")
                for match in INCLUDE.finditer(text):
                    target_path = match.group(1)
                    line = text.count("\n", 0, match.start()) + 1
                    if "/" not in target_path:
                        continue  # a file of the same folder
                    if not os.path.exists(os.path.join(root, target_path)):
                        continue  # a system or third-party header written with a folder
                    target = room_of(target_path)
                    if target is None:
                        problems.append(f"{path}:{line}: includes {target_path}, which lies in no room of the house")
                        continue
                    if target == source:
                        continue
                    edges.add((source, target))
                    if rank[target] < rank[source]:
                        problems.append(f"{path}:{line}: {source}/ includes {target_path} from {target}/, a room above it")
    for folder in sorted(unknown):
        problems.append(f"{folder}/: a folder of sources that is not a room of the house (add it to ROOMS)")
    # An include that only ever points down cannot close a circle; look anyway, so a
    # mistake in the ranks above cannot hide one.
    graph = {}
    for a, b in edges:
        graph.setdefault(a, set()).add(b)
    state = {}

    def visit(node, trail):
        state[node] = 1
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == 1:
                problems.append("folder circle: " + " -> ".join(trail[trail.index(nxt):] + [nxt]) if nxt in trail
                                else "folder circle through " + nxt)
            elif nxt not in state:
                visit(nxt, trail + [nxt])
        state[node] = 2

    for node in sorted(graph):
        if node not in state:
            visit(node, [node])
    if "-v" in sys.argv or problems:
        for a, b in sorted(edges, key=lambda e: (rank[e[0]], rank[e[1]])):
            print(f"  {a}/ -> {b}/")
    for p in problems:
        print(p)
    print(f"{len(edges)} arrows between rooms, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
