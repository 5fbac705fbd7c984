// The fault plans and their counters.
#include "host/kernel/faults.h"

#include <atomic>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <unordered_map>

namespace host
{
namespace
{

struct FaultState
{
    std::mutex mutex;
    std::atomic<bool> armed{false};
    std::uint64_t calls = 0;
    std::unordered_map<std::string, std::uint64_t> callsOf;

    std::set<std::uint64_t> failNth;
    std::set<std::pair<std::string, std::uint64_t>> failNthOf;
    std::set<std::string> failEvery;
    std::optional<unsigned> randomPercent;
    std::mt19937 random;

    std::vector<FailedCall> failed;

    void Clear()
    {
        calls = 0;
        callsOf.clear();
        failNth.clear();
        failNthOf.clear();
        failEvery.clear();
        randomPercent.reset();
        failed.clear();
    }

    bool Decide(const std::string& name, std::uint64_t index, std::uint64_t indexOf)
    {
        // Every plan is consulted, so that the random stream advances the same
        // way whichever other plan fails a call.
        bool fail = failNth.contains(index);
        fail = failNthOf.contains({name, indexOf}) || fail;
        fail = failEvery.contains(name) || fail;
        if (randomPercent)
        {
            std::uniform_int_distribution<unsigned> percent(0, 99);
            fail = percent(random) < *randomPercent || fail;
        }
        return fail;
    }
};

FaultState& State()
{
    // Never destroyed: failable calls may come from static destructors.
    static FaultState& state = *new FaultState;
    return state;
}

} // namespace

namespace
{
thread_local int t_exemptions = 0;
} // namespace

FaultExemption::FaultExemption()
{
    ++t_exemptions;
}

FaultExemption::~FaultExemption()
{
    --t_exemptions;
}

bool ShouldFail(const char* operation)
{
    FaultState& state = State();
    if (!state.armed.load(std::memory_order_acquire) || t_exemptions > 0)
        return false;
    std::lock_guard lock(state.mutex);
    if (!state.armed.load(std::memory_order_relaxed))
        return false;
    std::string name(operation);
    const std::uint64_t index = ++state.calls;
    const std::uint64_t indexOf = ++state.callsOf[name];
    if (!state.Decide(name, index, indexOf))
        return false;
    state.failed.push_back(FailedCall{std::move(name), index, indexOf});
    return true;
}

std::string Describe(const FailedCall& call)
{
    return call.operation + " (failable call #" + std::to_string(call.callIndex) + ", #" +
           std::to_string(call.operationIndex) + " of its name)";
}

void ArmFaults()
{
    FaultState& state = State();
    std::lock_guard lock(state.mutex);
    state.armed.store(true, std::memory_order_release);
}

void FailNth(std::uint64_t n)
{
    FaultState& state = State();
    std::lock_guard lock(state.mutex);
    state.failNth.insert(n);
    state.armed.store(true, std::memory_order_release);
}

void FailNthOf(const std::string& operation, std::uint64_t n)
{
    FaultState& state = State();
    std::lock_guard lock(state.mutex);
    state.failNthOf.insert({operation, n});
    state.armed.store(true, std::memory_order_release);
}

void FailEveryCallOf(const std::string& operation)
{
    FaultState& state = State();
    std::lock_guard lock(state.mutex);
    state.failEvery.insert(operation);
    state.armed.store(true, std::memory_order_release);
}

void FailRandomly(unsigned percent, std::uint32_t seed)
{
    FaultState& state = State();
    std::lock_guard lock(state.mutex);
    state.randomPercent = percent > 100 ? 100 : percent;
    state.random.seed(seed);
    state.armed.store(true, std::memory_order_release);
}

void ClearFaultPlans()
{
    FaultState& state = State();
    std::lock_guard lock(state.mutex);
    state.armed.store(false, std::memory_order_release);
    state.Clear();
}

std::uint64_t FailableCallCount()
{
    FaultState& state = State();
    std::lock_guard lock(state.mutex);
    return state.calls;
}

std::uint64_t FailableCallCount(const std::string& operation)
{
    FaultState& state = State();
    std::lock_guard lock(state.mutex);
    auto found = state.callsOf.find(operation);
    return found == state.callsOf.end() ? 0 : found->second;
}

std::vector<FailedCall> FailedCalls()
{
    FaultState& state = State();
    std::lock_guard lock(state.mutex);
    return state.failed;
}

FaultScope::FaultScope()
{
    ClearFaultPlans();
    ArmFaults();
}

FaultScope::~FaultScope()
{
    ClearFaultPlans();
}

FaultScope& FaultScope::FailNth(std::uint64_t n)
{
    host::FailNth(n);
    return *this;
}

FaultScope& FaultScope::FailNthOf(const std::string& operation, std::uint64_t n)
{
    host::FailNthOf(operation, n);
    return *this;
}

FaultScope& FaultScope::FailEveryCallOf(const std::string& operation)
{
    host::FailEveryCallOf(operation);
    return *this;
}

FaultScope& FaultScope::FailRandomly(unsigned percent, std::uint32_t seed)
{
    host::FailRandomly(percent, seed);
    return *this;
}

std::uint64_t FaultScope::CallsSeen() const
{
    return FailableCallCount();
}

std::uint64_t FaultScope::CallsSeen(const std::string& operation) const
{
    return FailableCallCount(operation);
}

std::vector<FailedCall> FaultScope::Failed() const
{
    return FailedCalls();
}

} // namespace host
