// ParsePeImage: every offset and size read from the file is checked before
// it is used, against the file for raw data and against the image for
// RVAs, so that a damaged file is an error message and never a read out of
// bounds. Field offsets are those of the PE/COFF format (little-endian).
#include "host/loader/peimage.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>

namespace host::loader
{
namespace
{

// --- the format ----------------------------------------------------------------
constexpr std::uint16_t kDosSignature = 0x5A4D; // "MZ"
constexpr std::uint32_t kDosNewHeaderOffset = 0x3C;
constexpr std::uint32_t kPeSignature = 0x00004550; // "PE\0\0"
constexpr std::uint32_t kFileHeaderSize = 20;
constexpr std::uint32_t kSectionHeaderSize = 40;
constexpr std::uint32_t kSymbolSize = 18;

constexpr std::uint16_t kMachineAmd64 = 0x8664;
constexpr std::uint16_t kFileRelocsStripped = 0x0001;
constexpr std::uint16_t kFileExecutableImage = 0x0002;
constexpr std::uint16_t kFileDll = 0x2000;

constexpr std::uint16_t kMagicPe32 = 0x10B;
constexpr std::uint16_t kMagicPe32Plus = 0x20B;
constexpr std::uint32_t kOptionalHeaderFixedSize = 112; // PE32+, before the directories
constexpr std::uint16_t kSubsystemNative = 1;

constexpr std::uint32_t kDirectoryImport = 1;
constexpr std::uint32_t kDirectoryBaseReloc = 5;
constexpr std::uint32_t kDirectoryDebug = 6;
constexpr std::uint32_t kDirectoryTls = 9;
constexpr std::uint32_t kDirectoryDelayImport = 13;
constexpr std::uint32_t kDirectoryClr = 14;

constexpr std::uint32_t kSectionExecute = 0x20000000;
constexpr std::uint32_t kSectionRead = 0x40000000;
constexpr std::uint32_t kSectionWrite = 0x80000000;

constexpr std::uint16_t kRelocAbsolute = 0;
constexpr std::uint16_t kRelocDir64 = 10;

constexpr std::uint32_t kImportDescriptorSize = 20;
constexpr std::uint64_t kImportByOrdinal = 1ull << 63;

constexpr std::uint32_t kDebugEntrySize = 28;
constexpr std::uint32_t kDebugTypeCodeView = 2;
constexpr std::uint32_t kCodeViewRsds = 0x53445352; // "RSDS"
constexpr std::uint32_t kRsdsFixedSize = 24;        // signature, GUID, age; the name follows

constexpr std::int16_t kFirstRealSection = 1;
constexpr std::uint8_t kClassExternal = 2;
constexpr std::uint8_t kClassStatic = 3;
constexpr std::uint16_t kTypeFunction = 0x20;

// Names and lengths no sane image exceeds; a longer one is a damaged file.
constexpr std::size_t kMaxNameLength = 4096;

const char* MachineName(std::uint16_t machine)
{
    switch (machine)
    {
    case 0x014C:
        return "i386 (32-bit x86)";
    case 0x0200:
        return "IA-64";
    case 0x01C0:
    case 0x01C4:
        return "ARM (32-bit)";
    case 0xAA64:
        return "ARM64";
    default:
        return "an unknown machine";
    }
}

const char* SubsystemName(std::uint16_t subsystem)
{
    switch (subsystem)
    {
    case 2:
        return "Windows GUI";
    case 3:
        return "Windows console";
    case 5:
        return "OS/2 console";
    case 7:
        return "POSIX console";
    case 10:
    case 11:
    case 12:
    case 13:
        return "EFI";
    case 16:
        return "Windows boot application";
    default:
        return "unknown";
    }
}

const char* RelocationName(std::uint16_t type)
{
    switch (type)
    {
    case 1:
        return "HIGH";
    case 2:
        return "LOW";
    case 3:
        return "HIGHLOW";
    case 4:
        return "HIGHADJ";
    default:
        return "not an x64 type";
    }
}

// Reads little-endian values from the file; every read is bounds-checked by
// the caller through Has().
class FileBytes
{
public:
    explicit FileBytes(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}

    std::size_t Size() const { return m_bytes.size(); }
    bool Has(std::uint64_t offset, std::uint64_t length) const
    {
        return offset <= m_bytes.size() && length <= m_bytes.size() - offset;
    }
    template <class T> T Read(std::uint64_t offset) const
    {
        T value;
        std::memcpy(&value, m_bytes.data() + offset, sizeof(T));
        return value;
    }
    const std::uint8_t* At(std::uint64_t offset) const { return m_bytes.data() + offset; }

private:
    std::span<const std::uint8_t> m_bytes;
};

struct Directory
{
    std::uint32_t rva = 0;
    std::uint32_t size = 0;
    bool Present() const { return rva != 0 || size != 0; }
};

// The parse in progress: the first error ends it.
class Parser
{
public:
    explicit Parser(std::span<const std::uint8_t> bytes) : m_file(bytes) {}

    PeParse Run()
    {
        PeParse result;
        if (ReadHeaders() && ReadSections() && CheckUnsupportedDirectories() && ReadRelocations() &&
            ReadImports() && ReadDebugRecord() && ReadSymbols())
        {
            result.image = std::move(m_image);
            return result;
        }
        result.error = m_error;
        return result;
    }

private:
    bool Fail(std::string error)
    {
        m_error = std::move(error);
        return false;
    }

    bool Truncated(const std::string& what, std::uint64_t offset, std::uint64_t length)
    {
        return Fail("truncated: " + what + " (" + Hex(offset) + ", " + std::to_string(length) +
                    " bytes) lies past the end of the file (" + std::to_string(m_file.Size()) +
                    " bytes)");
    }

    // --- headers -----------------------------------------------------------------
    bool ReadHeaders()
    {
        if (!m_file.Has(0, kDosNewHeaderOffset + 4))
            return Fail("not a PE image: " + std::to_string(m_file.Size()) +
                        " bytes, too short for a DOS header");
        if (m_file.Read<std::uint16_t>(0) != kDosSignature)
            return Fail("not a PE image: no MZ signature");
        const std::uint32_t peOffset = m_file.Read<std::uint32_t>(kDosNewHeaderOffset);
        if (!m_file.Has(peOffset, 4))
            return Truncated("the PE signature", peOffset, 4);
        if (m_file.Read<std::uint32_t>(peOffset) != kPeSignature)
            return Fail("not a PE image: no PE signature at " + Hex(peOffset));
        const std::uint64_t fileHeader = std::uint64_t{peOffset} + 4;
        if (!m_file.Has(fileHeader, kFileHeaderSize))
            return Truncated("the COFF file header", fileHeader, kFileHeaderSize);

        const auto machine = m_file.Read<std::uint16_t>(fileHeader);
        m_sectionCount = m_file.Read<std::uint16_t>(fileHeader + 2);
        m_symbolTable = m_file.Read<std::uint32_t>(fileHeader + 8);
        m_symbolCount = m_file.Read<std::uint32_t>(fileHeader + 12);
        const auto optionalSize = m_file.Read<std::uint16_t>(fileHeader + 16);
        const auto characteristics = m_file.Read<std::uint16_t>(fileHeader + 18);
        if (machine != kMachineAmd64)
            return Fail(std::string("an image for ") + MachineName(machine) + " (machine " +
                        Hex(machine) + "), not for x64");
        if ((characteristics & kFileExecutableImage) == 0)
            return Fail("not an executable image (an object file?)");
        if ((characteristics & kFileDll) != 0)
            return Fail("a DLL, not a driver image");

        const std::uint64_t optional = fileHeader + kFileHeaderSize;
        if (optionalSize < 2 || !m_file.Has(optional, optionalSize))
            return Truncated("the optional header", optional, optionalSize);
        const auto magic = m_file.Read<std::uint16_t>(optional);
        if (magic == kMagicPe32)
            return Fail("a PE32 (32-bit) image, not PE32+");
        if (magic != kMagicPe32Plus)
            return Fail("optional header magic " + Hex(magic) + " is not PE32+ (0x20b)");
        if (optionalSize < kOptionalHeaderFixedSize)
            return Fail("inconsistent header: a PE32+ optional header of " +
                        std::to_string(optionalSize) + " bytes");

        m_image.entryRva = m_file.Read<std::uint32_t>(optional + 16);
        m_image.imageBase = m_file.Read<std::uint64_t>(optional + 24);
        m_image.sectionAlignment = m_file.Read<std::uint32_t>(optional + 32);
        m_image.imageSize = m_file.Read<std::uint32_t>(optional + 56);
        m_image.headersSize = m_file.Read<std::uint32_t>(optional + 60);
        const auto subsystem = m_file.Read<std::uint16_t>(optional + 68);
        const auto directories = m_file.Read<std::uint32_t>(optional + 108);
        if (subsystem != kSubsystemNative)
            return Fail("subsystem " + std::to_string(subsystem) + " (" + SubsystemName(subsystem) +
                        ") is not native (1)");
        if (directories > (optionalSize - kOptionalHeaderFixedSize) / 8)
            return Fail("inconsistent header: " + std::to_string(directories) +
                        " data directories do not fit in the optional header");
        for (std::uint32_t i = 0; i < directories && i < m_directories.size(); ++i)
        {
            const std::uint64_t entry = optional + kOptionalHeaderFixedSize + 8 * i;
            m_directories[i] = {m_file.Read<std::uint32_t>(entry),
                                m_file.Read<std::uint32_t>(entry + 4)};
        }

        if (m_image.sectionAlignment < kPageSize || m_image.sectionAlignment % kPageSize != 0)
            return Fail("section alignment " + Hex(m_image.sectionAlignment) +
                        " is not a multiple of the page size (" + Hex(kPageSize) +
                        "): sections could not be protected apart");
        if (m_image.imageSize == 0 || m_image.headersSize == 0 ||
            m_image.headersSize > m_image.imageSize)
            return Fail("inconsistent header: image size " + Hex(m_image.imageSize) +
                        ", headers size " + Hex(m_image.headersSize));
        if (!m_file.Has(0, m_image.headersSize))
            return Truncated("the headers", 0, m_image.headersSize);
        if ((characteristics & kFileRelocsStripped) != 0)
            return Fail("relocations stripped: it can run only at its base " +
                        Hex(m_image.imageBase));
        m_sectionTable = optional + optionalSize;
        return true;
    }

    // --- sections ------------------------------------------------------------------
    std::string SectionName(const std::uint8_t* raw) const
    {
        std::size_t length = 0;
        while (length < 8 && raw[length] != 0)
            ++length;
        return std::string(reinterpret_cast<const char*>(raw), length);
    }

    bool ReadSections()
    {
        if (m_sectionCount == 0)
            return Fail("inconsistent header: no sections");
        const std::uint64_t tableSize = std::uint64_t{m_sectionCount} * kSectionHeaderSize;
        if (!m_file.Has(m_sectionTable, tableSize))
            return Truncated("the section table", m_sectionTable, tableSize);
        if (m_sectionTable + tableSize > m_image.headersSize)
            return Fail("inconsistent header: the section table ends past the headers");

        std::uint64_t previousEnd = m_image.headersSize;
        for (std::uint32_t i = 0; i < m_sectionCount; ++i)
        {
            const std::uint64_t header = m_sectionTable + std::uint64_t{i} * kSectionHeaderSize;
            PeSection section;
            section.name = SectionName(m_file.At(header));
            section.virtualSize = m_file.Read<std::uint32_t>(header + 8);
            section.virtualAddress = m_file.Read<std::uint32_t>(header + 12);
            section.rawSize = m_file.Read<std::uint32_t>(header + 16);
            section.rawOffset = m_file.Read<std::uint32_t>(header + 20);
            const auto characteristics = m_file.Read<std::uint32_t>(header + 36);
            section.readable = (characteristics & kSectionRead) != 0;
            section.writable = (characteristics & kSectionWrite) != 0;
            section.executable = (characteristics & kSectionExecute) != 0;
            if (section.virtualSize == 0)
                section.virtualSize = section.rawSize;
            if (!CheckSection(section, previousEnd))
                return false;
            previousEnd = std::uint64_t{section.virtualAddress} + section.virtualSize;
            m_image.sections.push_back(std::move(section));
        }
        if (!IsInExecutableSection(m_image.entryRva))
            return Fail("inconsistent header: the entry point " + Hex(m_image.entryRva) +
                        " is not in an executable section");
        return true;
    }

    bool CheckSection(const PeSection& section, std::uint64_t previousEnd)
    {
        const std::string what = "section " + section.name;
        if (section.virtualAddress % kPageSize != 0)
            return Fail("inconsistent header: " + what + " at " + Hex(section.virtualAddress) +
                        " does not start on a page");
        if (section.virtualAddress < previousEnd)
            return Fail("inconsistent header: " + what + " at " + Hex(section.virtualAddress) +
                        " overlaps the headers or the section before it");
        if (std::uint64_t{section.virtualAddress} + section.virtualSize > m_image.imageSize)
            return Fail("inconsistent header: " + what + " ends past the image size " +
                        Hex(m_image.imageSize));
        if (section.rawSize != 0 && !m_file.Has(section.rawOffset, section.rawSize))
            return Truncated("the data of " + what, section.rawOffset, section.rawSize);
        return true;
    }

    const PeSection* SectionOf(std::uint64_t rva) const
    {
        for (const PeSection& section : m_image.sections)
        {
            if (rva >= section.virtualAddress &&
                rva < std::uint64_t{section.virtualAddress} + section.virtualSize)
                return &section;
        }
        return nullptr;
    }

    bool IsInExecutableSection(std::uint64_t rva) const
    {
        const PeSection* section = SectionOf(rva);
        return section != nullptr && section->executable;
    }

    // The file offset of `length` bytes at `rva`, if they are file data of
    // one section (or of the headers).
    std::optional<std::uint64_t> FileOffsetOf(std::uint64_t rva, std::uint64_t length) const
    {
        if (rva + length <= m_image.headersSize)
            return rva;
        const PeSection* section = SectionOf(rva);
        if (section == nullptr)
            return std::nullopt;
        const std::uint64_t offset = rva - section->virtualAddress;
        const std::uint64_t available = std::min(section->rawSize, section->virtualSize);
        if (offset > available || length > available - offset)
            return std::nullopt;
        return section->rawOffset + offset;
    }

    // A null-terminated name at `rva`; empty (and m_error set) if it is not
    // all inside one section's data.
    std::optional<std::string> NameAt(std::uint64_t rva, const std::string& what)
    {
        std::string name;
        for (std::uint64_t i = 0; i < kMaxNameLength; ++i)
        {
            const auto offset = FileOffsetOf(rva + i, 1);
            if (!offset)
                break;
            const char c = static_cast<char>(*m_file.At(*offset));
            if (c == 0)
                return name;
            name += c;
        }
        Fail("inconsistent header: " + what + " at RVA " + Hex(rva) +
             " is not a terminated name inside the image");
        return std::nullopt;
    }

    // --- directories -----------------------------------------------------------------
    bool CheckUnsupportedDirectories()
    {
        if (m_directories[kDirectoryTls].Present())
            return Fail("a TLS directory: nothing here runs TLS callbacks or sets up "
                        "thread-local storage for a driver");
        if (m_directories[kDirectoryDelayImport].Present())
            return Fail("delay-load imports: nothing here binds imports late");
        if (m_directories[kDirectoryClr].Present())
            return Fail("a .NET (CLR) image, not native code");
        return true;
    }

    bool CheckDirectory(const Directory& directory, const char* name)
    {
        if (std::uint64_t{directory.rva} + directory.size > m_image.imageSize)
            return Fail(std::string("inconsistent header: the ") + name + " directory (" +
                        Hex(directory.rva) + ", " + std::to_string(directory.size) +
                        " bytes) lies outside the image");
        return true;
    }

    bool ReadRelocations()
    {
        const Directory directory = m_directories[kDirectoryBaseReloc];
        if (!CheckDirectory(directory, "base relocation"))
            return false;
        std::uint64_t rva = directory.rva;
        const std::uint64_t end = rva + directory.size;
        while (directory.size != 0 && rva < end)
        {
            const auto header = FileOffsetOf(rva, 8);
            if (!header)
                return Fail("inconsistent header: a base relocation block at RVA " + Hex(rva) +
                            " is not file data");
            const auto page = m_file.Read<std::uint32_t>(*header);
            const auto blockSize = m_file.Read<std::uint32_t>(*header + 4);
            if (blockSize < 8 || blockSize % 2 != 0 || rva + blockSize > end)
                return Fail("inconsistent header: a base relocation block at RVA " + Hex(rva) +
                            " of " + std::to_string(blockSize) + " bytes");
            const auto entries = FileOffsetOf(rva + 8, blockSize - 8);
            if (!entries)
                return Fail("inconsistent header: base relocations at RVA " + Hex(rva) +
                            " are not file data");
            for (std::uint32_t i = 0; i < (blockSize - 8) / 2; ++i)
            {
                const auto entry = m_file.Read<std::uint16_t>(*entries + 2 * i);
                if (!AddRelocation(entry >> 12, std::uint64_t{page} + (entry & 0xFFF)))
                    return false;
            }
            rva += blockSize;
        }
        return true;
    }

    bool AddRelocation(std::uint16_t type, std::uint64_t target)
    {
        if (type == kRelocAbsolute)
            return true;
        if (type != kRelocDir64)
            return Fail("unsupported base relocation type " + std::to_string(type) + " (" +
                        RelocationName(type) + ") at RVA " + Hex(target) +
                        "; an x64 image has only DIR64");
        const PeSection* section = SectionOf(target);
        if (section == nullptr ||
            target + 8 > std::uint64_t{section->virtualAddress} + section->virtualSize)
            return Fail("inconsistent header: a DIR64 relocation at RVA " + Hex(target) +
                        " is not inside a section");
        m_image.dir64Slots.push_back(static_cast<std::uint32_t>(target));
        return true;
    }

    bool ReadImports()
    {
        const Directory directory = m_directories[kDirectoryImport];
        if (!CheckDirectory(directory, "import"))
            return false;
        if (!directory.Present())
            return true;
        for (std::uint64_t rva = directory.rva;; rva += kImportDescriptorSize)
        {
            const auto descriptor = FileOffsetOf(rva, kImportDescriptorSize);
            if (!descriptor)
                return Fail("inconsistent header: the import directory at RVA " + Hex(rva) +
                            " is not terminated inside the image");
            const auto lookupTable = m_file.Read<std::uint32_t>(*descriptor);
            const auto nameRva = m_file.Read<std::uint32_t>(*descriptor + 12);
            const auto addressTable = m_file.Read<std::uint32_t>(*descriptor + 16);
            if (nameRva == 0 && addressTable == 0)
                return true;
            const auto module = NameAt(nameRva, "an imported module's name");
            if (!module)
                return false;
            if (!ReadImportedFunctions(*module, lookupTable != 0 ? lookupTable : addressTable,
                                       addressTable))
                return false;
        }
    }

    bool ReadImportedFunctions(const std::string& module, std::uint64_t lookupTable,
                               std::uint64_t addressTable)
    {
        for (std::uint64_t i = 0;; ++i)
        {
            const auto entry = FileOffsetOf(lookupTable + 8 * i, 8);
            if (!entry)
                return Fail("inconsistent header: the import lookup table of " + module +
                            " is not terminated inside the image");
            const auto value = m_file.Read<std::uint64_t>(*entry);
            if (value == 0)
                return true;
            if ((value & kImportByOrdinal) != 0)
                return Fail("imports " + module + " ordinal " + std::to_string(value & 0xFFFF) +
                            ": imports by ordinal are not supported, only by name");
            const auto name = NameAt((value & 0x7FFFFFFF) + 2, "a name imported from " + module);
            if (!name)
                return false;
            const std::uint64_t slot = addressTable + 8 * i;
            // The slot need not be writable: like the platform's loader, the
            // binder writes it while the image is still mapped read-write and
            // gives the section its protection afterwards (lld puts the
            // import address table in read-only .rdata).
            const PeSection* section = SectionOf(slot);
            if (section == nullptr ||
                slot + 8 > std::uint64_t{section->virtualAddress} + section->virtualSize)
                return Fail("inconsistent header: the import address of " + module + "!" + *name +
                            " is not inside a section");
            m_image.imports.push_back({module, *name, static_cast<std::uint32_t>(slot)});
        }
    }

    // --- the debug record --------------------------------------------------------------
    // Only the first CodeView entry of the RSDS kind counts, as for a
    // debugger; other kinds of entry (and the older NB10 records) are left
    // alone.
    bool ReadDebugRecord()
    {
        const Directory directory = m_directories[kDirectoryDebug];
        if (!CheckDirectory(directory, "debug"))
            return false;
        if (!directory.Present())
            return true;
        const auto entries = FileOffsetOf(directory.rva, directory.size);
        if (!entries)
            return Fail("inconsistent header: the debug directory at RVA " + Hex(directory.rva) +
                        " is not file data");
        for (std::uint32_t i = 0; i < directory.size / kDebugEntrySize; ++i)
        {
            const std::uint64_t entry = *entries + std::uint64_t{i} * kDebugEntrySize;
            if (m_file.Read<std::uint32_t>(entry + 12) != kDebugTypeCodeView)
                continue;
            const auto size = m_file.Read<std::uint32_t>(entry + 16);
            const auto rva = m_file.Read<std::uint32_t>(entry + 20);
            const auto offset = m_file.Read<std::uint32_t>(entry + 24);
            const auto record =
                offset != 0 ? std::optional<std::uint64_t>(offset) : FileOffsetOf(rva, size);
            if (!record || !m_file.Has(*record, size))
                return Truncated("the CodeView debug record", record.value_or(rva), size);
            if (size >= kRsdsFixedSize && m_file.Read<std::uint32_t>(*record) == kCodeViewRsds)
                return ReadRsds(*record, size);
        }
        return true;
    }

    bool ReadRsds(std::uint64_t record, std::uint32_t size)
    {
        PeCodeView codeView;
        std::memcpy(codeView.guid.data(), m_file.At(record + 4), codeView.guid.size());
        codeView.age = m_file.Read<std::uint32_t>(record + 20);
        const auto* name = reinterpret_cast<const char*>(m_file.At(record + kRsdsFixedSize));
        const std::size_t room = size - kRsdsFixedSize;
        const std::size_t length = strnlen(name, room);
        if (length == room)
            return Fail("inconsistent header: the PDB name in the CodeView debug record is not "
                        "terminated inside the record");
        codeView.pdbName.assign(name, length);
        m_image.codeView = std::move(codeView);
        return true;
    }

    // --- symbols ---------------------------------------------------------------------
    bool ReadSymbols()
    {
        if (m_symbolTable == 0)
            return true;
        const std::uint64_t tableSize = std::uint64_t{m_symbolCount} * kSymbolSize;
        if (!m_file.Has(m_symbolTable, tableSize + 4))
            return Truncated("the symbol table", m_symbolTable, tableSize);
        const std::uint64_t strings = m_symbolTable + tableSize;
        const auto stringsSize = m_file.Read<std::uint32_t>(strings);
        if (stringsSize < 4 || !m_file.Has(strings, stringsSize))
            return Truncated("the symbol string table", strings, stringsSize);
        m_image.hasSymbolTable = true;

        for (std::uint64_t i = 0; i < m_symbolCount; ++i)
        {
            const std::uint64_t record = m_symbolTable + i * kSymbolSize;
            const auto value = m_file.Read<std::uint32_t>(record + 8);
            const auto section = m_file.Read<std::int16_t>(record + 12);
            const auto type = m_file.Read<std::uint16_t>(record + 14);
            const auto storageClass = m_file.Read<std::uint8_t>(record + 16);
            const auto auxiliary = m_file.Read<std::uint8_t>(record + 17);
            i += auxiliary;
            if (section < kFirstRealSection ||
                section > static_cast<int>(m_image.sections.size()) ||
                (storageClass != kClassExternal && storageClass != kClassStatic))
                continue;
            std::string name;
            if (m_file.Read<std::uint32_t>(record) != 0)
                name = SectionName(m_file.At(record));
            else
            {
                const auto offset = m_file.Read<std::uint32_t>(record + 4);
                name = StringAt(strings, stringsSize, offset);
            }
            // Section symbols (a section's own name: ".text", "PAGE") and the
            // import and linker bookkeeping names (".refptr.X", ".idata$5")
            // name no function or datum of the driver's.
            const PeSection& owner = m_image.sections[section - 1];
            if (name.empty() || name[0] == '.' || name == owner.name)
                continue;
            m_image.symbols.push_back(
                {std::move(name), owner.virtualAddress + value, (type & 0xF0) == kTypeFunction});
        }
        std::stable_sort(m_image.symbols.begin(), m_image.symbols.end(),
                         [](const PeSymbol& a, const PeSymbol& b) { return a.rva < b.rva; });
        return true;
    }

    std::string StringAt(std::uint64_t strings, std::uint32_t size, std::uint32_t offset) const
    {
        std::string name;
        for (std::uint64_t i = offset; i < size && name.size() < kMaxNameLength; ++i)
        {
            const char c = static_cast<char>(*m_file.At(strings + i));
            if (c == 0)
                break;
            name += c;
        }
        return name;
    }

    FileBytes m_file;
    PeImage m_image;
    std::string m_error;
    std::uint32_t m_sectionCount = 0;
    std::uint32_t m_symbolTable = 0;
    std::uint32_t m_symbolCount = 0;
    std::uint64_t m_sectionTable = 0;
    std::array<Directory, 16> m_directories{};
};

} // namespace

PeParse ParsePeImage(std::span<const std::uint8_t> bytes)
{
    return Parser(bytes).Run();
}

std::string Hex(std::uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llx", static_cast<unsigned long long>(value));
    return text;
}

} // namespace host::loader
