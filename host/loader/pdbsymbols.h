// The symbols of an image read from its PDB, as a debugger reads them when
// the image itself has no symbol table (lld writes a PDB or a COFF symbol
// table, never both). The PDB is used only if it is the one of this link:
// the GUID and age in its info stream must be those of the image's CodeView
// record; a PDB of another link describes other code and is refused.
//
//     PdbRead read = host::loader::ReadPdbSymbols(pdbBytes, *image.codeView, image.sections);
//     if (!read.symbols)
//         std::cerr << "nuvaudio.pdb: " << read.error << "\n";
//
// What it takes from the PDB:
//   - the public symbols (S_PUB32 in the symbol record stream): every
//     external function and datum, under its mangled name (the Itanium ABI,
//     as clang names them for mingw), a function where the linker flagged
//     it as one;
//   - the procedure records of the module streams (S_GPROC32, S_LPROC32 and
//     their _ID forms), for the functions no public symbol names: static
//     functions, under the unmangled name the compiler recorded.
// Each symbol's segment:offset is an offset in the image's section of that
// number (1-based, as in the image's section table); a symbol outside every
// section (an absolute one) names no image address and is left out.
//
// The file is read defensively: the MSF container's header, block size and
// count, stream directory and every stream's blocks are checked against
// the file (no block beyond it, none used twice), every record against its
// stream, every name against its record. The first problem is the error,
// one line; nothing is read outside the bytes given.
#pragma once

#include "host/loader/peimage.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace host::loader
{

struct PdbRead
{
    std::optional<std::vector<PeSymbol>> symbols; // sorted by rva
    std::string error;                            // set when symbols is empty
};

PdbRead ReadPdbSymbols(std::span<const std::uint8_t> pdb, const PeCodeView& record,
                       std::span<const PeSection> sections);

// Where a debugger looks for the PDB of the image at `imagePath`: the file
// the record names (only its last component: the record may hold a path on
// the linking machine) in the image's folder. Empty if the record names no
// file.
std::string PdbPathBeside(const std::string& imagePath, const std::string& recordedName);

} // namespace host::loader
