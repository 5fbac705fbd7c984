#include "host/test/support/pebuilder.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace nuvtest
{
namespace
{

constexpr std::uint32_t kFileAlignment = 0x200;
constexpr std::uint32_t kPeOffset = 0x40;
constexpr std::uint32_t kOptionalHeaderSize = 112 + 16 * 8;
constexpr std::uint32_t kSectionTable = kPeOffset + 4 + 20 + kOptionalHeaderSize;
constexpr std::uint32_t kCodeFlags = 0x60000020;     // code, execute, read
constexpr std::uint32_t kDataFlags = 0xC0000040;     // initialised data, read, write
constexpr std::uint32_t kReadOnlyFlags = 0x42000040; // initialised data, discardable, read

template <class T> void Put(std::vector<std::uint8_t>& bytes, std::size_t offset, T value)
{
    if (bytes.size() < offset + sizeof(T))
        bytes.resize(offset + sizeof(T), 0);
    std::memcpy(bytes.data() + offset, &value, sizeof(T));
}

void PutText(std::vector<std::uint8_t>& bytes, std::size_t offset, const std::string& text)
{
    if (bytes.size() < offset + text.size() + 1)
        bytes.resize(offset + text.size() + 1, 0);
    std::memcpy(bytes.data() + offset, text.data(), text.size());
    bytes[offset + text.size()] = 0;
}

std::uint32_t Align(std::uint32_t value, std::uint32_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

// The .idata section for `imports`, and where each import's slot lies.
struct ImportLayout
{
    std::vector<std::uint8_t> bytes;
    std::vector<std::uint32_t> slots; // RVAs, in the order of `imports`
    std::uint32_t directorySize = 0;
};

ImportLayout LayOutImports(const std::vector<PeBuilder::Import>& imports)
{
    ImportLayout layout;
    std::vector<std::string> modules;
    for (const PeBuilder::Import& import : imports)
    {
        if (std::find(modules.begin(), modules.end(), import.module) == modules.end())
            modules.push_back(import.module);
    }
    layout.directorySize = static_cast<std::uint32_t>((modules.size() + 1) * 20);
    layout.slots.resize(imports.size());
    std::uint32_t offset = layout.directorySize;
    std::vector<std::uint8_t>& bytes = layout.bytes;
    bytes.resize(offset, 0);

    // Lookup and address tables first, names after all of them.
    std::map<std::string, std::pair<std::uint32_t, std::uint32_t>> tables; // module: ILT, IAT
    for (const std::string& module : modules)
    {
        const auto count = static_cast<std::uint32_t>(
            std::count_if(imports.begin(), imports.end(),
                          [&](const PeBuilder::Import& i) { return i.module == module; }));
        const std::uint32_t tableBytes = 8 * (count + 1);
        tables[module] = {offset, offset + tableBytes};
        offset += 2 * tableBytes;
    }
    bytes.resize(offset, 0);

    std::map<std::string, std::uint32_t> used;
    for (std::size_t i = 0; i < imports.size(); ++i)
    {
        const PeBuilder::Import& import = imports[i];
        const auto [lookup, address] = tables[import.module];
        const std::uint32_t index = used[import.module]++;
        std::uint64_t entry;
        if (import.ordinal)
            entry = (1ull << 63) | *import.ordinal;
        else
        {
            offset = Align(static_cast<std::uint32_t>(bytes.size()), 2);
            Put<std::uint16_t>(bytes, offset, 0); // hint
            PutText(bytes, offset + 2, import.name);
            entry = PeBuilder::kImportRva + offset;
        }
        Put<std::uint64_t>(bytes, lookup + 8 * index, entry);
        Put<std::uint64_t>(bytes, address + 8 * index, entry);
        layout.slots[i] = PeBuilder::kImportRva + address + 8 * index;
    }
    for (std::size_t m = 0; m < modules.size(); ++m)
    {
        const auto [lookup, address] = tables[modules[m]];
        offset = static_cast<std::uint32_t>(bytes.size());
        PutText(bytes, offset, modules[m]);
        const std::size_t descriptor = 20 * m;
        Put<std::uint32_t>(bytes, descriptor, PeBuilder::kImportRva + lookup);
        Put<std::uint32_t>(bytes, descriptor + 12, PeBuilder::kImportRva + offset);
        Put<std::uint32_t>(bytes, descriptor + 16, PeBuilder::kImportRva + address);
    }
    return layout;
}

// The .reloc section: one block per page, each padded to 4 bytes.
std::vector<std::uint8_t> LayOutRelocations(const std::vector<PeBuilder::Relocation>& relocations)
{
    std::map<std::uint32_t, std::vector<std::uint16_t>> pages;
    for (const PeBuilder::Relocation& r : relocations)
        pages[r.rva & ~0xFFFu].push_back(
            static_cast<std::uint16_t>((r.type << 12) | (r.rva & 0xFFF)));
    std::vector<std::uint8_t> bytes;
    for (auto& [page, entries] : pages)
    {
        if (entries.size() % 2 != 0)
            entries.push_back(0); // ABSOLUTE: padding
        const std::size_t block = bytes.size();
        Put<std::uint32_t>(bytes, block, page);
        Put<std::uint32_t>(bytes, block + 4, static_cast<std::uint32_t>(8 + 2 * entries.size()));
        for (std::size_t i = 0; i < entries.size(); ++i)
            Put<std::uint16_t>(bytes, block + 8 + 2 * i, entries[i]);
    }
    return bytes;
}

// The .buildid section: one debug directory entry, then the record.
constexpr std::uint32_t kDebugEntrySize = 28;

std::vector<std::uint8_t> LayOutDebugRecord(const PeBuilder::CodeView& codeView)
{
    std::vector<std::uint8_t> bytes(kDebugEntrySize, 0);
    Put<std::uint32_t>(bytes, kDebugEntrySize, 0x53445352); // "RSDS"
    bytes.insert(bytes.end(), codeView.guid.begin(), codeView.guid.end());
    Put<std::uint32_t>(bytes, bytes.size(), codeView.age);
    PutText(bytes, bytes.size(), codeView.pdbName);
    const auto size = static_cast<std::uint32_t>(bytes.size() - kDebugEntrySize);
    Put<std::uint32_t>(bytes, 12, 2); // CodeView
    Put<std::uint32_t>(bytes, 16, codeView.size.value_or(size));
    Put<std::uint32_t>(bytes, 20, PeBuilder::kDebugRva + kDebugEntrySize);
    // The record's file offset (at 24) is known once the section is placed.
    return bytes;
}

struct PlannedSection
{
    const char* name;
    std::uint32_t rva;
    std::uint32_t virtualSize;
    std::uint32_t flags;
    std::vector<std::uint8_t> contents;
};

} // namespace

std::uint32_t PeBuilder::ImportSlotRva(std::size_t index) const
{
    return LayOutImports(imports).slots.at(index);
}

std::vector<std::uint8_t> PeBuilder::Build() const
{
    const ImportLayout importLayout = LayOutImports(imports);
    const std::vector<std::uint8_t> relocationBytes = LayOutRelocations(relocations);

    std::vector<PlannedSection> sections;
    sections.push_back(
        {".text", kTextRva, static_cast<std::uint32_t>(code.size()), kCodeFlags, code});
    sections.push_back({".data", dataRva, std::max<std::uint32_t>(dataVirtualSize, data.size()),
                        kDataFlags, data});
    if (!imports.empty())
        sections.push_back({".idata", kImportRva,
                            static_cast<std::uint32_t>(importLayout.bytes.size()), kDataFlags,
                            importLayout.bytes});
    if (!relocationBytes.empty())
        sections.push_back({".reloc", kRelocationRva,
                            static_cast<std::uint32_t>(relocationBytes.size()), kReadOnlyFlags,
                            relocationBytes});

    if (codeView)
        sections.push_back({".buildid", kDebugRva,
                            static_cast<std::uint32_t>(LayOutDebugRecord(*codeView).size()),
                            kReadOnlyFlags, LayOutDebugRecord(*codeView)});

    std::vector<std::uint8_t> file(kFileAlignment, 0);
    Put<std::uint16_t>(file, 0, 0x5A4D);
    Put<std::uint32_t>(file, 0x3C, kPeOffset);
    Put<std::uint32_t>(file, kPeOffset, 0x00004550);

    // Sections' data.
    std::vector<std::uint32_t> rawOffsets;
    for (const PlannedSection& section : sections)
    {
        const auto offset = static_cast<std::uint32_t>(file.size());
        rawOffsets.push_back(offset);
        file.insert(file.end(), section.contents.begin(), section.contents.end());
        file.resize(Align(static_cast<std::uint32_t>(file.size()), kFileAlignment), 0);
    }

    if (codeView)
        Put<std::uint32_t>(file, rawOffsets.back() + 24, rawOffsets.back() + kDebugEntrySize);

    // Symbols and their strings.
    const auto symbolTable = static_cast<std::uint32_t>(file.size());
    std::vector<std::uint8_t> strings(4, 0);
    for (std::size_t i = 0; withSymbolTable && i < symbols.size(); ++i)
    {
        const Symbol& symbol = symbols[i];
        const std::size_t record = file.size();
        file.resize(record + 18, 0);
        if (symbol.name.size() <= 8)
            std::memcpy(file.data() + record, symbol.name.data(), symbol.name.size());
        else
        {
            Put<std::uint32_t>(file, record + 4, static_cast<std::uint32_t>(strings.size()));
            PutText(strings, strings.size(), symbol.name);
        }
        Put<std::uint32_t>(file, record + 8, symbol.value);
        Put<std::int16_t>(file, record + 12, symbol.section);
        Put<std::uint16_t>(file, record + 14, symbol.function ? 0x20 : 0);
        file[record + 16] = 2; // external
    }
    Put<std::uint32_t>(strings, 0, static_cast<std::uint32_t>(strings.size()));
    if (withSymbolTable)
        file.insert(file.end(), strings.begin(), strings.end());

    // COFF file header.
    const std::uint32_t fileHeader = kPeOffset + 4;
    Put<std::uint16_t>(file, fileHeader, machine);
    Put<std::uint16_t>(file, fileHeader + 2, static_cast<std::uint16_t>(sections.size()));
    Put<std::uint32_t>(file, fileHeader + 8, withSymbolTable ? symbolTable : 0);
    Put<std::uint32_t>(file, fileHeader + 12,
                       withSymbolTable ? static_cast<std::uint32_t>(symbols.size()) : 0);
    Put<std::uint16_t>(file, fileHeader + 16, static_cast<std::uint16_t>(kOptionalHeaderSize));
    Put<std::uint16_t>(file, fileHeader + 18, characteristics);

    // Optional header.
    const std::uint32_t optional = fileHeader + 20;
    Put<std::uint16_t>(file, optional, magic);
    Put<std::uint32_t>(file, optional + 16, entryRva);
    Put<std::uint64_t>(file, optional + 24, kImageBase);
    Put<std::uint32_t>(file, optional + 32, sectionAlignment);
    Put<std::uint32_t>(file, optional + 36, kFileAlignment);
    Put<std::uint32_t>(file, optional + 56, imageSize);
    Put<std::uint32_t>(file, optional + 60, kFileAlignment);
    Put<std::uint16_t>(file, optional + 68, subsystem);
    Put<std::uint16_t>(file, optional + 70, 0x0140); // dynamic base, NX compatible
    Put<std::uint32_t>(file, optional + 108, 16);
    auto directory = [&](std::uint32_t index, std::uint32_t rva, std::uint32_t size)
    {
        Put<std::uint32_t>(file, optional + 112 + 8 * index, rva);
        Put<std::uint32_t>(file, optional + 112 + 8 * index + 4, size);
    };
    if (!imports.empty())
        directory(1, kImportRva, importLayout.directorySize);
    if (!relocationBytes.empty())
        directory(5, kRelocationRva, static_cast<std::uint32_t>(relocationBytes.size()));
    if (tlsDirectory)
        directory(9, dataRva, 40);
    if (delayImports)
        directory(13, dataRva, 32);
    if (codeView)
        directory(6, kDebugRva, kDebugEntrySize);

    // Section table.
    for (std::size_t i = 0; i < sections.size(); ++i)
    {
        const PlannedSection& section = sections[i];
        const std::uint32_t header = kSectionTable + static_cast<std::uint32_t>(40 * i);
        std::memcpy(file.data() + header, section.name, std::strlen(section.name));
        Put<std::uint32_t>(file, header + 8, section.virtualSize);
        Put<std::uint32_t>(file, header + 12, section.rva);
        Put<std::uint32_t>(
            file, header + 16,
            Align(static_cast<std::uint32_t>(section.contents.size()), kFileAlignment));
        Put<std::uint32_t>(file, header + 20, rawOffsets[i]);
        Put<std::uint32_t>(file, header + 36, section.flags);
    }
    return file;
}

} // namespace nuvtest
