// A Windows x64 kernel-mode image loaded into the host process to run on the
// host platform, as the platform's loader would load it: each section
// mapped at its RVA with the protection its header asks for (the headers
// read-only, whatever lies between sections inaccessible), the base
// relocations applied for the address it landed at, and every import bound
// by module and name to the host's implementation (hostexports.h). What it
// refuses, it refuses with one line that names the problem, and leaves
// nothing mapped: everything peimage.h lists, and imports the host does not
// provide (all of them named).
//
//     std::string error;
//     auto image = host::loader::LoadedImage::Load("build/windows/nuvaudio.sys", error);
//     if (!image)
//         return Fail(error);                    // "build/windows/nuvaudio.sys: a DLL, ..."
//     host::System system(image->DriverEntry());
//
// The image's symbols name its addresses: in the host's reports
// (host::DescribeAddress), in the report of a fault inside the image's code
// (a signal handler prints the function and offset before the process ends
// as it would have), and for tools that need a driver function no platform
// interface reaches (FindFunction). They come from the image's COFF symbol
// table if the linker kept one (GNU ld does), and otherwise, as a debugger
// finds them, from the PDB that the image's CodeView debug record names,
// looked for beside the image and taken only if its GUID and age are the
// record's (pdbsymbols.h; lld writes a PDB and no symbol table). An image
// whose PDB is missing, of another link or damaged still loads, without
// symbols; SymbolStatus() says why, for the places that need them.
//
// The image stays mapped while the object lives; whatever runs it (a
// host::System) must be gone before it is destroyed.
#pragma once

#include "host/loader/faultreport.h"
#include "host/loader/peimage.h"

#include <wdm.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace host::loader
{

struct BoundImport
{
    std::string module;
    std::string name;
    const void* address; // the host's routine
};

class LoadedImage
{
public:
    // The image in the file at `path`; null with `error` set if it cannot
    // be read or is refused.
    static std::unique_ptr<LoadedImage> Load(const std::string& path, std::string& error);
    // The same from the file's bytes; `name` stands for the file in messages
    // and says where its PDB is looked for (beside it), if it needs one.
    static std::unique_ptr<LoadedImage> FromBytes(std::span<const std::uint8_t> bytes,
                                                  const std::string& name, std::string& error);
    ~LoadedImage();
    LoadedImage(const LoadedImage&) = delete;
    LoadedImage& operator=(const LoadedImage&) = delete;

    // The file's name without its folder ("nuvaudio.sys"), and as given.
    const std::string& Name() const { return m_name; }
    const std::string& Path() const { return m_path; }
    // The entry point, DriverEntry for a driver.
    PDRIVER_INITIALIZE DriverEntry() const;

    const void* Base() const { return m_base; }
    std::size_t Size() const { return m_size; }
    bool Contains(const void* address) const;
    // How far the image was moved from the base it was linked for.
    std::int64_t RelocationDelta() const;
    const std::vector<BoundImport>& Imports() const { return m_imports; }

    bool HasSymbols() const { return m_hasSymbols; }
    // Where the symbols came from ("symbols from its COFF symbol table (212)",
    // "symbols from its PDB build/windows/nuvaudio.pdb (226)"), or why there
    // are none ("no symbols: no COFF symbol table, and its PDB
    // build/windows/nuvaudio.pdb cannot be read (No such file or directory)",
    // "no symbols: its PDB was refused: x.pdb: not the PDB of this image
    // (image: {...} age 1; PDB: {...} age 1)"). One line.
    const std::string& SymbolStatus() const { return m_symbolStatus; }
    // The function whose demangled name, up to its parameter list, is
    // `name` ("CheckWaveFormat" for CheckWaveFormat(KSDATAFORMAT*)), or a
    // C function or a PDB's procedure of that name (a static function's
    // procedure record names it without parameters); null if there is none
    // or the image has no symbols. The caller knows its type: the image's
    // functions have the Windows calling convention, whether or not its
    // source said NTAPI.
    const void* FindFunction(std::string_view name) const;
    // "nuvaudio.sys!CMiniportWavePciStream::Service()+0x42", or
    // "nuvaudio.sys+0x1234" where no symbol precedes the address; empty for
    // an address outside the image.
    std::string NameOf(const void* address) const;

    // Images mapped in the process now (a refused load leaves the count
    // as it was).
    static std::size_t MappedImageCount();

    struct Symbol
    {
        std::uintptr_t address;
        std::string name; // demangled where it is a C++ name
        bool function;
    };

private:
    LoadedImage() = default;
    bool Map(const PeImage& image, std::span<const std::uint8_t> bytes, std::string& error);
    bool Bind(const PeImage& image, std::string& error);
    bool Protect(const PeImage& image, std::string& error);
    void TakeSymbols(const PeImage& image);
    void Publish();

    std::string m_name;
    std::string m_path;
    unsigned char* m_base = nullptr;
    std::size_t m_size = 0;
    std::uint64_t m_linkedBase = 0;
    std::uint32_t m_entryRva = 0;
    std::vector<BoundImport> m_imports;
    std::vector<Symbol> m_symbols; // by address
    bool m_hasSymbols = false;
    std::string m_symbolStatus;
    // For the fault handler: the function symbols' addresses and names.
    std::vector<std::uintptr_t> m_functionAddresses;
    std::vector<const char*> m_functionNames;
    FaultTarget m_faultTarget;
    bool m_published = false;
};

} // namespace host::loader
