// ReadPdbSymbols: the MSF container (a superblock, a stream directory, and
// streams made of fixed-size blocks anywhere in the file), then the PDB info
// stream (the identity), the DBI stream (where the symbol record stream and
// the modules' streams are) and the symbol records themselves. Offsets and
// record layouts are those of the MSF 7.00 and CodeView formats
// (little-endian). Every stream is checked against the file when the
// directory is read, and copied out whole before it is parsed, so that a
// record is checked against its stream and nothing else.
#include "host/loader/pdbsymbols.h"

#include "host/kernel/guidstring.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace host::loader
{
namespace
{

// --- the container -------------------------------------------------------------------
// "Microsoft C/C++ MSF 7.00\r\n\x1a" "DS" and three zero bytes.
constexpr char kMsfMagic[] = "Microsoft C/C++ MSF 7.00\r\n\x1a"
                             "DS\0\0";
constexpr std::size_t kMsfMagicSize = 32;
static_assert(sizeof(kMsfMagic) == kMsfMagicSize, "the signature with its last zero byte");
constexpr std::size_t kSuperBlockSize = 56;
constexpr std::uint32_t kNilStream = 0xFFFFFFFF;

// --- the streams at fixed indices ----------------------------------------------------
constexpr std::uint32_t kInfoStream = 1;
constexpr std::uint32_t kDbiStream = 3;
constexpr std::size_t kInfoHeaderSize = 28; // version, signature, age, GUID
constexpr std::size_t kDbiHeaderSize = 64;
constexpr std::uint16_t kNoStream = 0xFFFF;
constexpr std::size_t kModuleInfoFixedSize = 64; // up to the module's and object's names
constexpr std::uint32_t kC13Signature = 4;

// --- symbol records --------------------------------------------------------------------
constexpr std::uint16_t kPublic32 = 0x110E;
constexpr std::uint16_t kLocalProc32 = 0x110F;
constexpr std::uint16_t kGlobalProc32 = 0x1110;
constexpr std::uint16_t kLocalProc32Id = 0x1146;
constexpr std::uint16_t kGlobalProc32Id = 0x1147;
constexpr std::uint32_t kPublicFunction = 0x2;
// Offsets inside a record, from its length field.
constexpr std::size_t kPublicFlags = 4;
constexpr std::size_t kPublicOffset = 8;
constexpr std::size_t kPublicSegment = 12;
constexpr std::size_t kPublicName = 14;
constexpr std::size_t kProcOffset = 32;
constexpr std::size_t kProcSegment = 36;
constexpr std::size_t kProcName = 39;

bool Has(std::span<const std::uint8_t> bytes, std::uint64_t offset, std::uint64_t length)
{
    return offset <= bytes.size() && length <= bytes.size() - offset;
}

// Callers check the range with Has() first.
template <class T> T Read(std::span<const std::uint8_t> bytes, std::uint64_t offset)
{
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

bool IsValidBlockSize(std::uint32_t size)
{
    return size == 512 || size == 1024 || size == 2048 || size == 4096 || size == 8192 ||
           size == 16384 || size == 32768;
}

std::uint64_t BlocksFor(std::uint64_t bytes, std::uint32_t blockSize)
{
    return (bytes + blockSize - 1) / blockSize;
}

// The streams of an MSF file. Open() checks the whole directory: after it,
// every stream's blocks lie inside the file and no block belongs to two
// streams (nor to the directory), so that all streams together are never
// larger than the file.
class MsfFile
{
public:
    explicit MsfFile(std::span<const std::uint8_t> bytes) : m_bytes(bytes) {}

    bool Open(std::string& error)
    {
        if (!ReadSuperBlock(error))
            return false;
        m_used.assign(m_blockCount, false);
        m_used[0] = true; // the superblock
        std::vector<std::uint32_t> directoryBlocks;
        if (!ReadBlockMap(directoryBlocks, error))
            return false;
        return ReadDirectory(Gather(directoryBlocks, m_directoryBytes), error);
    }

    std::uint32_t StreamCount() const { return static_cast<std::uint32_t>(m_sizes.size()); }

    // The stream's bytes; `index` < StreamCount().
    std::vector<std::uint8_t> Stream(std::uint32_t index) const
    {
        return Gather(m_blocks[index], m_sizes[index]);
    }

private:
    bool ReadSuperBlock(std::string& error)
    {
        if (m_bytes.size() < kSuperBlockSize)
            return Refuse(error, "not a PDB: " + std::to_string(m_bytes.size()) +
                                     " bytes, too short for an MSF header");
        if (std::memcmp(m_bytes.data(), kMsfMagic, kMsfMagicSize) != 0)
            return Refuse(error, "not a PDB: no MSF 7.00 signature");
        m_blockSize = Read<std::uint32_t>(m_bytes, 32);
        m_blockCount = Read<std::uint32_t>(m_bytes, 40);
        m_directoryBytes = Read<std::uint32_t>(m_bytes, 44);
        m_blockMap = Read<std::uint32_t>(m_bytes, 52);
        if (!IsValidBlockSize(m_blockSize))
            return Refuse(error, "corrupt: block size " + std::to_string(m_blockSize));
        if (m_blockCount == 0)
            return Refuse(error, "corrupt: its header gives 0 blocks");
        const std::uint64_t promised = std::uint64_t{m_blockCount} * m_blockSize;
        if (promised > m_bytes.size())
            return Refuse(error, "truncated: its header gives " + std::to_string(m_blockCount) +
                                     " blocks of " + std::to_string(m_blockSize) + " bytes (" +
                                     std::to_string(promised) + " bytes), the file has " +
                                     std::to_string(m_bytes.size()));
        // The directory's block numbers are listed in the one block of the
        // block map.
        if (m_directoryBytes < 4 ||
            BlocksFor(m_directoryBytes, m_blockSize) * 4 > std::uint64_t{m_blockSize})
            return Refuse(error, "corrupt: a stream directory of " +
                                     std::to_string(m_directoryBytes) + " bytes");
        return true;
    }

    bool ReadBlockMap(std::vector<std::uint32_t>& directoryBlocks, std::string& error)
    {
        if (!Claim(m_blockMap, "the block map", error))
            return false;
        const std::uint64_t mapOffset = std::uint64_t{m_blockMap} * m_blockSize;
        const std::uint64_t count = BlocksFor(m_directoryBytes, m_blockSize);
        for (std::uint64_t i = 0; i < count; ++i)
        {
            const auto block = Read<std::uint32_t>(m_bytes, mapOffset + 4 * i);
            if (!Claim(block, "the stream directory", error))
                return false;
            directoryBlocks.push_back(block);
        }
        return true;
    }

    bool ReadDirectory(const std::vector<std::uint8_t>& directory, std::string& error)
    {
        const std::span<const std::uint8_t> bytes(directory);
        const auto count = Read<std::uint32_t>(bytes, 0);
        if (!Has(bytes, 4, std::uint64_t{count} * 4))
            return Refuse(error, "corrupt: " + std::to_string(count) +
                                     " streams do not fit in a stream directory of " +
                                     std::to_string(bytes.size()) + " bytes");
        std::uint64_t cursor = 4 + std::uint64_t{count} * 4;
        for (std::uint32_t stream = 0; stream < count; ++stream)
        {
            std::uint32_t size = Read<std::uint32_t>(bytes, 4 + 4 * std::uint64_t{stream});
            if (size == kNilStream)
                size = 0;
            const std::uint64_t blocks = BlocksFor(size, m_blockSize);
            if (blocks > m_blockCount)
                return Refuse(error, "corrupt: stream " + std::to_string(stream) + " of " +
                                         std::to_string(size) + " bytes is larger than the file");
            if (!Has(bytes, cursor, blocks * 4))
                return Refuse(error, "corrupt: the stream directory ends inside the block list "
                                     "of stream " +
                                         std::to_string(stream));
            std::vector<std::uint32_t> list;
            const std::string what = "stream " + std::to_string(stream);
            for (std::uint64_t i = 0; i < blocks; ++i, cursor += 4)
            {
                const auto block = Read<std::uint32_t>(bytes, cursor);
                if (!Claim(block, what, error))
                    return false;
                list.push_back(block);
            }
            m_sizes.push_back(size);
            m_blocks.push_back(std::move(list));
        }
        return true;
    }

    // Marks `block` as used by `owner`; false if it lies past the file or
    // something else uses it already.
    bool Claim(std::uint32_t block, const std::string& owner, std::string& error)
    {
        if (block >= m_blockCount)
            return Refuse(error, "corrupt: block " + std::to_string(block) + " of " + owner +
                                     " lies past the file's " + std::to_string(m_blockCount) +
                                     " blocks");
        if (m_used[block])
            return Refuse(error, "corrupt: block " + std::to_string(block) + " of " + owner +
                                     " is used twice");
        m_used[block] = true;
        return true;
    }

    std::vector<std::uint8_t> Gather(const std::vector<std::uint32_t>& blocks,
                                     std::uint32_t size) const
    {
        std::vector<std::uint8_t> bytes;
        bytes.reserve(size);
        for (std::uint32_t block : blocks)
        {
            const std::size_t take = std::min<std::size_t>(m_blockSize, size - bytes.size());
            const std::uint8_t* from = m_bytes.data() + std::uint64_t{block} * m_blockSize;
            bytes.insert(bytes.end(), from, from + take);
        }
        return bytes;
    }

    static bool Refuse(std::string& error, std::string problem)
    {
        error = std::move(problem);
        return false;
    }

    std::span<const std::uint8_t> m_bytes;
    std::uint32_t m_blockSize = 0;
    std::uint32_t m_blockCount = 0;
    std::uint32_t m_directoryBytes = 0;
    std::uint32_t m_blockMap = 0;
    std::vector<bool> m_used;
    std::vector<std::uint32_t> m_sizes;
    std::vector<std::vector<std::uint32_t>> m_blocks;
};

// One symbol record: its kind and its bytes from the length field on.
struct Record
{
    std::uint16_t kind;
    std::span<const std::uint8_t> bytes;
    std::uint64_t offset; // in its stream, for messages
};

// The symbols in progress: the first error ends the read.
class Reader
{
public:
    Reader(std::span<const std::uint8_t> pdb, const PeCodeView& record,
           std::span<const PeSection> sections)
        : m_msf(pdb), m_record(record), m_sections(sections)
    {
    }

    PdbRead Run()
    {
        PdbRead result;
        if (m_msf.Open(m_error) && CheckIdentity() && ReadDbiHeader() && ReadPublics() &&
            ReadModules())
        {
            result.symbols = Finish();
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

    bool CheckIdentity()
    {
        if (m_msf.StreamCount() <= kDbiStream)
            return Fail("corrupt: " + std::to_string(m_msf.StreamCount()) +
                        " streams, too few for a PDB (no DBI stream)");
        const std::vector<std::uint8_t> info = m_msf.Stream(kInfoStream);
        if (info.size() < kInfoHeaderSize)
            return Fail("corrupt: a PDB info stream of " + std::to_string(info.size()) + " bytes");
        std::array<std::uint8_t, 16> guid;
        std::memcpy(guid.data(), info.data() + 12, guid.size());
        const auto age = Read<std::uint32_t>(info, 8);
        if (guid != m_record.guid || age != m_record.age)
            return Fail("not the PDB of this image (image: " + host::GuidString(m_record.guid) +
                        " age " + std::to_string(m_record.age) +
                        "; PDB: " + host::GuidString(guid) + " age " + std::to_string(age) + ")");
        return true;
    }

    bool ReadDbiHeader()
    {
        m_dbi = m_msf.Stream(kDbiStream);
        if (m_dbi.size() < kDbiHeaderSize || Read<std::int32_t>(m_dbi, 0) != -1)
            return Fail("corrupt: no DBI stream header (" + std::to_string(m_dbi.size()) +
                        " bytes)");
        m_symbolRecordStream = Read<std::uint16_t>(m_dbi, 20);
        const auto moduleInfoSize = Read<std::int32_t>(m_dbi, 24);
        if (moduleInfoSize < 0 || !Has(m_dbi, kDbiHeaderSize, std::uint64_t(moduleInfoSize)))
            return Fail("corrupt: module information of " + std::to_string(moduleInfoSize) +
                        " bytes runs past the DBI stream (" + std::to_string(m_dbi.size()) +
                        " bytes)");
        m_moduleInfoSize = static_cast<std::uint32_t>(moduleInfoSize);
        return true;
    }

    bool ReadPublics()
    {
        if (m_symbolRecordStream == kNoStream)
            return true;
        if (m_symbolRecordStream >= m_msf.StreamCount())
            return Fail("corrupt: the symbol record stream " +
                        std::to_string(m_symbolRecordStream) + " does not exist");
        const std::vector<std::uint8_t> stream = m_msf.Stream(m_symbolRecordStream);
        return ForEachRecord(stream, 0, stream.size(), "the symbol record stream",
                             [this](const Record& record) { return TakePublic(record); });
    }

    bool ReadModules()
    {
        const std::span<const std::uint8_t> modules =
            std::span<const std::uint8_t>(m_dbi).subspan(kDbiHeaderSize, m_moduleInfoSize);
        // A stream read once already (the fixed ones, another module's) is
        // not read again: with blocks never shared, everything read is at
        // most the file's size.
        std::vector<bool> seen(m_msf.StreamCount(), false);
        seen[kInfoStream] = seen[kDbiStream] = true;
        if (m_symbolRecordStream != kNoStream)
            seen[m_symbolRecordStream] = true;
        std::uint64_t offset = 0;
        for (std::uint32_t moduleIndex = 0; offset < modules.size(); ++moduleIndex)
        {
            if (!Has(modules, offset, kModuleInfoFixedSize))
                return Fail("corrupt: the information of module " + std::to_string(moduleIndex) +
                            " runs past its substream");
            const auto stream = Read<std::uint16_t>(modules, offset + 34);
            const auto symbolBytes = Read<std::uint32_t>(modules, offset + 36);
            // The module's and the object file's names follow, then padding
            // to four bytes.
            std::uint64_t end = offset + kModuleInfoFixedSize;
            for (int name = 0; name < 2; ++name)
            {
                const auto* text = modules.data() + end;
                const std::size_t length = static_cast<std::size_t>(
                    std::find(text, modules.data() + modules.size(), 0) - text);
                if (end + length >= modules.size())
                    return Fail("corrupt: the names of module " + std::to_string(moduleIndex) +
                                " are not terminated inside its substream");
                end += length + 1;
            }
            offset = (end + 3) / 4 * 4;
            if (stream == kNoStream)
                continue;
            if (stream >= m_msf.StreamCount() || seen[stream])
                return Fail(
                    "corrupt: the symbol stream " + std::to_string(stream) + " of module " +
                    std::to_string(moduleIndex) +
                    (stream >= m_msf.StreamCount() ? " does not exist" : " is read already"));
            seen[stream] = true;
            if (!ReadModule(moduleIndex, stream, symbolBytes))
                return false;
        }
        return true;
    }

    bool ReadModule(std::uint32_t moduleIndex, std::uint16_t index, std::uint32_t symbolBytes)
    {
        if (symbolBytes == 0)
            return true;
        const std::vector<std::uint8_t> stream = m_msf.Stream(index);
        const std::string what = "the symbols of module " + std::to_string(moduleIndex);
        if (symbolBytes < 4 || symbolBytes > stream.size())
            return Fail("corrupt: " + what + " (" + std::to_string(symbolBytes) +
                        " bytes) do not fit in stream " + std::to_string(index) + " (" +
                        std::to_string(stream.size()) + " bytes)");
        if (Read<std::uint32_t>(stream, 0) != kC13Signature)
            return Fail("corrupt: " + what + " do not start with the CodeView C13 signature");
        return ForEachRecord(stream, 4, symbolBytes, what,
                             [this](const Record& record) { return TakeProcedure(record); });
    }

    // Calls `take` with each record of stream[begin, end); each must lie
    // whole inside that range.
    template <class Take>
    bool ForEachRecord(std::span<const std::uint8_t> stream, std::uint64_t begin, std::uint64_t end,
                       const std::string& what, Take take)
    {
        for (std::uint64_t offset = begin; offset < end;)
        {
            const std::span<const std::uint8_t> rest = stream.subspan(offset, end - offset);
            if (rest.size() < 4)
                return Fail("corrupt: " + what + " ends inside a record header at " + Hex(offset));
            const auto length = Read<std::uint16_t>(rest, 0);
            if (length < 2 || !Has(rest, 2, length))
                return Fail("corrupt: a record of " + std::to_string(length) + " bytes at " +
                            Hex(offset) + " in " + what + " runs past its end");
            const Record record{Read<std::uint16_t>(rest, 2), rest.first(2u + length), offset};
            if (!take(record))
                return false;
            offset += 2u + length;
        }
        return true;
    }

    // The null-terminated name at `at` in the record; empty (and the read
    // failed) if it is not terminated inside it.
    std::optional<std::string> NameIn(const Record& record, std::size_t at, const char* kind)
    {
        if (record.bytes.size() <= at)
            return NameProblem(record, kind, "is too short for its fields");
        const auto* text = reinterpret_cast<const char*>(record.bytes.data() + at);
        const std::size_t length = strnlen(text, record.bytes.size() - at);
        if (at + length == record.bytes.size())
            return NameProblem(record, kind, "has a name not terminated inside it");
        return std::string(text, length);
    }

    std::optional<std::string> NameProblem(const Record& record, const char* kind,
                                           const char* problem)
    {
        Fail(std::string("corrupt: the ") + kind + " record at " + Hex(record.offset) + " (" +
             std::to_string(record.bytes.size()) + " bytes) " + problem);
        return std::nullopt;
    }

    bool TakePublic(const Record& record)
    {
        if (record.kind != kPublic32)
            return true;
        const auto name = NameIn(record, kPublicName, "S_PUB32");
        if (!name)
            return false;
        const auto flags = Read<std::uint32_t>(record.bytes, kPublicFlags);
        Add(m_publics, *name, Read<std::uint16_t>(record.bytes, kPublicSegment),
            Read<std::uint32_t>(record.bytes, kPublicOffset), (flags & kPublicFunction) != 0);
        return true;
    }

    bool TakeProcedure(const Record& record)
    {
        if (record.kind != kGlobalProc32 && record.kind != kLocalProc32 &&
            record.kind != kGlobalProc32Id && record.kind != kLocalProc32Id)
            return true;
        const auto name = NameIn(record, kProcName, "procedure");
        if (!name)
            return false;
        Add(m_procedures, *name, Read<std::uint16_t>(record.bytes, kProcSegment),
            Read<std::uint32_t>(record.bytes, kProcOffset), true);
        return true;
    }

    // Adds the symbol at segment:offset if it names an address inside one of
    // the image's sections. As for the COFF symbol table, names beginning
    // with a dot (".refptr.X") are the linker's bookkeeping, not the driver's.
    void Add(std::vector<PeSymbol>& symbols, const std::string& name, std::uint16_t segment,
             std::uint32_t offset, bool function)
    {
        if (name.empty() || name[0] == '.' || segment == 0 || segment > m_sections.size())
            return;
        const PeSection& section = m_sections[segment - 1];
        if (offset >= section.virtualSize)
            return;
        symbols.push_back({name, section.virtualAddress + offset, function});
    }

    // The public symbols, and the procedures at addresses no public function
    // names (a public has the full mangled name; a procedure record only the
    // qualified one).
    std::vector<PeSymbol> Finish()
    {
        std::vector<std::uint32_t> named;
        for (const PeSymbol& symbol : m_publics)
        {
            if (symbol.function)
                named.push_back(symbol.rva);
        }
        std::sort(named.begin(), named.end());
        std::vector<PeSymbol> symbols = std::move(m_publics);
        for (PeSymbol& procedure : m_procedures)
        {
            if (std::binary_search(named.begin(), named.end(), procedure.rva))
                continue;
            named.insert(std::upper_bound(named.begin(), named.end(), procedure.rva),
                         procedure.rva);
            symbols.push_back(std::move(procedure));
        }
        std::sort(symbols.begin(), symbols.end(),
                  [](const PeSymbol& a, const PeSymbol& b)
                  { return a.rva != b.rva ? a.rva < b.rva : a.name < b.name; });
        return symbols;
    }

    MsfFile m_msf;
    const PeCodeView& m_record;
    std::span<const PeSection> m_sections;
    std::string m_error;
    std::vector<std::uint8_t> m_dbi;
    std::uint16_t m_symbolRecordStream = kNoStream;
    std::uint32_t m_moduleInfoSize = 0;
    std::vector<PeSymbol> m_publics;
    std::vector<PeSymbol> m_procedures;
};

} // namespace

PdbRead ReadPdbSymbols(std::span<const std::uint8_t> pdb, const PeCodeView& record,
                       std::span<const PeSection> sections)
{
    return Reader(pdb, record, sections).Run();
}

std::string PdbPathBeside(const std::string& imagePath, const std::string& recordedName)
{
    const std::size_t separator = recordedName.find_last_of("/\\");
    const std::string name =
        separator == std::string::npos ? recordedName : recordedName.substr(separator + 1);
    if (name.empty() || name == "." || name == "..")
        return {};
    const std::size_t slash = imagePath.find_last_of('/');
    return slash == std::string::npos ? name : imagePath.substr(0, slash + 1) + name;
}

} // namespace host::loader
