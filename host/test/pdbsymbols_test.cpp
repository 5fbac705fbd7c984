// The PDB reader (host/loader/pdbsymbols.h) on PDBs made in memory
// (host/test/support/pdbbuilder.h): what it reads and where it puts it, the PDB
// of another link, and damaged files, each refused with one line and
// without a read past the bytes given (the sanitizer builds run these too;
// every file is a buffer of exactly its size).
#include "host/loader/pdbsymbols.h"
#include "host/test/support/pdbbuilder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace
{

using host::loader::PdbRead;
using host::loader::PeCodeView;
using host::loader::PeSection;
using host::loader::PeSymbol;
using nuvtest::PdbBuilder;

// The image the PDBs describe: .text (section 1) and .data (section 2).
const std::vector<PeSection> kSections = {
    {".text", 0x1000, 0x800, 0x400, 0x800, true, false, true},
    {".data", 0x3000, 0x100, 0xC00, 0x200, true, true, false},
};

PeCodeView RecordOf(const PdbBuilder& pdb)
{
    return PeCodeView{pdb.guid, pdb.age, "test.pdb"};
}

PdbRead Read(const std::vector<std::uint8_t>& bytes, const PeCodeView& record)
{
    return host::loader::ReadPdbSymbols(bytes, record, kSections);
}

PdbRead Read(const PdbBuilder& pdb)
{
    return Read(pdb.Build(), RecordOf(pdb));
}

std::string Describe(const std::vector<PeSymbol>& symbols)
{
    std::string text;
    for (const PeSymbol& symbol : symbols)
    {
        char line[64];
        std::snprintf(line, sizeof(line), "%#x %s ", symbol.rva, symbol.function ? "f" : "d");
        text += line + symbol.name + "\n";
    }
    return text;
}

template <class T> void Put(std::vector<std::uint8_t>& bytes, std::size_t offset, T value)
{
    ASSERT_LE(offset + sizeof(T), bytes.size());
    std::memcpy(bytes.data() + offset, &value, sizeof(T));
}

TEST(PdbSymbols, ReadsThePublicSymbolsAndTheProceduresNoPublicNames)
{
    PdbBuilder pdb;
    pdb.publics = {{"_Z7ServicePv", 1, 0x10, true},
                   {"ThePinTable", 2, 0x8, false},
                   {"DriverEntry", 1, 0x0, true}};
    // Service's procedure record is at its public's address and adds
    // nothing; Render16 is static, named only by its procedure record.
    pdb.modules = {{{"Service", 1, 0x10, true}}, {{"Render16", 1, 0x40, false}}};
    const PdbRead read = Read(pdb);
    ASSERT_TRUE(read.symbols) << read.error;
    EXPECT_EQ(Describe(*read.symbols), "0x1000 f DriverEntry\n"
                                       "0x1010 f _Z7ServicePv\n"
                                       "0x1040 f Render16\n"
                                       "0x3008 d ThePinTable\n");
}

TEST(PdbSymbols, FollowsEachStreamThroughItsOwnBlocks)
{
    // Enough symbols for the symbol record stream and one module's stream to
    // take several blocks each, interleaved with the other streams' blocks.
    PdbBuilder pdb;
    std::string expected;
    for (std::uint32_t i = 0; i < 60; ++i)
    {
        const std::string name = "PublicFunctionNumber" + std::to_string(i);
        pdb.publics.push_back({name, 1, 0x400 + 8 * i, true});
    }
    pdb.modules.resize(1);
    for (std::uint32_t i = 0; i < 40; ++i)
        pdb.modules[0].push_back({"StaticFunction" + std::to_string(i), 1, 4 * i, false});
    const std::vector<std::uint8_t> bytes = pdb.Build();
    ASSERT_GT(pdb.Streams()[PdbBuilder::kSymbolRecordStream].size(), 3 * pdb.blockSize);
    ASSERT_GT(pdb.Streams()[PdbBuilder::kFirstModuleStream].size(), 3 * pdb.blockSize);

    const PdbRead read = Read(bytes, RecordOf(pdb));
    ASSERT_TRUE(read.symbols) << read.error;
    ASSERT_EQ(read.symbols->size(), 100u);
    for (std::uint32_t i = 0; i < 40; ++i)
    {
        EXPECT_EQ((*read.symbols)[i].name, "StaticFunction" + std::to_string(i));
        EXPECT_EQ((*read.symbols)[i].rva, 0x1000 + 4 * i);
    }
    for (std::uint32_t i = 0; i < 60; ++i)
    {
        EXPECT_EQ((*read.symbols)[40 + i].name, "PublicFunctionNumber" + std::to_string(i));
        EXPECT_EQ((*read.symbols)[40 + i].rva, 0x1400 + 8 * i);
    }
}

TEST(PdbSymbols, LeavesOutBookkeepingAndWhatNoSectionHolds)
{
    PdbBuilder pdb;
    pdb.publics = {{".refptr.IID_IUnknown", 2, 0x10, false},
                   {"AbsoluteSymbol", 0, 0x1234, false},
                   {"InNoSection", 3, 0x0, true},
                   {"PastItsSection", 2, 0x100, false},
                   {"LastByteOfData", 2, 0xFF, false}};
    pdb.modules = {{{"PastText", 1, 0x800, false}}};
    const PdbRead read = Read(pdb);
    ASSERT_TRUE(read.symbols) << read.error;
    EXPECT_EQ(Describe(*read.symbols), "0x30ff d LastByteOfData\n");
}

TEST(PdbSymbols, RefusesThePdbOfAnotherLink)
{
    PdbBuilder pdb;
    pdb.publics = {{"DriverEntry", 1, 0, true}};
    PeCodeView otherGuid = RecordOf(pdb);
    otherGuid.guid[15] ^= 1;
    PdbRead read = Read(pdb.Build(), otherGuid);
    EXPECT_FALSE(read.symbols);
    EXPECT_EQ(read.error,
              "not the PDB of this image (image: {229FB0A8-C552-C337-4C4C-44205044422F} "
              "age 1; PDB: {229FB0A8-C552-C337-4C4C-44205044422E} age 1)");

    PeCodeView otherAge = RecordOf(pdb);
    otherAge.age = 2;
    read = Read(pdb.Build(), otherAge);
    EXPECT_FALSE(read.symbols);
    EXPECT_NE(read.error.find("(image: {229FB0A8-C552-C337-4C4C-44205044422E} age 2; PDB: "
                              "{229FB0A8-C552-C337-4C4C-44205044422E} age 1)"),
              std::string::npos)
        << read.error;
}

TEST(PdbSymbols, IsLookedForBesideTheImageUnderTheFileNameItsRecordGives)
{
    using host::loader::PdbPathBeside;
    EXPECT_EQ(PdbPathBeside("build/windows/nuvaudio.sys", "nuvaudio.pdb"),
              "build/windows/nuvaudio.pdb");
    EXPECT_EQ(PdbPathBeside("/abs/nuvaudio.sys", "C:\\build\\x64\\nuvaudio.pdb"),
              "/abs/nuvaudio.pdb");
    EXPECT_EQ(PdbPathBeside("/abs/nuvaudio.sys", "/home/build/windows/other.pdb"),
              "/abs/other.pdb");
    EXPECT_EQ(PdbPathBeside("nuvaudio.sys", "nuvaudio.pdb"), "nuvaudio.pdb");
    EXPECT_EQ(PdbPathBeside("/abs/nuvaudio.sys", ""), "");
    EXPECT_EQ(PdbPathBeside("/abs/nuvaudio.sys", "C:\\build\\"), "");
    EXPECT_EQ(PdbPathBeside("/abs/nuvaudio.sys", ".."), "");
}

// --- damaged files --------------------------------------------------------------------

struct Damage
{
    const char* name;
    std::function<std::vector<std::uint8_t>()> file;
    const char* message; // what the error must say
};

void PrintTo(const Damage& damage, std::ostream* out)
{
    *out << damage.name;
}

// The PDB every damage starts from: publics in the symbol record stream,
// two modules with procedures.
PdbBuilder Sample()
{
    PdbBuilder pdb;
    pdb.publics = {{"DriverEntry", 1, 0, true}, {"_Z7ServicePv", 1, 0x10, true}};
    pdb.modules = {{{"Render16", 1, 0x40, false}}, {{"Capture16", 1, 0x80, false}}};
    return pdb;
}

// The sample's file with its bytes changed.
std::function<std::vector<std::uint8_t>()>
File(std::function<void(std::vector<std::uint8_t>&)> edit)
{
    return [edit]
    {
        std::vector<std::uint8_t> bytes = Sample().Build();
        edit(bytes);
        return bytes;
    };
}

// The sample with one stream changed.
std::function<std::vector<std::uint8_t>()>
Streams(std::function<void(std::vector<std::vector<std::uint8_t>>&)> edit)
{
    return [edit]
    {
        const PdbBuilder pdb = Sample();
        std::vector<std::vector<std::uint8_t>> streams = pdb.Streams();
        edit(streams);
        return PdbBuilder::Assemble(streams, pdb.blockSize);
    };
}

// The sample with its stream directory changed: `count` streams, their
// sizes from offset 4, then their block lists.
std::function<std::vector<std::uint8_t>()>
Directory(std::function<void(std::vector<std::uint8_t>&)> edit)
{
    return [edit]
    {
        const PdbBuilder pdb = Sample();
        return PdbBuilder::Assemble(pdb.Streams(), pdb.blockSize, edit);
    };
}

// The offset of stream `index`'s first block number in the directory.
std::size_t FirstBlockEntry(const std::vector<std::uint8_t>& directory, std::uint32_t index)
{
    std::uint32_t count;
    std::memcpy(&count, directory.data(), 4);
    std::size_t offset = 4 + 4 * std::size_t{count};
    for (std::uint32_t s = 0; s < index; ++s)
    {
        std::uint32_t size;
        std::memcpy(&size, directory.data() + 4 + 4 * s, 4);
        if (size != 0xFFFFFFFF)
            offset += 4 * ((size + 511) / 512);
    }
    return offset;
}

constexpr std::size_t kModuleInfo = PdbBuilder::kDbiHeaderSize; // the first module's entry

std::vector<std::uint8_t> Text(const std::string& text)
{
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

class PdbRefusal : public ::testing::TestWithParam<Damage>
{
};

TEST_P(PdbRefusal, NamesTheProblemInOneLine)
{
    const std::vector<std::uint8_t> bytes = GetParam().file();
    const PdbRead read = Read(bytes, RecordOf(Sample()));
    EXPECT_FALSE(read.symbols) << Describe(read.symbols.value_or(std::vector<PeSymbol>{}));
    EXPECT_NE(read.error.find(GetParam().message), std::string::npos) << read.error;
    EXPECT_EQ(read.error.find('\n'), std::string::npos) << read.error;
}

const std::vector<Damage> kDamages = {

    Damage{"Text", [] { return Text(std::string(600, 'x')); }, "not a PDB: no MSF 7.00 signature"},
    Damage{"TooShort", [] { return Text("Microsoft C/C++ MSF 7.00"); },
           "not a PDB: 24 bytes, too short for an MSF header"},
    Damage{"BlockSize", File([](auto& bytes) { Put<std::uint32_t>(bytes, 32, 1000); }),
           "corrupt: block size 1000"},
    Damage{"Truncated", File([](auto& bytes) { bytes.resize(bytes.size() - 1); }),
           "truncated: its header gives"},
    Damage{"NoBlocks", File([](auto& bytes) { Put<std::uint32_t>(bytes, 40, 0); }),
           "corrupt: its header gives 0 blocks"},
    Damage{"HugeDirectory", File([](auto& bytes) { Put<std::uint32_t>(bytes, 44, 0x10000000); }),
           "corrupt: a stream directory of 268435456 bytes"},
    Damage{"BlockMapPastTheFile", File([](auto& bytes) { Put<std::uint32_t>(bytes, 52, 5000); }),
           "corrupt: block 5000 of the block map lies past the file's"},
    Damage{"BlockMapOnTheSuperblock", File([](auto& bytes) { Put<std::uint32_t>(bytes, 52, 0); }),
           "corrupt: block 0 of the block map is used twice"},
    Damage{"TooManyStreams",
           Directory([](auto& directory) { Put<std::uint32_t>(directory, 0, 0x40000000); }),
           "corrupt: 1073741824 streams do not fit in a stream directory of"},
    Damage{"StreamLargerThanTheFile",
           Directory([](auto& directory) { Put<std::uint32_t>(directory, 4 + 4 * 3, 0x7FFFFFFF); }),
           "corrupt: stream 3 of 2147483647 bytes is larger than the file"},
    Damage{"DirectoryEndsInsideABlockList",
           Directory(
               [](auto& directory)
               {
                   // The last stream (the second module's) grows by
                   // three blocks that the directory does not list.
                   std::uint32_t size;
                   std::memcpy(&size, directory.data() + 4 + 4 * 7, 4);
                   Put<std::uint32_t>(directory, 4 + 4 * 7, size + 3 * 512);
               }),
           "corrupt: the stream directory ends inside the block list of stream 7"},
    Damage{"StreamBlockPastTheFile",
           Directory([](auto& directory)
                     { Put<std::uint32_t>(directory, FirstBlockEntry(directory, 5), 77777); }),
           "corrupt: block 77777 of stream 5 lies past the file's"},
    Damage{"BlockOfTwoStreams",
           Directory(
               [](auto& directory)
               {
                   std::uint32_t dbiBlock;
                   std::memcpy(&dbiBlock, directory.data() + FirstBlockEntry(directory, 3), 4);
                   Put<std::uint32_t>(directory, FirstBlockEntry(directory, 5), dbiBlock);
               }),
           "of stream 5 is used twice"},
    Damage{"NoDbiStream", Streams([](auto& streams) { streams.resize(3); }),
           "corrupt: 3 streams, too few for a PDB (no DBI stream)"},
    Damage{"ShortInfoStream",
           Streams([](auto& streams) { streams[PdbBuilder::kInfoStream].resize(20); }),
           "corrupt: a PDB info stream of 20 bytes"},
    Damage{"ShortDbiHeader",
           Streams([](auto& streams) { streams[PdbBuilder::kDbiStream].resize(63); }),
           "corrupt: no DBI stream header (63 bytes)"},
    Damage{"DbiOfAnotherFormat",
           Streams([](auto& streams) { Put<std::int32_t>(streams[PdbBuilder::kDbiStream], 0, 0); }),
           "corrupt: no DBI stream header"},
    Damage{"ModuleInformationPastTheDbiStream",
           Streams([](auto& streams)
                   { Put<std::int32_t>(streams[PdbBuilder::kDbiStream], 24, 4000); }),
           "corrupt: module information of 4000 bytes runs past the DBI stream"},
    Damage{
        "NegativeModuleInformation",
        Streams([](auto& streams) { Put<std::int32_t>(streams[PdbBuilder::kDbiStream], 24, -64); }),
        "corrupt: module information of -64 bytes"},
    Damage{
        "ModuleInformationCutShort",
        Streams([](auto& streams) { Put<std::int32_t>(streams[PdbBuilder::kDbiStream], 24, 60); }),
        "corrupt: the information of module 0 runs past its substream"},
    Damage{"UnterminatedModuleName",
           Streams(
               [](auto& streams)
               {
                   // The first module's entry ends at its names.
                   Put<std::int32_t>(streams[PdbBuilder::kDbiStream], 24, 64 + 5);
               }),
           "corrupt: the names of module 0 are not terminated inside its substream"},
    Damage{
        "SymbolRecordStreamMissing",
        Streams([](auto& streams) { Put<std::uint16_t>(streams[PdbBuilder::kDbiStream], 20, 99); }),
        "corrupt: the symbol record stream 99 does not exist"},
    Damage{"ModuleStreamMissing",
           Streams([](auto& streams)
                   { Put<std::uint16_t>(streams[PdbBuilder::kDbiStream], kModuleInfo + 34, 300); }),
           "corrupt: the symbol stream 300 of module 0 does not exist"},
    Damage{"ModuleReadingTheDbiStream",
           Streams([](auto& streams)
                   { Put<std::uint16_t>(streams[PdbBuilder::kDbiStream], kModuleInfo + 34, 3); }),
           "corrupt: the symbol stream 3 of module 0 is read already"},
    Damage{
        "ModuleSymbolsPastTheirStream",
        Streams([](auto& streams)
                { Put<std::uint32_t>(streams[PdbBuilder::kDbiStream], kModuleInfo + 36, 5000); }),
        "corrupt: the symbols of module 0 (5000 bytes) do not fit in stream 6"},
    Damage{"ModuleWithoutC13Signature",
           Streams([](auto& streams)
                   { Put<std::uint32_t>(streams[PdbBuilder::kFirstModuleStream], 0, 2); }),
           "corrupt: the symbols of module 0 do not start with the CodeView C13 signature"},
    Damage{"RecordPastItsStream",
           []
           {
               PdbBuilder pdb = Sample();
               pdb.extraSymbolRecords = {0xF0, 0x00, 0x0E, 0x11, 0, 0, 0, 0};
               return pdb.Build();
           },
           "corrupt: a record of 240 bytes at 0x"},
    Damage{"RecordTooShortForItsLength",
           []
           {
               PdbBuilder pdb = Sample();
               pdb.extraSymbolRecords = {0x01, 0x00, 0x0E, 0x00};
               return pdb.Build();
           },
           "corrupt: a record of 1 bytes at 0x"},
    Damage{"StreamEndsInsideARecordHeader",
           []
           {
               PdbBuilder pdb = Sample();
               pdb.extraSymbolRecords = {0x08, 0x00};
               return pdb.Build();
           },
           "corrupt: the symbol record stream ends inside a record header at 0x"},
    Damage{"PublicTooShortForItsFields",
           []
           {
               PdbBuilder pdb = Sample();
               pdb.extraSymbolRecords = {0x0A, 0x00, 0x0E, 0x11, 2, 0, 0, 0, 0, 0, 0, 0};
               return pdb.Build();
           },
           "corrupt: the S_PUB32 record at 0x"},
    Damage{"PublicNameNotTerminated",
           []
           {
               PdbBuilder pdb = Sample();
               pdb.extraSymbolRecords = {0x0E, 0x00, 0x0E, 0x11, 2, 0, 0,   0,
                                         0,    0,    0,    0,    1, 0, 'A', 'B'};
               return pdb.Build();
           },
           "(16 bytes) has a name not terminated inside it"},
    Damage{"ProcedureNameNotTerminated",
           Streams(
               [](auto& streams)
               {
                   // The first module's procedure record: its last
                   // byte, the name's terminator or padding, and the
                   // padding before it filled.
                   auto& moduleStream = streams[PdbBuilder::kFirstModuleStream];
                   const std::size_t procedure = 4 + 20; // after S_OBJNAME
                   std::uint16_t length;
                   std::memcpy(&length, moduleStream.data() + procedure, 2);
                   for (std::size_t i = procedure + 39; i < procedure + 2 + length; ++i)
                       moduleStream[i] = 'x';
               }),
           "corrupt: the procedure record at 0x18"}};

INSTANTIATE_TEST_SUITE_P(Reader, PdbRefusal, ::testing::ValuesIn(kDamages),

                         [](const ::testing::TestParamInfo<Damage>& info)
                         { return std::string(info.param.name); });

// --- every truncation and every damaged byte --------------------------------------------
// The oracle: a file is refused with one line, or read into symbols that all
// lie inside the image's sections. Each file is a buffer of exactly its
// size, so that the sanitizer builds catch a read past it.

::testing::AssertionResult RefusedOrInsideTheImage(const PdbRead& read)
{
    if (!read.symbols)
    {
        if (read.error.empty() || read.error.find('\n') != std::string::npos)
            return ::testing::AssertionFailure() << "refused with \"" << read.error << "\"";
        return ::testing::AssertionSuccess();
    }
    for (const PeSymbol& symbol : *read.symbols)
    {
        bool inside = false;
        for (const PeSection& section : kSections)
            inside = inside || (symbol.rva >= section.virtualAddress &&
                                symbol.rva < section.virtualAddress + section.virtualSize);
        if (!inside)
            return ::testing::AssertionFailure()
                   << symbol.name << " at " << symbol.rva << " lies in no section";
    }
    return ::testing::AssertionSuccess();
}

TEST(PdbSymbols, TruncatedAnywhereIsRefused)
{
    const PdbBuilder pdb = Sample();
    const std::vector<std::uint8_t> whole = pdb.Build();
    for (std::size_t size = 0; size < whole.size(); ++size)
    {
        SCOPED_TRACE(size);
        const std::vector<std::uint8_t> cut(whole.begin(), whole.begin() + size);
        const PdbRead read = Read(cut, RecordOf(pdb));
        ASSERT_FALSE(read.symbols);
        ASSERT_TRUE(RefusedOrInsideTheImage(read));
    }
}

TEST(PdbSymbols, AnyByteDamagedIsRefusedOrReadInsideTheImage)
{
    const PdbBuilder pdb = Sample();
    const std::vector<std::uint8_t> whole = pdb.Build();
    std::size_t refused = 0, read = 0;
    for (std::size_t at = 0; at < whole.size(); ++at)
    {
        for (std::uint8_t change : {0x01, 0x80, 0xFF})
        {
            SCOPED_TRACE(testing::Message() << "byte " << at << " ^ " << int(change));
            std::vector<std::uint8_t> damaged = whole;
            damaged[at] ^= change;
            const PdbRead result = Read(damaged, RecordOf(pdb));
            ASSERT_TRUE(RefusedOrInsideTheImage(result));
            ++(result.symbols ? read : refused);
        }
    }
    // Both outcomes occur: most bytes are padding or names, a few are the
    // structure.
    EXPECT_GT(refused, 30u);
    EXPECT_GT(read, 30u);
}

} // namespace
