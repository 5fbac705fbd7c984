// The host pool: ExAllocatePoolWithTag, ExFreePool and ExFreePoolWithTag with
// every block tracked.
//
// Each block carries guard bytes before and after it, checked when it is
// freed and on demand; its contents are filled with a non-zero pattern when
// it is allocated (a driver that forgets to zero shows it) and again when it
// is freed. Freed blocks stay in quarantine for a while, so that a second
// free of the same pointer is seen as such and not as the free of a new
// block at the same address. Misuse is reported as a conduct violation:
// double free, unknown pointer, tag mismatch, zero size, paged pool above
// APC_LEVEL, any pool above DISPATCH_LEVEL, and executable pool.
//
// Executable pool (NonPagedPool and its variants without Nx) is refused as
// a kernel with memory integrity refuses it to a driver. The host's own
// objects never come from here (they live on the C++ heap), so whoever calls
// ExAllocatePoolWithTag is driver code or a test standing in for it.
//
// Tests query the bookkeeping and check for leaks:
//
//     EXPECT_EQ(host::Pool().Outstanding(host::Tag("PcCr")), 0u);
//     host::Pool().ReportLeaks({host::Tag("PcCr"), host::Tag("wVUN")});
//
// Tags are ULONG values in memory order: the tag shown as "PcCr" is the
// bytes 'P','c','C','r', the value 0x72436350, which a driver writes as the
// character constant 'rCcP'.
#pragma once

#include <wdm.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace host
{

// The tag whose bytes in memory are the four characters of `name`.
constexpr ULONG Tag(const char (&name)[5])
{
    return static_cast<ULONG>(static_cast<unsigned char>(name[0])) |
           static_cast<ULONG>(static_cast<unsigned char>(name[1])) << 8 |
           static_cast<ULONG>(static_cast<unsigned char>(name[2])) << 16 |
           static_cast<ULONG>(static_cast<unsigned char>(name[3])) << 24;
}

// "PcCr" for Tag("PcCr"); bytes that are not printable show as \xNN.
std::string TagName(ULONG tag);

const char* PoolTypeName(POOL_TYPE type);

// True for the pool types whose memory the processor may execute from: the
// non-paged types without Nx. Paged pool is never executable. Also used by
// the port class library for the pool types a driver hands it.
bool IsExecutablePoolType(POOL_TYPE type);

// Byte values the pool writes.
constexpr unsigned char kPoolFillOnAllocate = 0xC5;
constexpr unsigned char kPoolFillOnFree = 0xDF;

struct PoolBlock
{
    const void* address;
    std::size_t size;
    ULONG tag;
    POOL_TYPE type;
    std::uint64_t sequence; // 1-based, in order of allocation since the last Reset
    const void* caller;     // the return address of the allocation's call
};

class PoolTracker
{
public:
    // Blocks outstanding that were allocated since the last Reset: all, or
    // of one tag.
    std::size_t Outstanding() const;
    std::size_t Outstanding(ULONG tag) const;
    std::size_t OutstandingBytes() const;
    std::size_t OutstandingBytes(ULONG tag) const;
    std::vector<PoolBlock> Blocks() const; // in order of allocation
    std::optional<PoolBlock> Find(const void* address) const;
    // Allocations made since the last Reset.
    std::uint64_t AllocationCount() const;

    // Reports a PoolOverrun for every outstanding block whose guard bytes
    // were overwritten; returns how many.
    std::size_t CheckGuards() const;

    // Reports a PoolLeak (tag, size, address, sequence) for every block
    // counted by Outstanding() whose tag is in `tags`, or of any tag if
    // `tags` is empty; returns how many.
    std::size_t ReportLeaks(std::initializer_list<ULONG> tags = {}) const;
    std::size_t ReportLeaks(const std::vector<ULONG>& tags) const;

    // Starts a new count. Blocks outstanding now are no longer counted or
    // reported as leaks, but stay known: freeing one later is no error, and
    // their guards are still checked. The allocation sequence restarts.
    void Reset();
};

PoolTracker& Pool();

} // namespace host
