#!/usr/bin/env python3
"""Checks that a PDB is the full debug information of a kernel image: what a
kernel debugger needs to show the driver's types, step through its source
and find its functions.

    check-pdb.py IMAGE PDB [--type NAME[=SIZE]]... [--member TYPE::FIELD]...
                           [--function NAME]... [--sources DIR]...

It reads the PDB with llvm-pdbutil (LLVM_PDBUTIL overrides the program) and
reports, each as a problem:

  - a PDB that is not the one of this link: a debugger matches a PDB to an
    image by the GUID and age in the image's CodeView debug record, and one
    from another link describes other code;
  - a --type without a complete record (a class or structure with its field
    list; with =SIZE, of that size);
  - a --member missing from its type's field list;
  - a --function without a procedure record, or whose first instruction no
    line table covers;
  - with --sources: a C++ source file of one of these folders that code was
    compiled from but that has no line tables, or no such file at all. (A
    procedure record without lines is not a problem by itself: the compiler
    makes a few, such as deleting destructors, without a line of their own.)

The exit status is 1 if there was a problem, 0 otherwise; the report lists
where each --function's lines are.
"""
import argparse
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import peimage  # noqa: E402  (beside this file)

PDBUTIL = os.environ.get("LLVM_PDBUTIL", "llvm-pdbutil")


def pdbutil(pdb, *options):
    result = subprocess.run([PDBUTIL, "dump", *options, pdb], capture_output=True, text=True)
    if result.returncode != 0:
        raise RuntimeError("llvm-pdbutil dump %s: %s" % (" ".join(options), result.stderr.strip()))
    return result.stdout


def identity(pdb):
    summary = pdbutil(pdb, "--summary")
    guid = re.search(r"^\s*GUID: \{([0-9A-F-]+)\}", summary, re.M)
    age = re.search(r"^\s*Age: (\d+)", summary, re.M)
    return (guid.group(1) if guid else None), (int(age.group(1)) if age else None)


def complete_types(pdb):
    """{name: (size, {member names})} for the classes and structures with a
    field list (forward references left out)."""
    records = {}
    field_lists = {}
    current = None
    for line in pdbutil(pdb, "--types").splitlines():
        head = re.match(r"\s*(0x[0-9A-F]+) \| (LF_\w+) \[size = \d+\](?: `(.*)`)?", line)
        if head:
            index, kind, name = head.groups()
            current = {"index": index, "kind": kind, "name": name, "members": set()}
            if kind in ("LF_CLASS", "LF_STRUCTURE"):
                records.setdefault(name, []).append(current)
            elif kind == "LF_FIELDLIST":
                field_lists[index] = current
            continue
        if current is None:
            continue
        field_list = re.search(r"field list: (0x[0-9A-F]+)", line)
        if field_list:
            current["field_list"] = field_list.group(1)
        size = re.search(r"sizeof (\d+)", line)
        if size:
            current["size"] = int(size.group(1))
        member = re.search(r"LF_(?:MEMBER|STMEMBER) \[name = `([^`]*)`", line)
        if member:
            current["members"].add(member.group(1))
    types = {}
    for name, candidates in records.items():
        for record in candidates:
            if "field_list" in record and record["field_list"] in field_lists:
                types[name] = (record.get("size", 0), field_lists[record["field_list"]]["members"])
    return types


def procedures(pdb):
    """[(name, section, offset, module)] of every procedure record."""
    found = []
    module = None
    name = None
    for line in pdbutil(pdb, "--symbols").splitlines():
        mod = re.match(r"\s*Mod \d+ \| `(.*)`", line)
        if mod:
            module = mod.group(1)
            continue
        proc = re.search(r"\| S_[GL]PROC32(?:_ID)? \[size = \d+\] `(.*)`", line)
        if proc:
            name = proc.group(1)
            continue
        address = re.search(r"addr = (\d+):(\d+)", line)
        if name is not None and address:
            found.append((name, int(address.group(1)), int(address.group(2)), module))
        name = None
    return found


def line_blocks(pdb):
    """[(file, section, start, end, first line, module)] of every line table
    block."""
    blocks = []
    module = None
    source = None
    pending = None
    for line in pdbutil(pdb, "-l").splitlines():
        mod = re.match(r"Mod \d+ \| `(.*)`", line)
        if mod:
            module = mod.group(1)
            continue
        file_line = re.match(r"(\S.*) \((?:MD5|SHA1|SHA256|None)\b", line)
        if file_line:
            source = file_line.group(1)
            continue
        block = re.match(r"\s+([0-9A-F]{4}):([0-9A-F]+)-([0-9A-F]+), line/addr entries", line)
        if block:
            pending = (source, int(block.group(1), 16), int(block.group(2), 16),
                       int(block.group(3), 16))
            continue
        if pending is not None:
            first = re.match(r"\s+(\d+) [0-9A-F]+", line)
            blocks.append(pending + ((int(first.group(1)) if first else 0), module))
            pending = None
    return blocks


def covering(blocks, section, offset):
    for block in blocks:
        if block[1] == section and block[2] <= offset < block[3]:
            return block
    return None


def under(path, roots):
    path = os.path.abspath(path)
    return any(path.startswith(root + os.sep) for root in roots)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("image")
    parser.add_argument("pdb")
    parser.add_argument("--type", action="append", default=[])
    parser.add_argument("--member", action="append", default=[])
    parser.add_argument("--function", action="append", default=[])
    parser.add_argument("--sources", action="append", default=[])
    args = parser.parse_args(argv[1:])

    problems = []
    try:
        with open(args.image, "rb") as image_file:
            record = peimage.Image(image_file.read()).codeview()
        if record is None:
            problems.append("%s has no CodeView debug record: no debugger finds a PDB for it"
                            % args.image)
        else:
            guid, age = identity(args.pdb)
            if (guid, age) != (record[0], record[1]):
                problems.append("%s is not the PDB of %s (image: %s age %d; PDB: %s age %s)"
                                % (args.pdb, args.image, record[0], record[1], guid, age))
        if problems:
            return report(problems)

        types = complete_types(args.pdb)
        for wanted in args.type:
            name, _, size = wanted.partition("=")
            if name not in types:
                problems.append("no complete type record for %s" % name)
            elif size and types[name][0] != int(size):
                problems.append("%s is %d bytes, not %s" % (name, types[name][0], size))
        for wanted in args.member:
            owner, _, field = wanted.rpartition("::")
            if owner in types and field not in types[owner][1]:
                problems.append("%s has no member %s" % (owner, field))
            elif owner not in types:
                problems.append("no complete type record for %s (member %s)" % (owner, field))

        procs = procedures(args.pdb)
        blocks = line_blocks(args.pdb)
        for wanted in args.function:
            matches = [p for p in procs if p[0] == wanted]
            if not matches:
                problems.append("no procedure record for %s" % wanted)
                continue
            _, section, offset, _ = matches[0]
            block = covering(blocks, section, offset)
            if block is None:
                problems.append("no line table covers %s (%04X:%08X)" % (wanted, section, offset))
            else:
                print("%s: %s, from line %d" % (wanted, block[0], block[4]))
        if args.sources:
            # Every source file of these folders that code was compiled from
            # has its line tables. A module is an object file named after
            # its source (unknown.cpp.obj); files with data only have none.
            with_lines = {os.path.abspath(block[0]) for block in blocks if block[0]}
            roots = [os.path.abspath(root) for root in args.sources]
            files = [os.path.join(root, name) for root in roots for name in os.listdir(root)
                     if name.endswith(".cpp")]
            compiled = {}
            for name, section, offset, module in procs:
                source = os.path.basename(module or "")
                for path in files:
                    if source == os.path.basename(path) + ".obj":
                        compiled.setdefault(path, []).append((section, offset))
            if not compiled:
                problems.append("no procedure compiled from %s" % ", ".join(args.sources))
            for path in sorted(compiled):
                if path not in with_lines:
                    problems.append("no line table for %s" % path)
            starts = [start for path in compiled for start in compiled[path]]
            started = [start for start in starts if covering(blocks, *start) is not None]
            if compiled and not problems:
                print("%d source files with code, each with its line tables; %d of their %d "
                      "procedures start on a line" % (len(compiled), len(started), len(starts)))
    except (OSError, RuntimeError, peimage.ImageError) as error:
        problems.append(str(error))
    return report(problems)


def report(problems):
    for problem in problems:
        sys.stderr.write("check-pdb: %s\n" % problem)
    if problems:
        sys.stderr.write("check-pdb: %d problem(s)\n" % len(problems))
        return 1
    print("check-pdb: ok")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
