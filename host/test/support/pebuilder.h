// Small PE images made in memory for the loader's tests: a good PE32+ x64
// native image by default, whose every header field, section, relocation,
// import and symbol a test may change to make the one fault it is about.
//
//     nuvtest::PeBuilder pe;
//     pe.code = {0xB8, 0x34, 0x12, 0x00, 0x00, 0xC3}; // mov eax, 0x1234; ret
//     pe.imports = {{"ntoskrnl.exe", "memset"}};
//     pe.relocations = {{10, nuvtest::PeBuilder::kDataRva}};
//     std::vector<std::uint8_t> bytes = pe.Build();
//
// Layout: the headers in the first 0x200 bytes of the file and the first
// page of the image; .text at RVA 0x1000, .data at 0x2000, .idata (built
// from `imports`) at 0x3000, .reloc (built from `relocations`) at 0x4000,
// .buildid (the debug directory and its CodeView record, from `codeView`)
// at 0x5000, each section's data at the next multiple of 0x200 in the file;
// then the COFF symbol table and its string table.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace nuvtest
{

struct PeBuilder
{
    static constexpr std::uint32_t kTextRva = 0x1000;
    static constexpr std::uint32_t kDataRva = 0x2000;
    static constexpr std::uint32_t kImportRva = 0x3000;
    static constexpr std::uint32_t kRelocationRva = 0x4000;
    static constexpr std::uint32_t kDebugRva = 0x5000;
    static constexpr std::uint32_t kImageSize = 0x6000;
    static constexpr std::uint64_t kImageBase = 0x140000000;

    struct Import
    {
        std::string module;
        std::string name;
        std::optional<std::uint16_t> ordinal; // imported by ordinal instead
    };
    struct Relocation
    {
        std::uint16_t type; // 10: DIR64, 0: ABSOLUTE, 3: HIGHLOW, ...
        std::uint32_t rva;
    };
    // The RSDS record naming the image's PDB, as lld writes it.
    struct CodeView
    {
        std::array<std::uint8_t, 16> guid;
        std::uint32_t age;
        std::string pdbName;
        std::optional<std::uint32_t> size; // the size the debug directory gives it, if not its own
    };
    struct Symbol
    {
        std::string name;
        std::int16_t section; // 1-based: 1 .text, 2 .data
        std::uint32_t value;  // offset in the section
        bool function;
    };

    std::uint16_t machine = 0x8664;
    std::uint16_t magic = 0x20B;
    std::uint16_t subsystem = 1;
    std::uint16_t characteristics = 0x0022; // executable, large-address aware
    std::uint32_t sectionAlignment = 0x1000;
    std::uint32_t imageSize = kImageSize;
    std::uint32_t entryRva = kTextRva;
    std::vector<std::uint8_t> code = {0xC3}; // ret
    std::vector<std::uint8_t> data = std::vector<std::uint8_t>(16, 0);
    std::uint32_t dataVirtualSize = 0x100; // beyond the data: zero-filled
    std::uint32_t dataRva = kDataRva;
    std::vector<Import> imports = {{"ntoskrnl.exe", "ExAllocatePoolWithTag", std::nullopt}};
    std::vector<Relocation> relocations;
    std::vector<Symbol> symbols;
    bool withSymbolTable = true;
    std::optional<CodeView> codeView;
    bool tlsDirectory = false;
    bool delayImports = false;

    std::vector<std::uint8_t> Build() const;

    // The RVA of the import address table entry of imports[index].
    std::uint32_t ImportSlotRva(std::size_t index) const;
};

} // namespace nuvtest
