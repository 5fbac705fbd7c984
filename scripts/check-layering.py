#!/usr/bin/env python3
"""The driver's layering, from its #include lines.

    check-layering.py [--root DIR]

The driver's folders come from cmake/NuvDriverDirs.cmake, in the order of
their dependencies. Fails (exit 1, one line per finding) when

  - a folder includes a folder listed after it (or itself listed nowhere);
  - the folders' includes form a cycle;
  - within a folder, files include each other in a cycle (x.h and x.cpp
    count as one file: a source may always include its own header).

Only quoted includes of the driver's own files count; the platform's
headers (<wdm.h>, <portcls.h>, ...) are not the driver's.
"""

import argparse
import re
import sys
from pathlib import Path

# Files that may include each other: a filter's descriptor tables name its
# property handlers, the handlers act on the miniport, and the miniport hands
# out the descriptor. That is how the port class library describes a filter;
# a cycle through other files of the folder is still a finding.
ALLOWED_CYCLE_GROUPS = [
    {("wave", "minwave"), ("wave", "wavetables"), ("wave", "waveproperties")},
]

INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.MULTILINE)
DIRS = re.compile(r"^set\(NUV_DRIVER_DIRS ([^)]*)\)", re.MULTILINE)


def driver_folders(root):
    text = (root / "cmake" / "NuvDriverDirs.cmake").read_text()
    match = DIRS.search(text)
    if not match:
        sys.exit("check-layering: no NUV_DRIVER_DIRS in cmake/NuvDriverDirs.cmake")
    return match.group(1).split()


def includes(root, folders):
    """(folder, unit) -> set of (folder, unit) it includes; a unit is a file
    name without its extension."""
    graph = {}
    for folder in folders:
        for path in sorted((root / folder).glob("*")):
            if path.suffix not in (".h", ".cpp"):
                continue
            unit = (folder, path.stem)
            targets = graph.setdefault(unit, set())
            for name in INCLUDE.findall(path.read_text(errors="replace")):
                parts = name.split("/")
                if len(parts) == 2 and parts[0] in folders:
                    target = (parts[0], Path(parts[1]).stem)
                    if target != unit:
                        targets.add(target)
    return graph


def cycles(graph):
    """Every elementary cycle found by a depth-first search, each once (as
    the list of its nodes, starting from its smallest)."""
    found = set()
    state = {}
    stack = []

    def visit(node):
        state[node] = "open"
        stack.append(node)
        for target in sorted(graph.get(node, ())):
            if state.get(target) == "open":
                cycle = stack[stack.index(target):]
                start = cycle.index(min(cycle))
                found.add(tuple(cycle[start:] + cycle[:start]))
            elif target not in state:
                visit(target)
        stack.pop()
        state[node] = "done"

    for node in sorted(graph):
        if node not in state:
            visit(node)
    return sorted(found)


def check(root):
    folders = driver_folders(root)
    graph = includes(root, folders)
    problems = []

    folder_graph = {folder: set() for folder in folders}
    for (folder, unit), targets in graph.items():
        for target_folder, target_unit in targets:
            if target_folder == folder:
                continue
            folder_graph[folder].add(target_folder)
            if folders.index(target_folder) > folders.index(folder):
                problems.append(
                    f"{folder}/{unit} includes {target_folder}/{target_unit}.h: "
                    f"{target_folder}/ comes after {folder}/ in NUV_DRIVER_DIRS")
    for cycle in cycles(folder_graph):
        problems.append("folders in a cycle: " + " -> ".join(c + "/" for c in cycle + (cycle[0],)))

    for folder in folders:
        local = {
            unit: {t for t in targets if t[0] == folder}
            for unit, targets in graph.items() if unit[0] == folder
        }
        for cycle in cycles(local):
            if any(set(cycle) <= group for group in ALLOWED_CYCLE_GROUPS):
                continue
            names = [f"{f}/{u}" for f, u in cycle + (cycle[0],)]
            problems.append("files in a cycle: " + " -> ".join(names))

    return folders, len(graph), problems


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--root", default=Path(__file__).resolve().parent.parent, type=Path)
    args = parser.parse_args()
    folders, units, problems = check(args.root)
    for problem in problems:
        print(f"check-layering: {problem}")
    if problems:
        return 1
    print(f"check-layering: ok ({len(folders)} folders, {units} file pairs, "
          f"in the order {' '.join(folders)}; no cycle)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
