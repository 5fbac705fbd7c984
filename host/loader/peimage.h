// The description of a Windows kernel-mode image, read from its file: what
// the loader needs to map it (headers, sections), to move it (base
// relocations), to bind it (imports by module and name) and to name its
// addresses (the COFF symbol table, if the linker kept it, or else the
// CodeView debug record that names the PDB holding its symbols).
//
//     PeParse parsed = host::loader::ParsePeImage(bytes);
//     if (!parsed.image)
//         std::cerr << "nuvaudio.sys: " << parsed.error << "\n";
//
// Only what a loader of x64 drivers can honour is accepted, and the first
// problem found is the error, one line that names it:
//
//   - not a PE file, or a PE file that is not a PE32+ image for x64
//     (a 32-bit image, an object file, another machine);
//   - a DLL, or an image whose subsystem is not native (a console or GUI
//     program);
//   - a header, a section table, a section's data, a directory or a name
//     that lies outside the file or the image, sections that overlap or are
//     not page-aligned;
//   - relocations stripped, or a base relocation of any type other than
//     DIR64 and ABSOLUTE (padding);
//   - an import by ordinal;
//   - a TLS directory or delay-load imports (nothing in a driver's loader
//     runs TLS callbacks or resolves imports late);
//   - a debug directory, or the CodeView record it points to, that is not
//     file data of the image.
//
// Imports the host does not provide are the binder's business
// (loadedimage.h), which lists them all.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace host::loader
{

struct PeSection
{
    std::string name;
    std::uint32_t virtualAddress = 0;
    std::uint32_t virtualSize = 0; // what the image occupies (raw size if the header says 0)
    std::uint32_t rawOffset = 0;
    std::uint32_t rawSize = 0; // bytes of file data, at most virtualSize of them used
    bool readable = false;
    bool writable = false;
    bool executable = false;
};

struct PeImport
{
    std::string module; // as the image names it, e.g. "ntoskrnl.exe"
    std::string name;
    std::uint32_t slotRva = 0; // the import address table entry the binder fills
};

struct PeSymbol
{
    std::string name; // as stored (mangled for C++)
    std::uint32_t rva = 0;
    bool function = false;
};

// The image's CodeView debug record (RSDS): which PDB describes this link.
// A PDB is that PDB only if it carries the same GUID and age; a debugger
// refuses any other, whatever its name.
struct PeCodeView
{
    std::array<std::uint8_t, 16> guid{}; // as stored (the GUID's little-endian layout)
    std::uint32_t age = 0;
    std::string pdbName; // as recorded: a file name, or a path on the linking machine
};

struct PeImage
{
    std::uint64_t imageBase = 0;
    std::uint32_t imageSize = 0;
    std::uint32_t headersSize = 0;
    std::uint32_t entryRva = 0;
    std::uint32_t sectionAlignment = 0;
    std::vector<PeSection> sections;       // in address order
    std::vector<std::uint32_t> dir64Slots; // RVAs of the 64-bit words to relocate
    std::vector<PeImport> imports;         // in the order of the import directory
    std::vector<PeSymbol> symbols;         // sorted by rva; empty without a symbol table
    bool hasSymbolTable = false;
    std::optional<PeCodeView> codeView; // empty without a debug record of the RSDS kind
};

struct PeParse
{
    std::optional<PeImage> image;
    std::string error; // set when image is empty
};

PeParse ParsePeImage(std::span<const std::uint8_t> bytes);

// The page size the loader maps with; sections must start on it.
constexpr std::uint32_t kPageSize = 4096;

// "0x1a2b": how the loader's messages write an address, offset or size.
std::string Hex(std::uint64_t value);

} // namespace host::loader
