// ExAllocatePoolWithTag, ExFreePool, ExFreePoolWithTag and the bookkeeping
// behind them.
//
// Layout of a block, from the address aligned_alloc returned:
//
//     [front guard: kFrontGuard or 64 bytes][caller's bytes][tail guard + padding]
//
// The caller's bytes are 16-byte aligned as the x64 pool's are (64 for the
// cache-aligned types); everything after them up to the end of the
// allocation is tail guard.
#include "host/kernel/pool.h"

#include "host/kernel/addressnames.h"
#include "host/kernel/boundary.h"
#include "host/kernel/conduct.h"
#include "host/kernel/faults.h"
#include "host/kernel/irql.h"
#include "host/kernel/spinlock.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace host
{
namespace
{

constexpr unsigned char kGuardByte = 0xFD;
constexpr std::size_t kFrontGuard = 16;
constexpr std::size_t kTailGuard = 16;
constexpr std::size_t kCacheLine = 64;
// Freed blocks kept back from the allocator (count and bytes), so that their
// addresses are not handed out again while a stale pointer may be freed twice.
constexpr std::size_t kQuarantineBlocks = 1024;
constexpr std::size_t kQuarantineBytes = 16u << 20;

struct BlockRecord
{
    unsigned char* base; // what aligned_alloc returned
    std::size_t total;   // bytes allocated from base
    std::size_t front;   // guard bytes before the caller's
    PoolBlock block;
    std::uint64_t epoch;

    unsigned char* User() const { return base + front; }
};

struct PoolState
{
    std::mutex mutex;
    std::unordered_map<const void*, BlockRecord> live;
    std::deque<BlockRecord> quarantine;
    std::unordered_set<const void*> quarantined;
    std::size_t quarantineBytes = 0;
    std::uint64_t sequence = 0;
    std::uint64_t epoch = 0;
};

PoolState& State()
{
    // Never destroyed: blocks freed by static destructors still find their
    // records, and the quarantine stays reachable to the end.
    static PoolState& state = *new PoolState;
    return state;
}

bool IsKnownPoolType(POOL_TYPE type)
{
    switch (type)
    {
    case NonPagedPool:
    case PagedPool:
    case NonPagedPoolMustSucceed:
    case NonPagedPoolCacheAligned:
    case PagedPoolCacheAligned:
    case NonPagedPoolCacheAlignedMustS:
    case NonPagedPoolNx:
    case NonPagedPoolNxCacheAligned:
        return true;
    default:
        return false;
    }
}

bool IsPaged(POOL_TYPE type)
{
    return type == PagedPool || type == PagedPoolCacheAligned;
}

bool IsCacheAligned(POOL_TYPE type)
{
    return type == NonPagedPoolCacheAligned || type == PagedPoolCacheAligned ||
           type == NonPagedPoolCacheAlignedMustS || type == NonPagedPoolNxCacheAligned;
}

std::string Hex(const void* address)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%p", address);
    return text;
}

// The caller is named where a loaded image's symbols name it (the host
// build's driver is not: its functions are the program's own).
std::string DescribeBlock(const PoolBlock& block)
{
    const std::string caller = NameAddress(block.caller);
    return "block " + Hex(block.address) + " (tag '" + TagName(block.tag) + "', " +
           std::to_string(block.size) + " bytes, " + PoolTypeName(block.type) + ", allocation #" +
           std::to_string(block.sequence) + (caller.empty() ? "" : ", allocated by " + caller) +
           ")";
}

// Empty if both guards are intact, otherwise what was overwritten.
std::string GuardDamage(const BlockRecord& record)
{
    std::size_t before = 0;
    for (std::size_t i = 0; i < record.front; ++i)
        before += record.base[i] != kGuardByte ? 1 : 0;
    std::size_t after = 0;
    for (std::size_t i = record.front + record.block.size; i < record.total; ++i)
        after += record.base[i] != kGuardByte ? 1 : 0;
    if (before == 0 && after == 0)
        return {};
    std::string damage;
    if (before != 0)
        damage += std::to_string(before) + " guard bytes before the start";
    if (after != 0)
        damage +=
            (damage.empty() ? "" : " and ") + std::to_string(after) + " guard bytes after the end";
    return damage + " overwritten";
}

void EvictQuarantine(PoolState& state)
{
    while (state.quarantine.size() > kQuarantineBlocks || state.quarantineBytes > kQuarantineBytes)
    {
        BlockRecord& oldest = state.quarantine.front();
        state.quarantined.erase(oldest.User());
        state.quarantineBytes -= oldest.total;
        std::free(oldest.base);
        state.quarantine.pop_front();
    }
}

struct Pending
{
    ViolationKind kind;
    std::string message;
};

void ReportAll(std::vector<Pending>& pending)
{
    for (Pending& violation : pending)
        ReportViolation(violation.kind, std::move(violation.message));
}

// Reports what is wrong with an allocation request; the common case, nothing,
// costs no formatting.
void CheckAllocation(POOL_TYPE type, SIZE_T bytes, ULONG tag)
{
    const KIRQL irql = KeGetCurrentIrql();
    const bool unknownType = !IsKnownPoolType(type);
    const bool executable = !unknownType && IsExecutablePoolType(type);
    const bool tooHigh = irql > DISPATCH_LEVEL;
    const bool pagedTooHigh = !tooHigh && IsPaged(type) && irql > APC_LEVEL;
    if (!unknownType && !executable && !tooHigh && !pagedTooHigh && bytes != 0)
        return;
    const std::string call = std::string("ExAllocatePoolWithTag(") + PoolTypeName(type) + ", " +
                             std::to_string(bytes) + ", '" + TagName(tag) + "')";
    if (unknownType)
        ReportViolation(ViolationKind::Custom,
                        call + ": unknown pool type " + std::to_string(static_cast<int>(type)));
    if (executable)
        ReportViolation(ViolationKind::ExecutablePool,
                        call + ": executable pool; a driver allocates NonPagedPoolNx");
    if (tooHigh)
        ReportViolation(ViolationKind::IrqlViolation, call + " called at " + IrqlName(irql));
    if (pagedTooHigh)
        ReportViolation(ViolationKind::PagedPoolAtHighIrql, call + " called at " + IrqlName(irql));
    if (bytes == 0)
        ReportViolation(ViolationKind::ZeroSizeAllocation, call + ": zero bytes requested");
}

PVOID Allocate(POOL_TYPE type, SIZE_T bytes, ULONG tag, const void* caller)
{
    const std::size_t alignment = IsCacheAligned(type) ? kCacheLine : kFrontGuard;
    const std::size_t front = alignment;
    if (bytes > SIZE_MAX / 2)
        return nullptr;
    std::size_t total = front + bytes + kTailGuard;
    total = (total + alignment - 1) / alignment * alignment;
    auto* base = static_cast<unsigned char*>(std::aligned_alloc(alignment, total));
    if (base == nullptr)
        return nullptr;
    std::memset(base, kGuardByte, front);
    std::memset(base + front, kPoolFillOnAllocate, bytes);
    std::memset(base + front + bytes, kGuardByte, total - front - bytes);

    PoolState& state = State();
    std::lock_guard lock(state.mutex);
    BlockRecord record{base, total, front,
                       PoolBlock{base + front, bytes, tag, type, ++state.sequence, caller},
                       state.epoch};
    state.live.emplace(record.User(), record);
    return record.User();
}

void Free(PVOID address, const ULONG* expectedTag, const char* function)
{
    std::vector<Pending> pending;
    const KIRQL irql = KeGetCurrentIrql();
    if (irql > DISPATCH_LEVEL)
        pending.push_back(
            {ViolationKind::IrqlViolation,
             std::string(function) + "(" + Hex(address) + ") called at " + IrqlName(irql)});
    if (address == nullptr)
    {
        pending.push_back({ViolationKind::UnknownFree, std::string(function) + "(NULL)"});
        ReportAll(pending);
        return;
    }

    PoolState& state = State();
    std::optional<PoolBlock> freed;
    {
        std::lock_guard lock(state.mutex);
        auto found = state.live.find(address);
        if (found == state.live.end())
        {
            if (state.quarantined.contains(address))
                pending.push_back(
                    {ViolationKind::DoubleFree,
                     std::string(function) + "(" + Hex(address) + "): block already freed"});
            else
                pending.push_back(
                    {ViolationKind::UnknownFree,
                     std::string(function) + "(" + Hex(address) + "): not a block of the pool"});
        }
        else
        {
            BlockRecord record = found->second;
            state.live.erase(found);
            auto what = [&] { return std::string(function) + ": " + DescribeBlock(record.block); };
            if (IsPaged(record.block.type) && irql > APC_LEVEL && irql <= DISPATCH_LEVEL)
                pending.push_back(
                    {ViolationKind::PagedPoolAtHighIrql, what() + " freed at " + IrqlName(irql)});
            if (expectedTag != nullptr && *expectedTag != record.block.tag)
                pending.push_back({ViolationKind::PoolTagMismatch,
                                   what() + " freed with tag '" + TagName(*expectedTag) + "'"});
            std::string damage = GuardDamage(record);
            if (!damage.empty())
                pending.push_back({ViolationKind::PoolOverrun, what() + ": " + damage});

            std::memset(record.User(), kPoolFillOnFree, record.block.size);
            state.quarantined.insert(record.User());
            state.quarantineBytes += record.total;
            state.quarantine.push_back(record);
            EvictQuarantine(state);
            freed = record.block;
        }
    }
    if (freed)
        ForgetLockOrderWithin(freed->address, freed->size);
    ReportAll(pending);
}

template <typename Filter> std::vector<PoolBlock> CurrentBlocks(Filter filter)
{
    PoolState& state = State();
    std::vector<PoolBlock> blocks;
    {
        std::lock_guard lock(state.mutex);
        for (const auto& [address, record] : state.live)
        {
            if (record.epoch == state.epoch && filter(record.block))
                blocks.push_back(record.block);
        }
    }
    std::sort(blocks.begin(), blocks.end(),
              [](const PoolBlock& a, const PoolBlock& b) { return a.sequence < b.sequence; });
    return blocks;
}

std::size_t SumBytes(const std::vector<PoolBlock>& blocks)
{
    std::size_t bytes = 0;
    for (const PoolBlock& block : blocks)
        bytes += block.size;
    return bytes;
}

auto AnyTag = [](const PoolBlock&) { return true; };

auto OfTag(ULONG tag)
{
    return [tag](const PoolBlock& block) { return block.tag == tag; };
}

} // namespace

std::string TagName(ULONG tag)
{
    std::string name;
    for (int i = 0; i < 4; ++i)
    {
        const unsigned char byte = static_cast<unsigned char>(tag >> (8 * i));
        if (byte >= 0x20 && byte < 0x7F)
        {
            name += static_cast<char>(byte);
            continue;
        }
        char escaped[8];
        std::snprintf(escaped, sizeof(escaped), "\\x%02X", byte);
        name += escaped;
    }
    return name;
}

const char* PoolTypeName(POOL_TYPE type)
{
    switch (type)
    {
    case NonPagedPool:
        return "NonPagedPool";
    case PagedPool:
        return "PagedPool";
    case NonPagedPoolMustSucceed:
        return "NonPagedPoolMustSucceed";
    case NonPagedPoolCacheAligned:
        return "NonPagedPoolCacheAligned";
    case PagedPoolCacheAligned:
        return "PagedPoolCacheAligned";
    case NonPagedPoolCacheAlignedMustS:
        return "NonPagedPoolCacheAlignedMustS";
    case NonPagedPoolNx:
        return "NonPagedPoolNx";
    case NonPagedPoolNxCacheAligned:
        return "NonPagedPoolNxCacheAligned";
    default:
        return "(unknown pool type)";
    }
}

bool IsExecutablePoolType(POOL_TYPE type)
{
    return type == NonPagedPool || type == NonPagedPoolMustSucceed ||
           type == NonPagedPoolCacheAligned || type == NonPagedPoolCacheAlignedMustS;
}

std::size_t PoolTracker::Outstanding() const
{
    return CurrentBlocks(AnyTag).size();
}

std::size_t PoolTracker::Outstanding(ULONG tag) const
{
    return CurrentBlocks(OfTag(tag)).size();
}

std::size_t PoolTracker::OutstandingBytes() const
{
    return SumBytes(CurrentBlocks(AnyTag));
}

std::size_t PoolTracker::OutstandingBytes(ULONG tag) const
{
    return SumBytes(CurrentBlocks(OfTag(tag)));
}

std::vector<PoolBlock> PoolTracker::Blocks() const
{
    return CurrentBlocks(AnyTag);
}

std::optional<PoolBlock> PoolTracker::Find(const void* address) const
{
    PoolState& state = State();
    std::lock_guard lock(state.mutex);
    auto found = state.live.find(address);
    if (found == state.live.end())
        return std::nullopt;
    return found->second.block;
}

std::uint64_t PoolTracker::AllocationCount() const
{
    PoolState& state = State();
    std::lock_guard lock(state.mutex);
    return state.sequence;
}

std::size_t PoolTracker::CheckGuards() const
{
    std::vector<Pending> pending;
    {
        PoolState& state = State();
        std::lock_guard lock(state.mutex);
        for (const auto& [address, record] : state.live)
        {
            std::string damage = GuardDamage(record);
            if (!damage.empty())
                pending.push_back(
                    {ViolationKind::PoolOverrun,
                     "pool guard check: " + DescribeBlock(record.block) + ": " + damage});
        }
    }
    const std::size_t damaged = pending.size();
    ReportAll(pending);
    return damaged;
}

std::size_t PoolTracker::ReportLeaks(std::initializer_list<ULONG> tags) const
{
    return ReportLeaks(std::vector<ULONG>(tags));
}

std::size_t PoolTracker::ReportLeaks(const std::vector<ULONG>& tags) const
{
    auto selected = [&tags](const PoolBlock& block)
    { return tags.empty() || std::find(tags.begin(), tags.end(), block.tag) != tags.end(); };
    const std::vector<PoolBlock> leaked = CurrentBlocks(selected);
    for (const PoolBlock& block : leaked)
        ReportViolation(ViolationKind::PoolLeak, "pool leak: " + DescribeBlock(block));
    return leaked.size();
}

void PoolTracker::Reset()
{
    PoolState& state = State();
    std::lock_guard lock(state.mutex);
    ++state.epoch;
    state.sequence = 0;
}

PoolTracker& Pool()
{
    static PoolTracker tracker;
    return tracker;
}

} // namespace host

extern "C" PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
try
{
    host::CheckAllocation(PoolType, NumberOfBytes, Tag);
    if (host::ShouldFail("ExAllocatePoolWithTag"))
        return nullptr;
    return host::Allocate(PoolType, NumberOfBytes, Tag, __builtin_return_address(0));
}
catch (...)
{
    return host::CaughtAtBoundary("ExAllocatePoolWithTag", PVOID{});
}

extern "C" VOID NTAPI ExFreePool(PVOID P)
try
{
    host::Free(P, nullptr, "ExFreePool");
}
catch (...)
{
    host::CaughtAtBoundary("ExFreePool");
}

extern "C" VOID NTAPI ExFreePoolWithTag(PVOID P, ULONG Tag)
try
{
    host::Free(P, &Tag, "ExFreePoolWithTag");
}
catch (...)
{
    host::CaughtAtBoundary("ExFreePoolWithTag");
}
