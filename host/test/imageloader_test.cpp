// The image loader (host/loader) on images made for each case
// (host/test/support/pebuilder.h, with PDBs from host/test/support/pdbbuilder.h):
// what it maps, moves, binds and names, where it finds the names, what it
// refuses and with which message; and nuvaudio.sys itself, with its PDB and
// the test images of the Windows build, when that build has made them.
#include "host/kernel/addressnames.h"
#include "host/kernel/conduct.h"
#include "host/kernel/guidstring.h"
#include "host/kernel/pool.h"
#include "host/loader/hostexports.h"
#include "host/loader/loadedimage.h"
#include "host/loader/pdbsymbols.h"
#include "host/test/support/pdbbuilder.h"
#include "host/test/support/pebuilder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

using host::loader::LoadedImage;
using nuvtest::PeBuilder;

constexpr std::uint16_t kDir64 = 10;

std::unique_ptr<LoadedImage> Load(const PeBuilder& pe, std::string& error)
{
    return LoadedImage::FromBytes(pe.Build(), "test.sys", error);
}

// mov eax, value; ret
std::vector<std::uint8_t> ReturnConstant(std::uint32_t value)
{
    std::vector<std::uint8_t> code = {0xB8, 0, 0, 0, 0, 0xC3};
    std::memcpy(code.data() + 1, &value, sizeof(value));
    return code;
}

// jmp qword ptr [rip + slot]: a tail call through an import address table
// entry, from the first byte of .text.
std::vector<std::uint8_t> JumpThroughSlot(std::uint32_t slotRva)
{
    const std::int32_t displacement =
        static_cast<std::int32_t>(slotRva - (PeBuilder::kTextRva + 6));
    std::vector<std::uint8_t> code = {0xFF, 0x25, 0, 0, 0, 0};
    std::memcpy(code.data() + 2, &displacement, sizeof(displacement));
    return code;
}

std::uint64_t Read64(const LoadedImage& image, std::uint32_t rva)
{
    std::uint64_t value;
    std::memcpy(&value, static_cast<const unsigned char*>(image.Base()) + rva, sizeof(value));
    return value;
}

std::uintptr_t At(const LoadedImage& image, std::uint32_t rva)
{
    return reinterpret_cast<std::uintptr_t>(image.Base()) + rva;
}

// The permissions /proc/self/maps shows for the page at `address` ("r-x").
std::string PagePermissions(std::uintptr_t address)
{
    std::ifstream maps("/proc/self/maps");
    std::string line;
    while (std::getline(maps, line))
    {
        std::istringstream fields(line);
        std::string range, permissions;
        fields >> range >> permissions;
        const std::size_t dash = range.find('-');
        const std::uintptr_t begin = std::stoull(range.substr(0, dash), nullptr, 16);
        const std::uintptr_t end = std::stoull(range.substr(dash + 1), nullptr, 16);
        if (address >= begin && address < end)
            return permissions.substr(0, 3);
    }
    return "unmapped";
}

TEST(LoadedImage, RunsItsEntryPointWhereItLanded)
{
    PeBuilder pe;
    pe.code = ReturnConstant(0x1234);
    std::string error;
    auto image = Load(pe, error);
    ASSERT_NE(image, nullptr) << error;
    EXPECT_EQ(image->DriverEntry()(nullptr, nullptr), 0x1234);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(image->DriverEntry()),
              At(*image, PeBuilder::kTextRva));
    EXPECT_NE(image->RelocationDelta(), 0) << "an mmap at the linked base would prove nothing";
}

TEST(LoadedImage, MovesEveryDir64AddressByTheImagesDelta)
{
    // Two linked addresses in .data: the entry point and the second word.
    PeBuilder pe;
    pe.data.assign(24, 0);
    const std::uint64_t linked[] = {PeBuilder::kImageBase + PeBuilder::kTextRva,
                                    PeBuilder::kImageBase + PeBuilder::kDataRva + 8,
                                    0x1122334455667788ull};
    std::memcpy(pe.data.data(), linked, sizeof(linked));
    pe.relocations = {{kDir64, PeBuilder::kDataRva}, {kDir64, PeBuilder::kDataRva + 8}};
    std::string error;
    auto image = Load(pe, error);
    ASSERT_NE(image, nullptr) << error;
    EXPECT_EQ(Read64(*image, PeBuilder::kDataRva), At(*image, PeBuilder::kTextRva));
    EXPECT_EQ(Read64(*image, PeBuilder::kDataRva + 8), At(*image, PeBuilder::kDataRva + 8));
    EXPECT_EQ(Read64(*image, PeBuilder::kDataRva + 16), 0x1122334455667788ull)
        << "a word no relocation names stays as linked";
}

TEST(LoadedImage, BindsImportsByModuleAndNameToTheHostsRoutines)
{
    // The entry point jumps to whatever memset was bound to: the host's, in
    // the Windows convention, so a Windows-convention call of the entry
    // point is a call of memset.
    PeBuilder pe;
    pe.imports = {{"ntoskrnl.exe", "ExFreePool", std::nullopt},
                  {"NTOSKRNL.EXE", "memset", std::nullopt},
                  {"portcls.sys", "PcNewPort", std::nullopt}};
    pe.code = JumpThroughSlot(pe.ImportSlotRva(1));
    std::string error;
    auto image = Load(pe, error);
    ASSERT_NE(image, nullptr) << error;

    ASSERT_EQ(image->Imports().size(), 3u);
    for (std::size_t i = 0; i < pe.imports.size(); ++i)
    {
        SCOPED_TRACE(pe.imports[i].name);
        const void* host = host::loader::FindHostExport(pe.imports[i].module, pe.imports[i].name);
        ASSERT_NE(host, nullptr);
        EXPECT_EQ(image->Imports()[i].address, host);
        EXPECT_EQ(Read64(*image, pe.ImportSlotRva(i)), reinterpret_cast<std::uintptr_t>(host));
    }

    using Memset = void*(NTAPI_CONVENTION*)(void*, int, std::size_t);
    auto memsetThroughImage =
        reinterpret_cast<Memset>(reinterpret_cast<std::uintptr_t>(image->DriverEntry()));
    unsigned char buffer[8] = {};
    EXPECT_EQ(memsetThroughImage(buffer, 0x5A, 7), buffer);
    EXPECT_EQ(std::vector<unsigned char>(buffer, buffer + 8),
              (std::vector<unsigned char>{0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0x5A, 0}));
}

TEST(LoadedImage, ProtectsEachSectionAsItsHeaderAsksAndNothingElse)
{
    PeBuilder pe;
    pe.relocations = {{kDir64, PeBuilder::kDataRva}};
    std::string error;
    auto image = Load(pe, error);
    ASSERT_NE(image, nullptr) << error;
    EXPECT_EQ(PagePermissions(At(*image, 0)), "r--") << "headers";
    EXPECT_EQ(PagePermissions(At(*image, PeBuilder::kTextRva)), "r-x");
    EXPECT_EQ(PagePermissions(At(*image, PeBuilder::kDataRva)), "rw-");
    EXPECT_EQ(PagePermissions(At(*image, PeBuilder::kImportRva)), "rw-");
    EXPECT_EQ(PagePermissions(At(*image, PeBuilder::kRelocationRva)), "r--");

    pe.imports.clear();
    pe.relocations.clear();
    auto gaps = Load(pe, error);
    ASSERT_NE(gaps, nullptr) << error;
    EXPECT_EQ(PagePermissions(At(*gaps, PeBuilder::kImportRva)), "---") << "no section there";
}

TEST(LoadedImage, NamesItsAddressesWithItsSymbols)
{
    PeBuilder pe;
    pe.code = {0x90, 0x90, 0x90, 0xC3, 0xC3};
    pe.symbols = {
        {"_Z7ServicePv", 1, 0, true}, {"Finish", 1, 4, true}, {"ThePinTable", 2, 8, false}};
    std::string error;
    auto image = Load(pe, error);
    ASSERT_NE(image, nullptr) << error;
    const auto address = [&](std::uint32_t rva)
    { return reinterpret_cast<const void*>(At(*image, rva)); };

    EXPECT_EQ(image->NameOf(address(PeBuilder::kTextRva + 3)), "test.sys!Service(void*)+0x3");
    EXPECT_EQ(image->NameOf(address(PeBuilder::kTextRva + 4)), "test.sys!Finish");
    EXPECT_EQ(image->NameOf(address(PeBuilder::kDataRva + 12)), "test.sys!ThePinTable+0x4");
    EXPECT_EQ(image->NameOf(address(0x10)), "test.sys+0x10") << "before any symbol";
    EXPECT_EQ(image->NameOf(&pe), "") << "not in the image";

    EXPECT_EQ(image->FindFunction("Service"), address(PeBuilder::kTextRva));
    EXPECT_EQ(image->FindFunction("Finish"), address(PeBuilder::kTextRva + 4));
    EXPECT_EQ(image->FindFunction("ThePinTable"), nullptr) << "data, not a function";
    EXPECT_EQ(image->FindFunction("Serv"), nullptr);

    // The host's reports name it too, while the image is there.
    const void* table = address(PeBuilder::kDataRva + 8);
    EXPECT_NE(host::DescribeAddress(table).find("(test.sys!ThePinTable)"), std::string::npos);
    image.reset();
    EXPECT_EQ(host::NameAddress(table), "");
}

TEST(LoadedImage, IsNamedInTheHostsReportsAsTheCallerOfAnAllocation)
{
    // Allocator: sub rsp, 40; call [rip + slot of ExAllocatePoolWithTag];
    // add rsp, 40; ret. The call returns to offset 0xa.
    PeBuilder pe;
    pe.imports = {{"ntoskrnl.exe", "ExAllocatePoolWithTag", std::nullopt}};
    const std::int32_t displacement =
        static_cast<std::int32_t>(pe.ImportSlotRva(0) - (PeBuilder::kTextRva + 10));
    pe.code = {0x48, 0x83, 0xEC, 0x28, 0xFF, 0x15, 0, 0, 0, 0, 0x48, 0x83, 0xC4, 0x28, 0xC3};
    std::memcpy(pe.code.data() + 6, &displacement, sizeof(displacement));
    pe.symbols = {{"Allocator", 1, 0, true}};
    std::string error;
    auto image = Load(pe, error);
    ASSERT_NE(image, nullptr) << error;

    using Allocate = PVOID(NTAPI_CONVENTION*)(POOL_TYPE, SIZE_T, ULONG);
    auto allocate =
        reinterpret_cast<Allocate>(reinterpret_cast<std::uintptr_t>(image->DriverEntry()));
    host::Pool().Reset();
    PVOID block = allocate(NonPagedPoolNx, 32, host::Tag("Imag"));
    ASSERT_NE(block, nullptr);
    host::ViolationCapture capture;
    EXPECT_EQ(host::Pool().ReportLeaks({host::Tag("Imag")}), 1u);
    EXPECT_TRUE(
        capture.Contains(host::ViolationKind::PoolLeak, "allocated by test.sys!Allocator+0xa)"));
    ExFreePool(block);
}

TEST(LoadedImage, WithoutASymbolTableOrAPdbNamesAddressesByOffset)
{
    PeBuilder pe;
    pe.withSymbolTable = false;
    std::string error;
    auto image = Load(pe, error);
    ASSERT_NE(image, nullptr) << error;
    EXPECT_FALSE(image->HasSymbols());
    EXPECT_EQ(image->SymbolStatus(),
              "no symbols: no COFF symbol table, and no debug record naming a PDB");
    EXPECT_EQ(image->FindFunction("DriverEntry"), nullptr);
    EXPECT_EQ(image->NameOf(reinterpret_cast<const void*>(At(*image, 0x1002))), "test.sys+0x1002");
}

// --- symbols from a PDB ----------------------------------------------------------------

// A folder of the test's own for an image and its PDB, removed afterwards.
class ImageFolder
{
public:
    ImageFolder()
        : m_path(std::filesystem::temp_directory_path() /
                 ("nuv-loader-" + std::to_string(getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name()))
    {
        std::filesystem::remove_all(m_path);
        std::filesystem::create_directories(m_path);
    }
    ~ImageFolder() { std::filesystem::remove_all(m_path); }

    std::string Path(const std::string& name) const { return (m_path / name).string(); }
    std::string Write(const std::string& name, const std::vector<std::uint8_t>& bytes) const
    {
        std::ofstream file(Path(name), std::ios::binary);
        file.write(reinterpret_cast<const char*>(bytes.data()),
                   static_cast<std::streamsize>(bytes.size()));
        return Path(name);
    }
    void Copy(const std::string& from, const std::string& name) const
    {
        std::filesystem::copy_file(from, Path(name));
    }

private:
    std::filesystem::path m_path;
};

// An image without a symbol table whose debug record names `pdbName`, the
// PDB of `pdb`'s link; its code: nop, nop, nop, ret, ret.
PeBuilder ImageOfPdb(const nuvtest::PdbBuilder& pdb, const std::string& pdbName)
{
    PeBuilder pe;
    pe.code = {0x90, 0x90, 0x90, 0xC3, 0xC3};
    pe.withSymbolTable = false;
    pe.codeView = PeBuilder::CodeView{pdb.guid, pdb.age, pdbName, std::nullopt};
    return pe;
}

nuvtest::PdbBuilder PdbOfTheImage()
{
    nuvtest::PdbBuilder pdb;
    pdb.publics = {{"_Z7ServicePv", 1, 0, true}, {"ThePinTable", 2, 8, false}};
    pdb.modules = {{{"Service", 1, 0, true}, {"Finish", 1, 4, false}}};
    return pdb;
}

TEST(LoadedImage, TakesItsSymbolsFromThePdbItsDebugRecordNamesBesideIt)
{
    // The record holds the linking machine's path; only the file name counts.
    const nuvtest::PdbBuilder pdb = PdbOfTheImage();
    ImageFolder folder;
    const std::string path =
        folder.Write("test.sys", ImageOfPdb(pdb, "C:\\build\\x64\\test.pdb").Build());
    folder.Write("test.pdb", pdb.Build());
    std::string error;
    auto image = LoadedImage::Load(path, error);
    ASSERT_NE(image, nullptr) << error;
    const auto address = [&](std::uint32_t rva)
    { return reinterpret_cast<const void*>(At(*image, rva)); };

    EXPECT_TRUE(image->HasSymbols());
    EXPECT_EQ(image->SymbolStatus(), "symbols from its PDB " + folder.Path("test.pdb") + " (3)");
    EXPECT_EQ(image->NameOf(address(PeBuilder::kTextRva + 3)), "test.sys!Service(void*)+0x3");
    EXPECT_EQ(image->NameOf(address(PeBuilder::kTextRva + 4)), "test.sys!Finish")
        << "a static function, named by its procedure record only";
    EXPECT_EQ(image->NameOf(address(PeBuilder::kDataRva + 12)), "test.sys!ThePinTable+0x4");
    EXPECT_EQ(image->FindFunction("Service"), address(PeBuilder::kTextRva));
    EXPECT_EQ(image->FindFunction("Finish"), address(PeBuilder::kTextRva + 4));
    EXPECT_EQ(image->FindFunction("ThePinTable"), nullptr) << "data, not a function";
}

TEST(ImageFaultDeathTest, IsReportedWithTheFunctionItsPdbNames)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    nuvtest::PdbBuilder pdb;
    pdb.publics = {{"_Z4Trapv", 1, 0, true}};
    PeBuilder pe = ImageOfPdb(pdb, "test.pdb");
    pe.code = {0x90, 0x0F, 0x0B}; // nop; ud2
    ImageFolder folder;
    const std::string path = folder.Write("test.sys", pe.Build());
    folder.Write("test.pdb", pdb.Build());
    EXPECT_DEATH(
        {
            std::string error;
            auto image = LoadedImage::Load(path, error);
            if (image != nullptr)
                image->DriverEntry()(nullptr, nullptr);
        },
        "host: SIGILL in test.sys!Trap\\(\\)\\+0x1 \\(pc 0x");
}

TEST(LoadedImage, WithoutItsPdbLoadsWithoutSymbolsAndSaysWhy)
{
    ImageFolder folder;
    PeBuilder pe = ImageOfPdb(PdbOfTheImage(), "test.pdb");
    pe.code = ReturnConstant(0x1234);
    const std::string path = folder.Write("test.sys", pe.Build());
    std::string error;
    auto image = LoadedImage::Load(path, error);
    ASSERT_NE(image, nullptr) << error;
    EXPECT_FALSE(image->HasSymbols());
    EXPECT_EQ(image->SymbolStatus(), "no symbols: no COFF symbol table, and its PDB " +
                                         folder.Path("test.pdb") +
                                         " cannot be read (No such file or directory)");
    EXPECT_EQ(image->FindFunction("Service"), nullptr);
    EXPECT_EQ(image->DriverEntry()(nullptr, nullptr), 0x1234) << "it runs all the same";
}

TEST(LoadedImage, RefusesThePdbOfAnotherLinkAndLoadsWithoutSymbols)
{
    const nuvtest::PdbBuilder pdb = PdbOfTheImage();
    nuvtest::PdbBuilder otherLink = pdb;
    otherLink.guid[0] ^= 0x40;
    ImageFolder folder;
    const std::string path = folder.Write("test.sys", ImageOfPdb(pdb, "test.pdb").Build());
    folder.Write("test.pdb", otherLink.Build());
    std::string error;
    auto image = LoadedImage::Load(path, error);
    ASSERT_NE(image, nullptr) << error;
    EXPECT_FALSE(image->HasSymbols());
    EXPECT_EQ(image->SymbolStatus(),
              "no symbols: its PDB was refused: " + folder.Path("test.pdb") +
                  ": not the PDB of this image (image: " + host::GuidString(pdb.guid) +
                  " age 1; PDB: " + host::GuidString(otherLink.guid) + " age 1)");
    EXPECT_EQ(image->FindFunction("Service"), nullptr);
    EXPECT_EQ(image->NameOf(reinterpret_cast<const void*>(At(*image, PeBuilder::kTextRva))),
              "test.sys+0x1000");
}

TEST(LoadedImage, RefusesADamagedPdbAndLoadsWithoutSymbols)
{
    const nuvtest::PdbBuilder pdb = PdbOfTheImage();
    std::vector<std::uint8_t> truncated = pdb.Build();
    truncated.resize(truncated.size() / 2);
    ImageFolder folder;
    const std::string path = folder.Write("test.sys", ImageOfPdb(pdb, "test.pdb").Build());
    folder.Write("test.pdb", truncated);
    std::string error;
    auto image = LoadedImage::Load(path, error);
    ASSERT_NE(image, nullptr) << error;
    EXPECT_FALSE(image->HasSymbols());
    EXPECT_EQ(
        image->SymbolStatus().rfind(
            "no symbols: its PDB was refused: " + folder.Path("test.pdb") + ": truncated: ", 0),
        0u)
        << image->SymbolStatus();
}

TEST(LoadedImage, PrefersItsSymbolTableToAPdb)
{
    // GNU ld's images keep a symbol table; one with a debug record too takes
    // the table, and leaves the PDB unread.
    nuvtest::PdbBuilder pdb = PdbOfTheImage();
    PeBuilder pe = ImageOfPdb(pdb, "test.pdb");
    pe.withSymbolTable = true;
    pe.symbols = {{"FromTheTable", 1, 0, true}};
    ImageFolder folder;
    const std::string path = folder.Write("test.sys", pe.Build());
    folder.Write("test.pdb", pdb.Build());
    std::string error;
    auto image = LoadedImage::Load(path, error);
    ASSERT_NE(image, nullptr) << error;
    EXPECT_EQ(image->SymbolStatus(), "symbols from its COFF symbol table (1)");
    EXPECT_EQ(image->NameOf(reinterpret_cast<const void*>(At(*image, PeBuilder::kTextRva))),
              "test.sys!FromTheTable");
}

TEST(LoadedImage, UnmapsWhenItGoes)
{
    const std::size_t before = LoadedImage::MappedImageCount();
    std::string error;
    auto image = Load(PeBuilder{}, error);
    ASSERT_NE(image, nullptr) << error;
    const std::uintptr_t text = At(*image, PeBuilder::kTextRva);
    EXPECT_EQ(LoadedImage::MappedImageCount(), before + 1);
    image.reset();
    EXPECT_EQ(LoadedImage::MappedImageCount(), before);
    EXPECT_EQ(PagePermissions(text), "unmapped");
}

// --- refusals ---------------------------------------------------------------------

struct Refusal
{
    const char* name;
    std::function<std::vector<std::uint8_t>()> file;
    const char* message; // what the error must say, after "test.sys: "
};

void PrintTo(const Refusal& refusal, std::ostream* out)
{
    *out << refusal.name;
}

// The bytes of a good image with one change.
std::function<std::vector<std::uint8_t>()> With(std::function<void(PeBuilder&)> change)
{
    return [change]
    {
        PeBuilder pe;
        change(pe);
        return pe.Build();
    };
}

std::function<std::vector<std::uint8_t>()> Cut(std::size_t size)
{
    return [size]
    {
        std::vector<std::uint8_t> bytes = PeBuilder{}.Build();
        bytes.resize(size);
        return bytes;
    };
}

std::vector<std::uint8_t> Text(const std::string& text)
{
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

class ImageRefusal : public ::testing::TestWithParam<Refusal>
{
};

TEST_P(ImageRefusal, NamesTheProblemInOneLineAndLeavesNothingMapped)
{
    const std::size_t before = LoadedImage::MappedImageCount();
    std::string error;
    auto image = LoadedImage::FromBytes(GetParam().file(), "test.sys", error);
    EXPECT_EQ(image, nullptr);
    EXPECT_EQ(error.rfind("test.sys: ", 0), 0u) << error;
    EXPECT_NE(error.find(GetParam().message), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_EQ(LoadedImage::MappedImageCount(), before);
}

const PeBuilder kGood;

INSTANTIATE_TEST_SUITE_P(
    Loader, ImageRefusal,
    ::testing::Values(
        Refusal{"Text", [] { return Text(std::string(200, 'x')); },
                "not a PE image: no MZ signature"},
        Refusal{"TooShort", [] { return Text("MZ"); }, "too short for a DOS header"},
        Refusal{"NoPeSignature",
                []
                {
                    auto bytes = kGood.Build();
                    bytes[0x41] = 'X';
                    return bytes;
                },
                "not a PE image: no PE signature at 0x40"},
        Refusal{"TruncatedOptionalHeader", Cut(0x100), "truncated: the optional header"},
        Refusal{"TruncatedSection", Cut(0x300), "truncated: the data of section .text"},
        Refusal{"TruncatedSymbolTable",
                []
                {
                    // The symbol table follows the last section's data (0x800).
                    PeBuilder pe;
                    pe.symbols = {{"DriverEntry", 1, 0, true}};
                    std::vector<std::uint8_t> bytes = pe.Build();
                    bytes.resize(0x808);
                    return bytes;
                },
                "truncated: the symbol table"},
        Refusal{"For32BitX86", With([](PeBuilder& pe) { pe.machine = 0x14C; }),
                "an image for i386 (32-bit x86) (machine 0x14c), not for x64"},
        Refusal{"Pe32Header", With([](PeBuilder& pe) { pe.magic = 0x10B; }),
                "a PE32 (32-bit) image, not PE32+"},
        Refusal{"ObjectFile", With([](PeBuilder& pe) { pe.characteristics = 0x0020; }),
                "not an executable image"},
        Refusal{"Dll", With([](PeBuilder& pe) { pe.characteristics |= 0x2000; }),
                "a DLL, not a driver image"},
        Refusal{"ConsoleProgram", With([](PeBuilder& pe) { pe.subsystem = 3; }),
                "subsystem 3 (Windows console) is not native (1)"},
        Refusal{"RelocationsStripped", With([](PeBuilder& pe) { pe.characteristics |= 0x0001; }),
                "relocations stripped"},
        Refusal{"SmallSectionAlignment", With([](PeBuilder& pe) { pe.sectionAlignment = 0x200; }),
                "section alignment 0x200 is not a multiple of the page size"},
        Refusal{"SectionPastTheImage", With([](PeBuilder& pe) { pe.imageSize = 0x3000; }),
                "section .idata ends past the image size 0x3000"},
        Refusal{"OverlappingSections",
                With([](PeBuilder& pe) { pe.dataRva = PeBuilder::kTextRva; }),
                "section .data at 0x1000 overlaps"},
        Refusal{"EntryPointInData", With([](PeBuilder& pe) { pe.entryRva = PeBuilder::kDataRva; }),
                "the entry point 0x2000 is not in an executable section"},
        Refusal{"HighLowRelocation",
                With(
                    [](PeBuilder& pe) {
                        pe.relocations = {{3, PeBuilder::kDataRva}};
                    }),
                "unsupported base relocation type 3 (HIGHLOW) at RVA 0x2000"},
        Refusal{"RelocationOutsideSections",
                With(
                    [](PeBuilder& pe) {
                        pe.relocations = {{kDir64, 0x4FFC}};
                    }),
                "a DIR64 relocation at RVA 0x4ffc is not inside a section"},
        Refusal{"ImportByOrdinal",
                With(
                    [](PeBuilder& pe) {
                        pe.imports = {{"ntoskrnl.exe", "", 5}};
                    }),
                "imports ntoskrnl.exe ordinal 5: imports by ordinal are not supported"},
        Refusal{"ImportsTheHostDoesNotProvide",
                With(
                    [](PeBuilder& pe)
                    {
                        pe.imports = {{"ntoskrnl.exe", "ZwClose", std::nullopt},
                                      {"ntoskrnl.exe", "memset", std::nullopt},
                                      {"kernel32.dll", "Sleep", std::nullopt}};
                    }),
                "imports the host does not provide: ntoskrnl.exe!ZwClose, kernel32.dll!Sleep"},
        Refusal{"ThreadLocalStorage", With([](PeBuilder& pe) { pe.tlsDirectory = true; }),
                "a TLS directory"},
        Refusal{"DelayLoadImports", With([](PeBuilder& pe) { pe.delayImports = true; }),
                "delay-load imports"},
        Refusal{"DebugRecordPastTheFile",
                With(
                    [](PeBuilder& pe) {
                        pe.codeView = PeBuilder::CodeView{{}, 1, "test.pdb", 0x10000};
                    }),
                "truncated: the CodeView debug record"},
        Refusal{"UnterminatedPdbName",
                With(
                    [](PeBuilder& pe) {
                        pe.codeView = PeBuilder::CodeView{{}, 1, "test.pdb", 24 + 8};
                    }),
                "the PDB name in the CodeView debug record is not terminated inside the record"}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST(ImageRefusal, AMissingFileIsNamedWithTheSystemsReason)
{
    std::string error;
    EXPECT_EQ(LoadedImage::Load("/nonexistent/nuvaudio.sys", error), nullptr);
    EXPECT_EQ(error, "/nonexistent/nuvaudio.sys: cannot be read (No such file or directory)");
}

// --- faults inside an image ----------------------------------------------------------

TEST(ImageFaultDeathTest, IsReportedWithTheFunctionItHappenedIn)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    PeBuilder pe;
    pe.code = {0x90, 0x0F, 0x0B}; // nop; ud2
    pe.symbols = {{"_Z4Trapv", 1, 0, true}};
    EXPECT_DEATH(
        {
            std::string error;
            auto image = Load(pe, error);
            if (image != nullptr)
                image->DriverEntry()(nullptr, nullptr);
        },
        "host: SIGILL in test.sys!Trap\\(\\)\\+0x1 \\(pc 0x");
}

// --- nuvaudio.sys ---------------------------------------------------------------------

TEST(NuvaudioImage, LoadsWithEveryImportBoundAndNamesItsFunctions)
{
    if (!std::filesystem::exists(NUV_WINDOWS_IMAGE))
        GTEST_SKIP() << NUV_WINDOWS_IMAGE << " not built (make windows builds it)";
    std::string error;
    auto image = LoadedImage::Load(NUV_WINDOWS_IMAGE, error);
    ASSERT_NE(image, nullptr) << error;
    ASSERT_FALSE(image->Imports().empty());
    for (const host::loader::BoundImport& import : image->Imports())
    {
        SCOPED_TRACE(import.module + "!" + import.name);
        EXPECT_TRUE(import.module == "ntoskrnl.exe" || import.module == "portcls.sys");
        EXPECT_EQ(import.address, host::loader::FindHostExport(import.module, import.name));
    }
    ASSERT_TRUE(image->HasSymbols());
    EXPECT_EQ(image->NameOf(reinterpret_cast<const void*>(image->DriverEntry())),
              "nuvaudio.sys!DriverEntry");
    EXPECT_NE(image->FindFunction("CheckWaveFormat"), nullptr);
    EXPECT_NE(image->FindFunction("AbsentEngineCall"), nullptr);
}

// --- nuvaudio.pdb and the test images' PDBs ----------------------------------------------
// The clang image has no symbol table; its names come from nuvaudio.pdb.

const std::filesystem::path kWindowsImage = NUV_WINDOWS_IMAGE;
const std::filesystem::path kWindowsPdb =
    std::filesystem::path(NUV_WINDOWS_IMAGE).replace_extension(".pdb");
const std::filesystem::path kTestImages = kWindowsImage.parent_path() / "tests";

#define SKIP_WITHOUT(path)                                                                         \
    if (!std::filesystem::exists(path))                                                            \
    GTEST_SKIP() << (path) << " not built (make windows builds it)"

std::vector<std::uint8_t> ReadBytes(const std::filesystem::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(file)),
                                     std::istreambuf_iterator<char>());
}

std::string Run(const std::string& command)
{
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return output;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof(buffer), pipe))
        output.append(buffer, n);
    pclose(pipe);
    return output;
}

std::string Demangled(const std::string& name)
{
    int status = 0;
    char* text = abi::__cxa_demangle(name.c_str(), nullptr, nullptr, &status);
    std::string result = status == 0 && text != nullptr ? text : name;
    std::free(text);
    return result;
}

// Every named address llvm-pdbutil reads in the PDB, by RVA: the public
// symbols (demangled) and the procedure records, with the names any of them
// gives that address. (Its lines: "  1234 virtual address" in the section
// headers; "  80 | S_PUB32 [size = 40] `name`" with "addr = 0001:2864" on
// the line after.)
std::map<std::uint32_t, std::set<std::string>> NamesByLlvmPdbutil(const std::string& pdb)
{
    std::vector<std::uint32_t> sections;
    std::istringstream headers(Run("llvm-pdbutil dump --section-headers " + pdb));
    for (std::string line; std::getline(headers, line);)
    {
        const std::string suffix = " virtual address";
        if (line.size() > suffix.size() &&
            line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0)
            sections.push_back(static_cast<std::uint32_t>(std::stoul(line, nullptr, 16)));
    }
    std::map<std::uint32_t, std::set<std::string>> names;
    std::istringstream dump(Run("llvm-pdbutil dump --publics --symbols " + pdb));
    std::string name;
    for (std::string line; std::getline(dump, line);)
    {
        const bool isPublic = line.find("| S_PUB32 [") != std::string::npos;
        if (isPublic || line.find("| S_GPROC32 [") != std::string::npos ||
            line.find("| S_LPROC32 [") != std::string::npos)
        {
            const std::size_t open = line.find('`'), close = line.rfind('`');
            const std::string raw = line.substr(open + 1, close - open - 1);
            name = isPublic ? Demangled(raw) : raw;
            continue;
        }
        unsigned long segment = 0, offset = 0;
        const std::size_t at = line.find("addr = ");
        if (!name.empty() && at != std::string::npos &&
            std::sscanf(line.c_str() + at, "addr = %lu:%lu", &segment, &offset) == 2 &&
            name[0] != '.' && segment >= 1 && segment <= sections.size())
            names[sections[segment - 1] + static_cast<std::uint32_t>(offset)].insert(name);
        name.clear();
    }
    return names;
}

TEST(NuvaudioImage, NamesEveryAddressItsPdbNamesAsLlvmPdbutilReadsIt)
{
    SKIP_WITHOUT(kWindowsPdb);
    std::string error;
    auto image = LoadedImage::Load(kWindowsImage, error);
    ASSERT_NE(image, nullptr) << error;
    EXPECT_EQ(image->SymbolStatus().rfind("symbols from its PDB " + kWindowsPdb.string(), 0), 0u)
        << image->SymbolStatus();

    const auto names = NamesByLlvmPdbutil(kWindowsPdb);
    ASSERT_GT(names.size(), 150u) << "llvm-pdbutil (package llvm) read too little";
    for (const auto& [rva, candidates] : names)
    {
        const std::string named = image->NameOf(static_cast<const char*>(image->Base()) + rva);
        EXPECT_TRUE(candidates.count(named.substr(std::strlen("nuvaudio.sys!"))) != 0)
            << "RVA " << std::hex << rva << " is named " << named << ", not "
            << *candidates.begin();
    }
    // Static functions have no public symbol; their procedure records name them.
    for (const char* function : {"Render16", "Capture24Sse2", "ChooseAndConvert"})
    {
        SCOPED_TRACE(function);
        const void* address = image->FindFunction(function);
        ASSERT_NE(address, nullptr);
        EXPECT_EQ(image->NameOf(address), std::string("nuvaudio.sys!") + function);
    }
}

TEST(NuvaudioImage, WithoutItsPdbLoadsWithoutSymbolsAndSaysWhy)
{
    SKIP_WITHOUT(kWindowsPdb);
    ImageFolder folder;
    folder.Copy(kWindowsImage, "nuvaudio.sys");
    std::string error;
    auto image = LoadedImage::Load(folder.Path("nuvaudio.sys"), error);
    ASSERT_NE(image, nullptr) << error;
    EXPECT_FALSE(image->HasSymbols());
    EXPECT_EQ(image->SymbolStatus(), "no symbols: no COFF symbol table, and its PDB " +
                                         folder.Path("nuvaudio.pdb") +
                                         " cannot be read (No such file or directory)");
    EXPECT_EQ(image->FindFunction("CheckWaveFormat"), nullptr);
    EXPECT_EQ(image->NameOf(reinterpret_cast<const void*>(image->DriverEntry())).find('!'),
              std::string::npos);
}

TEST(NuvaudioImage, ItsPdbTruncatedAnywhereIsRefused)
{
    SKIP_WITHOUT(kWindowsPdb);
    const std::vector<std::uint8_t> pdb = ReadBytes(kWindowsPdb);
    ImageFolder folder;
    folder.Copy(kWindowsImage, "nuvaudio.sys");
    for (std::size_t size : {std::size_t{0}, std::size_t{40}, pdb.size() / 3, pdb.size() - 1})
    {
        SCOPED_TRACE(size);
        std::filesystem::remove(folder.Path("nuvaudio.pdb"));
        folder.Write("nuvaudio.pdb", std::vector<std::uint8_t>(pdb.begin(), pdb.begin() + size));
        std::string error;
        auto image = LoadedImage::Load(folder.Path("nuvaudio.sys"), error);
        ASSERT_NE(image, nullptr) << error;
        EXPECT_FALSE(image->HasSymbols());
        const std::string refused =
            "no symbols: its PDB was refused: " + folder.Path("nuvaudio.pdb");
        EXPECT_EQ(image->SymbolStatus().rfind(refused, 0), 0u) << image->SymbolStatus();
    }
}

TEST(NuvaudioImage, ItsPdbWithAnyHeaderOrDirectoryByteDamagedIsRefusedOrReadInsideTheImage)
{
    // The superblock and the stream directory decide where every stream is;
    // each of their bytes is damaged in turn, the file read from memory (a
    // buffer of exactly its size).
    SKIP_WITHOUT(kWindowsPdb);
    const std::vector<std::uint8_t> pdb = ReadBytes(kWindowsPdb);
    const auto parsed = host::loader::ParsePeImage(ReadBytes(kWindowsImage));
    ASSERT_TRUE(parsed.image && parsed.image->codeView) << parsed.error;
    const host::loader::PeImage& pe = *parsed.image;
    std::uint32_t blockSize, directoryBytes, blockMap;
    std::memcpy(&blockSize, pdb.data() + 32, 4);
    std::memcpy(&directoryBytes, pdb.data() + 44, 4);
    std::memcpy(&blockMap, pdb.data() + 52, 4);
    std::vector<std::size_t> offsets;
    for (std::size_t at = 0; at < 56; ++at)
        offsets.push_back(at);
    for (std::uint32_t i = 0; i * blockSize < directoryBytes; ++i)
    {
        std::uint32_t block;
        std::memcpy(&block, pdb.data() + std::size_t{blockMap} * blockSize + 4 * i, 4);
        for (std::uint32_t at = 0; at < blockSize && i * blockSize + at < directoryBytes; ++at)
            offsets.push_back(std::size_t{block} * blockSize + at);
    }

    std::size_t refused = 0;
    for (std::size_t at : offsets)
    {
        for (std::uint8_t change : {0x01, 0x80})
        {
            std::vector<std::uint8_t> damaged = pdb;
            damaged[at] ^= change;
            const auto read = host::loader::ReadPdbSymbols(damaged, *pe.codeView, pe.sections);
            if (!read.symbols)
            {
                ++refused;
                ASSERT_EQ(read.error.find('\n'), std::string::npos) << read.error;
                continue;
            }
            for (const host::loader::PeSymbol& symbol : *read.symbols)
            {
                const bool inside = std::any_of(pe.sections.begin(), pe.sections.end(),
                                                [&](const host::loader::PeSection& section)
                                                {
                                                    return symbol.rva >= section.virtualAddress &&
                                                           symbol.rva < section.virtualAddress +
                                                                            section.virtualSize;
                                                });
                ASSERT_TRUE(inside) << "byte " << at << ": " << symbol.name;
            }
        }
    }
    EXPECT_GT(refused, offsets.size() / 4);
}

// The test images of the Windows build: the good one's image with the PDB
// of another link (testimage_foreign_pdb), and one whose PDB has public
// symbols only.
TEST(WindowsTestImages, APdbOfAnotherLinkIsRefused)
{
    const std::filesystem::path image = kTestImages / "testimage_foreign_pdb.sys";
    SKIP_WITHOUT(image);
    // The image is the good image's copy, whose record names
    // testimage_good.pdb: the foreign PDB goes beside it under that name.
    const auto parsed = host::loader::ParsePeImage(ReadBytes(image));
    ASSERT_TRUE(parsed.image && parsed.image->codeView) << parsed.error;
    ImageFolder folder;
    folder.Copy(image, "foreign.sys");
    folder.Copy(kTestImages / "testimage_foreign_pdb.pdb", parsed.image->codeView->pdbName);
    std::string error;
    auto loaded = LoadedImage::Load(folder.Path("foreign.sys"), error);
    ASSERT_NE(loaded, nullptr) << error;
    EXPECT_FALSE(loaded->HasSymbols());
    EXPECT_NE(loaded->SymbolStatus().find(": not the PDB of this image (image: " +
                                          host::GuidString(parsed.image->codeView->guid)),
              std::string::npos)
        << loaded->SymbolStatus();
    EXPECT_EQ(loaded->FindFunction("DriverEntry"), nullptr);
}

TEST(WindowsTestImages, APdbWithPublicSymbolsOnlyNamesTheFunctions)
{
    const std::filesystem::path image = kTestImages / "testimage_publics_only.sys";
    SKIP_WITHOUT(image);
    std::string error;
    auto loaded = LoadedImage::Load(image, error);
    ASSERT_NE(loaded, nullptr) << error;
    EXPECT_TRUE(loaded->HasSymbols()) << loaded->SymbolStatus();
    EXPECT_EQ(loaded->FindFunction("DriverEntry"),
              reinterpret_cast<const void*>(loaded->DriverEntry()));
}

} // namespace
