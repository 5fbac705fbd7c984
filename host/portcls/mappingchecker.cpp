#include "host/portcls/mappingchecker.h"

#include "host/kernel/conduct.h"
#include "host/kernel/irql.h"
#include "host/kernel/spinlock.h"

#include <algorithm>
#include <cstdio>

namespace host::portcls
{
void ReportPortStreamProblem(const std::string& problem)
{
    ReportViolation(ViolationKind::Custom, "port stream: " + problem);
}

std::string TagText(PVOID tag)
{
    char text[32];
    std::snprintf(text, sizeof(text), "%p", tag);
    return text;
}

bool MappingChecker::CheckCaller(const char* method) const
{
    const KIRQL irql = KeGetCurrentIrql();
    if (irql != DISPATCH_LEVEL)
    {
        ReportPortStreamProblem(std::string(method) + " called at " + IrqlName(irql) +
                                "; the stream calls it at DISPATCH_LEVEL with its spin lock held");
        return false;
    }
    if (HeldSpinLockCount() == 0)
    {
        ReportPortStreamProblem(
            std::string(method) +
            " called with no spin lock held; the stream's lock must be held across it");
        return false;
    }
    return true;
}

bool MappingChecker::CheckGetMappingArguments(PPHYSICAL_ADDRESS physicalAddress,
                                              PVOID* virtualAddress, PULONG byteCount,
                                              PULONG flags) const
{
    if (physicalAddress != nullptr && virtualAddress != nullptr && byteCount != nullptr &&
        flags != nullptr)
        return true;
    ReportPortStreamProblem("GetMapping with a null out-parameter");
    return false;
}

void MappingChecker::HandedOut(std::uint64_t mapping, PVOID tag)
{
    if (m_firstTag == nullptr)
        m_firstTag = tag;
    m_outstanding.push_back({mapping, tag});
    // From here on, a release is of this mapping or of an older one.
    m_revokedUnreleased = 0;
}

MappingChecker::ReleaseOutcome MappingChecker::Release(PVOID tag)
{
    using Kind = ReleaseOutcome::Kind;
    auto mine = std::find_if(m_outstanding.begin(), m_outstanding.end(),
                             [tag](const Outstanding& m) { return m.tag == tag; });
    if (mine != m_outstanding.end())
    {
        const std::uint64_t mapping = mine->mapping;
        m_outstanding.erase(mine);
        return {Kind::Released, mapping, {}};
    }
    if (m_revokedUnreleased != 0)
    {
        // The port took the mapping back a moment before the stream heard of
        // it. A stream that decided to release it before it heard may arrive
        // here during RevokeMappings, or after it returned: it waited for the
        // port's lock, or was preempted on its way here. It cannot close that
        // gap by waiting in RevokeMappings, since a port may hold its lock
        // while it calls there.
        --m_revokedUnreleased;
        return {Kind::RevokedEarlier, 0, {}};
    }
    if (!m_outstanding.empty())
        return {Kind::Refused, 0,
                "ReleaseMapping with another tag (" + TagText(tag) +
                    ") than the outstanding mappings were got with (" +
                    TagText(m_outstanding.front().tag) + ")"};
    return {Kind::Refused, 0,
            "ReleaseMapping with tag " + TagText(tag) +
                " and no mapping outstanding: released twice, released after it was revoked, "
                "or never got"};
}

std::vector<MappingChecker::Outstanding> MappingChecker::RevokeAll()
{
    std::vector<Outstanding> revoked(m_outstanding.begin(), m_outstanding.end());
    m_revokedUnreleased += m_outstanding.size();
    m_outstanding.clear();
    return revoked;
}

} // namespace host::portcls
