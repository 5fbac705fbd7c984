#!/usr/bin/env python3
"""Reads the headers of a PE image and sets its checksum.

    peimage.py facts IMAGE           the header facts check-image.sh judges
    peimage.py set-checksum IMAGE    writes the image's checksum into it

`facts` prints one fact per line, numbers in hexadecimal:

    machine 0x8664
    magic 0x20b
    subsystem 0x1
    dll-characteristics 0x160
    section-alignment 0x1000
    file-alignment 0x200
    checksum 0x9a2e                stored in the optional header
    computed-checksum 0x9a2e       what the loader computes over the file
    section .text 0x1000 0x2db0 RX  name, address, size in memory, access
    directory import 0x4da8 0x3c   data directory: address and size
    codeview GUID AGE PATH         the debug record a debugger matches a PDB by

Access is R, W and X for IMAGE_SCN_MEM_READ, _WRITE and _EXECUTE. Only the
data directories that are present are listed (import, iat, security, debug,
basereloc, tls, delay-import, ...).

The checksum is the one of the platform's image loader (CheckSumMappedFile):
the file's 16-bit little-endian words summed with end-around carry, the
checksum field itself counted as zero, plus the file's length. It covers
the whole file, an appended Authenticode signature included, while the
signature's own hash leaves the checksum field out: so the checksum is set
last, after signing, and setting it does not disturb the signature. GNU ld
writes it; lld does not (it leaves 0), which is why the build sets it.
"""
import struct
import sys
import uuid

DIRECTORY_NAMES = [
    "export", "import", "resource", "exception", "security", "basereloc",
    "debug", "architecture", "globalptr", "tls", "load-config",
    "bound-import", "iat", "delay-import", "clr", "reserved",
]
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_READ = 0x40000000
SCN_MEM_WRITE = 0x80000000
DEBUG_TYPE_CODEVIEW = 2


class ImageError(Exception):
    pass


class Image:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ImageError("no MZ header")
        self.pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[self.pe:self.pe + 4] != b"PE\0\0":
            raise ImageError("no PE signature")
        coff = self.pe + 4
        (self.machine, self.section_count, _, _, _, optional_size,
         _) = struct.unpack_from("<HHIIIHH", data, coff)
        self.optional = coff + 20
        self.magic = struct.unpack_from("<H", data, self.optional)[0]
        if self.magic != 0x20B:
            raise ImageError("optional header magic 0x%x is not PE32+" % self.magic)
        o = self.optional
        self.section_alignment, self.file_alignment = struct.unpack_from("<II", data, o + 32)
        self.checksum_offset = o + 64
        self.checksum = struct.unpack_from("<I", data, self.checksum_offset)[0]
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, o + 68)
        directory_count = struct.unpack_from("<I", data, o + 108)[0]
        self.directories = {}
        for index in range(min(directory_count, len(DIRECTORY_NAMES))):
            rva, size = struct.unpack_from("<II", data, o + 112 + 8 * index)
            if rva != 0 or size != 0:
                self.directories[DIRECTORY_NAMES[index]] = (rva, size)
        self.sections = []
        table = self.optional + optional_size
        for index in range(self.section_count):
            entry = table + 40 * index
            name = data[entry:entry + 8].rstrip(b"\0").decode("latin-1")
            vsize, rva, raw_size, raw_pointer = struct.unpack_from("<IIII", data, entry + 8)
            flags = struct.unpack_from("<I", data, entry + 36)[0]
            self.sections.append((name, rva, vsize, raw_size, raw_pointer, flags))

    def computed_checksum(self):
        data = bytearray(self.data)
        data[self.checksum_offset:self.checksum_offset + 4] = b"\0\0\0\0"
        if len(data) % 2:
            data.append(0)
        total = sum(memoryview(bytes(data)).cast("H"))
        while total >> 16:
            total = (total & 0xFFFF) + (total >> 16)
        return (total + len(self.data)) & 0xFFFFFFFF

    def file_offset(self, rva):
        for _, start, vsize, raw_size, raw_pointer, _ in self.sections:
            if start <= rva < start + max(vsize, raw_size):
                if rva - start >= raw_size:
                    return None
                return raw_pointer + rva - start
        return None

    def codeview(self):
        """(guid, age, path) of the first CodeView RSDS record, or None."""
        if "debug" not in self.directories:
            return None
        rva, size = self.directories["debug"]
        start = self.file_offset(rva)
        if start is None:
            return None
        for entry in range(start, start + size - 27, 28):
            kind, data_size, _, pointer = struct.unpack_from("<IIII", self.data, entry + 12)
            if kind != DEBUG_TYPE_CODEVIEW or self.data[pointer:pointer + 4] != b"RSDS":
                continue
            guid = uuid.UUID(bytes_le=bytes(self.data[pointer + 4:pointer + 20]))
            age = struct.unpack_from("<I", self.data, pointer + 20)[0]
            path = self.data[pointer + 24:pointer + data_size].split(b"\0")[0]
            return str(guid).upper(), age, path.decode("utf-8", "replace")
        return None


def access(flags):
    return "".join(letter for bit, letter in ((SCN_MEM_READ, "R"), (SCN_MEM_WRITE, "W"),
                                              (SCN_MEM_EXECUTE, "X")) if flags & bit) or "-"


def print_facts(image):
    print("machine 0x%x" % image.machine)
    print("magic 0x%x" % image.magic)
    print("subsystem 0x%x" % image.subsystem)
    print("dll-characteristics 0x%x" % image.dll_characteristics)
    print("section-alignment 0x%x" % image.section_alignment)
    print("file-alignment 0x%x" % image.file_alignment)
    print("checksum 0x%x" % image.checksum)
    print("computed-checksum 0x%x" % image.computed_checksum())
    for name, rva, vsize, _, _, flags in image.sections:
        print("section %s 0x%x 0x%x %s" % (name or "(unnamed)", rva, vsize, access(flags)))
    for name, (rva, size) in image.directories.items():
        print("directory %s 0x%x 0x%x" % (name, rva, size))
    record = image.codeview()
    if record:
        print("codeview %s %d %s" % record)


def set_checksum(path):
    with open(path, "r+b") as image_file:
        image = Image(image_file.read())
        image_file.seek(image.checksum_offset)
        image_file.write(struct.pack("<I", image.computed_checksum()))


def main(argv):
    if len(argv) != 3 or argv[1] not in ("facts", "set-checksum"):
        sys.stderr.write("usage: peimage.py (facts | set-checksum) IMAGE\n")
        return 2
    try:
        if argv[1] == "facts":
            with open(argv[2], "rb") as image_file:
                print_facts(Image(image_file.read()))
        else:
            set_checksum(argv[2])
    except (OSError, ImageError, struct.error) as error:
        sys.stderr.write("peimage.py: %s: %s\n" % (argv[2], error))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
