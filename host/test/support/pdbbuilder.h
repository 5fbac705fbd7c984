// Small PDBs made in memory for the PDB reader's tests: an MSF 7.00 file
// with the streams a reader of symbols needs (the PDB info stream, the DBI
// stream with its module information, the symbol record stream of public
// symbols, a symbol stream per module of procedures), laid out as lld lays
// them out, except that the streams' blocks are interleaved (each stream's
// second block after every stream's first, ...) so that a reader that takes
// a stream as one run of blocks reads the wrong bytes.
//
//     nuvtest::PdbBuilder pdb;
//     pdb.publics = {{"_Z7ServicePv", 1, 0x10, true}};
//     pdb.modules = {{{"Render16", 1, 0x40, false}}};
//     std::vector<std::uint8_t> bytes = pdb.Build();
//
// A test that damages one structure edits the streams (Streams()) or the
// stream directory (Assemble's `editDirectory`) and assembles them itself.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace nuvtest
{

struct PdbBuilder
{
    // Where the streams are: 0 (the old directory), 2 (types) and 4 (ids)
    // are empty and written as nil streams.
    static constexpr std::uint32_t kInfoStream = 1;
    static constexpr std::uint32_t kDbiStream = 3;
    static constexpr std::uint32_t kSymbolRecordStream = 5;
    static constexpr std::uint32_t kFirstModuleStream = 6;
    // In the DBI stream: its header, then each module's information.
    static constexpr std::uint32_t kDbiHeaderSize = 64;

    struct Public
    {
        std::string name;
        std::uint16_t segment; // 1-based section number
        std::uint32_t offset;
        bool function;
    };
    struct Procedure
    {
        std::string name;
        std::uint16_t segment;
        std::uint32_t offset;
        bool global; // S_GPROC32, or S_LPROC32 (a static function)
    };

    std::array<std::uint8_t, 16> guid = {0xA8, 0xB0, 0x9F, 0x22, 0x52, 0xC5, 0x37, 0xC3,
                                         0x4C, 0x4C, 0x44, 0x20, 0x50, 0x44, 0x42, 0x2E};
    std::uint32_t age = 1;
    std::uint32_t blockSize = 512;
    std::vector<Public> publics;
    std::vector<std::vector<Procedure>> modules; // each module's procedures
    // Raw bytes appended to the symbol record stream (a damaged record).
    std::vector<std::uint8_t> extraSymbolRecords;

    std::vector<std::uint8_t> Build() const;

    // The streams' contents, by index.
    std::vector<std::vector<std::uint8_t>> Streams() const;

    // An MSF file of these streams (empty ones nil); `editDirectory` may
    // change the stream directory before it is written.
    static std::vector<std::uint8_t>
    Assemble(const std::vector<std::vector<std::uint8_t>>& streams, std::uint32_t blockSize,
             const std::function<void(std::vector<std::uint8_t>&)>& editDirectory = {});
};

} // namespace nuvtest
