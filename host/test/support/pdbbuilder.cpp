#include "host/test/support/pdbbuilder.h"

#include <algorithm>
#include <cstring>

namespace nuvtest
{
namespace
{

constexpr char kMsfMagic[] = "Microsoft C/C++ MSF 7.00\r\n\x1a"
                             "DS\0\0";
constexpr std::uint32_t kNilStream = 0xFFFFFFFF;
constexpr std::size_t kModuleInfoFixedSize = 64; // up to the module's and object's names

template <class T> void Put(std::vector<std::uint8_t>& bytes, std::size_t offset, T value)
{
    if (bytes.size() < offset + sizeof(T))
        bytes.resize(offset + sizeof(T), 0);
    std::memcpy(bytes.data() + offset, &value, sizeof(T));
}

template <class T> void Append(std::vector<std::uint8_t>& bytes, T value)
{
    Put(bytes, bytes.size(), value);
}

void AppendText(std::vector<std::uint8_t>& bytes, const std::string& text)
{
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.push_back(0);
}

// A symbol record: its length (of what follows it, padded to four bytes as
// linkers pad them), its kind, its body.
void AppendRecord(std::vector<std::uint8_t>& stream, std::uint16_t kind,
                  const std::vector<std::uint8_t>& body)
{
    std::vector<std::uint8_t> record;
    Append<std::uint16_t>(record, 0);
    Append<std::uint16_t>(record, kind);
    record.insert(record.end(), body.begin(), body.end());
    while (record.size() % 4 != 0)
        record.push_back(0);
    Put<std::uint16_t>(record, 0, static_cast<std::uint16_t>(record.size() - 2));
    stream.insert(stream.end(), record.begin(), record.end());
}

std::vector<std::uint8_t> PublicRecord(const PdbBuilder::Public& symbol)
{
    std::vector<std::uint8_t> body;
    Append<std::uint32_t>(body, symbol.function ? 0x2 : 0x0);
    Append<std::uint32_t>(body, symbol.offset);
    Append<std::uint16_t>(body, symbol.segment);
    AppendText(body, symbol.name);
    return body;
}

std::vector<std::uint8_t> ProcedureRecord(const PdbBuilder::Procedure& procedure)
{
    std::vector<std::uint8_t> body;
    for (int field = 0; field < 7; ++field) // parent, end, next, size, debug start/end, type
        Append<std::uint32_t>(body, field == 3 ? 0x20 : 0);
    Append<std::uint32_t>(body, procedure.offset);
    Append<std::uint16_t>(body, procedure.segment);
    body.push_back(0); // flags
    AppendText(body, procedure.name);
    return body;
}

std::vector<std::uint8_t> InfoStream(const PdbBuilder& pdb)
{
    std::vector<std::uint8_t> stream;
    Append<std::uint32_t>(stream, 20000404); // version
    Append<std::uint32_t>(stream, 0x5EED5EED);
    Append<std::uint32_t>(stream, pdb.age);
    stream.insert(stream.end(), pdb.guid.begin(), pdb.guid.end());
    Append<std::uint32_t>(stream, 0); // an empty named stream map
    return stream;
}

std::vector<std::uint8_t> SymbolRecordStream(const PdbBuilder& pdb)
{
    std::vector<std::uint8_t> stream;
    // A global datum's record, which a reader of public symbols passes over.
    std::vector<std::uint8_t> datum;
    Append<std::uint32_t>(datum, 0x74); // type
    Append<std::uint32_t>(datum, 0);
    Append<std::uint16_t>(datum, 2);
    AppendText(datum, "GlobalDatum");
    AppendRecord(stream, 0x110D, datum); // S_GDATA32
    for (const PdbBuilder::Public& symbol : pdb.publics)
        AppendRecord(stream, 0x110E, PublicRecord(symbol));
    stream.insert(stream.end(), pdb.extraSymbolRecords.begin(), pdb.extraSymbolRecords.end());
    return stream;
}

// The C13 signature, the object's name, then each procedure and its end.
std::vector<std::uint8_t> ModuleStream(const std::vector<PdbBuilder::Procedure>& procedures)
{
    std::vector<std::uint8_t> stream;
    Append<std::uint32_t>(stream, 4);
    std::vector<std::uint8_t> object;
    Append<std::uint32_t>(object, 0);
    AppendText(object, "module.obj");
    AppendRecord(stream, 0x1101, object); // S_OBJNAME
    for (const PdbBuilder::Procedure& procedure : procedures)
    {
        AppendRecord(stream, procedure.global ? 0x1110 : 0x110F, ProcedureRecord(procedure));
        AppendRecord(stream, 0x0006, {}); // S_END
    }
    return stream;
}

std::vector<std::uint8_t> DbiStream(const PdbBuilder& pdb,
                                    const std::vector<std::vector<std::uint8_t>>& moduleStreams)
{
    std::vector<std::uint8_t> modules;
    for (std::size_t m = 0; m < moduleStreams.size(); ++m)
    {
        const std::size_t entry = modules.size();
        modules.resize(entry + kModuleInfoFixedSize, 0);
        Put<std::uint16_t>(modules, entry + 34,
                           static_cast<std::uint16_t>(PdbBuilder::kFirstModuleStream + m));
        Put<std::uint32_t>(modules, entry + 36,
                           static_cast<std::uint32_t>(moduleStreams[m].size()));
        AppendText(modules, "module" + std::to_string(m) + ".obj");
        AppendText(modules, "module" + std::to_string(m) + ".obj");
        while (modules.size() % 4 != 0)
            modules.push_back(0);
    }
    std::vector<std::uint8_t> stream(PdbBuilder::kDbiHeaderSize, 0);
    Put<std::int32_t>(stream, 0, -1);
    Put<std::uint32_t>(stream, 4, 19990903);
    Put<std::uint32_t>(stream, 8, pdb.age);
    Put<std::uint16_t>(stream, 12, 0xFFFF); // no globals stream
    Put<std::uint16_t>(stream, 16, 0xFFFF); // no publics hash stream
    Put<std::uint16_t>(stream, 20, static_cast<std::uint16_t>(PdbBuilder::kSymbolRecordStream));
    Put<std::int32_t>(stream, 24, static_cast<std::int32_t>(modules.size()));
    Put<std::uint16_t>(stream, 58, 0x8664); // machine: x64
    stream.insert(stream.end(), modules.begin(), modules.end());
    return stream;
}

} // namespace

std::vector<std::vector<std::uint8_t>> PdbBuilder::Streams() const
{
    std::vector<std::vector<std::uint8_t>> moduleStreams;
    for (const std::vector<Procedure>& procedures : modules)
        moduleStreams.push_back(ModuleStream(procedures));
    std::vector<std::vector<std::uint8_t>> streams(kFirstModuleStream);
    streams[kInfoStream] = InfoStream(*this);
    streams[kDbiStream] = DbiStream(*this, moduleStreams);
    streams[kSymbolRecordStream] = SymbolRecordStream(*this);
    streams.insert(streams.end(), moduleStreams.begin(), moduleStreams.end());
    return streams;
}

std::vector<std::uint8_t> PdbBuilder::Build() const
{
    return Assemble(Streams(), blockSize);
}

std::vector<std::uint8_t>
PdbBuilder::Assemble(const std::vector<std::vector<std::uint8_t>>& streams, std::uint32_t blockSize,
                     const std::function<void(std::vector<std::uint8_t>&)>& editDirectory)
{
    // Block 0: the superblock; 1 and 2: the free block maps (left empty).
    std::uint32_t next = 3;
    std::vector<std::vector<std::uint32_t>> blocks(streams.size());
    std::size_t rounds = 0;
    for (const auto& stream : streams)
        rounds = std::max(rounds, (stream.size() + blockSize - 1) / blockSize);
    for (std::size_t round = 0; round < rounds; ++round)
    {
        for (std::size_t s = 0; s < streams.size(); ++s)
        {
            if (round * blockSize < streams[s].size())
                blocks[s].push_back(next++);
        }
    }

    std::vector<std::uint8_t> directory;
    Append<std::uint32_t>(directory, static_cast<std::uint32_t>(streams.size()));
    for (const auto& stream : streams)
        Append<std::uint32_t>(
            directory, stream.empty() ? kNilStream : static_cast<std::uint32_t>(stream.size()));
    for (const auto& list : blocks)
    {
        for (std::uint32_t block : list)
            Append<std::uint32_t>(directory, block);
    }
    if (editDirectory)
        editDirectory(directory);
    std::vector<std::uint32_t> directoryBlocks;
    for (std::size_t at = 0; at < directory.size(); at += blockSize)
        directoryBlocks.push_back(next++);
    const std::uint32_t blockMap = next++;

    std::vector<std::uint8_t> file(std::size_t{next} * blockSize, 0);
    std::memcpy(file.data(), kMsfMagic, sizeof(kMsfMagic));
    Put<std::uint32_t>(file, 32, blockSize);
    Put<std::uint32_t>(file, 36, 1); // the free block map in use
    Put<std::uint32_t>(file, 40, next);
    Put<std::uint32_t>(file, 44, static_cast<std::uint32_t>(directory.size()));
    Put<std::uint32_t>(file, 52, blockMap);
    auto place =
        [&](const std::vector<std::uint8_t>& bytes, const std::vector<std::uint32_t>& where)
    {
        for (std::size_t i = 0; i < where.size(); ++i)
        {
            const std::size_t take = std::min<std::size_t>(blockSize, bytes.size() - i * blockSize);
            std::memcpy(file.data() + std::size_t{where[i]} * blockSize,
                        bytes.data() + i * blockSize, take);
        }
    };
    for (std::size_t s = 0; s < streams.size(); ++s)
        place(streams[s], blocks[s]);
    place(directory, directoryBlocks);
    for (std::size_t i = 0; i < directoryBlocks.size(); ++i)
        Put<std::uint32_t>(file, std::size_t{blockMap} * blockSize + 4 * i, directoryBlocks[i]);
    return file;
}

} // namespace nuvtest
