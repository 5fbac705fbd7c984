#include "fuzz/support/fuzzsystem.h"

#include "adapter/adapter.h"
#include "host/kernel/hostkernel.h"

#include <cstdio>
#include <cstdlib>

namespace nuvfuzz
{

void AbortOnViolation()
{
    static const bool installed = []
    {
        host::SetViolationHandler(host::PrintAndAbortHandler());
        return true;
    }();
    (void)installed;
}

void Finding(const std::string& what)
{
    std::fprintf(stderr, "fuzz finding: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

StartedSystem& StartedSystem::Get()
{
    static StartedSystem& system = *new StartedSystem;
    return system;
}

StartedSystem::StartedSystem() : m_system(new host::System(DriverEntry))
{
    AbortOnViolation();
    if (!NT_SUCCESS(m_system->Load()) || !NT_SUCCESS(m_system->AddDevice()) ||
        !NT_SUCCESS(m_system->Start()))
        Finding("the host system did not start");
    m_subdevices = host::portcls::Subdevices(m_system->AdapterDevice());
    if (m_subdevices.size() != 8)
        Finding("the start registered " + std::to_string(m_subdevices.size()) +
                " subdevices, not 8");
}

void StartedSystem::ForgetRecords()
{
    host::portcls::ClearCalls();
    m_system->Engine().ClearCommands();
    m_system->Engine().ForgetPlayed();
}

PoolBaseline::PoolBaseline()
{
    for (ULONG tag : host::System::DriverPoolTags())
        m_outstanding.push_back(host::Pool().Outstanding(tag));
}

void PoolBaseline::CheckNothingLeaked() const
{
    // Guard damage is reported (fatally) by the check itself.
    host::Pool().CheckGuards();
    const std::vector<ULONG> tags = host::System::DriverPoolTags();
    for (std::size_t i = 0; i < tags.size(); ++i)
    {
        const std::size_t now = host::Pool().Outstanding(tags[i]);
        if (now != m_outstanding[i])
            Finding("pool blocks of tag " + host::TagName(tags[i]) + ": " + std::to_string(now) +
                    " outstanding after the input, " + std::to_string(m_outstanding[i]) +
                    " before");
    }
}

} // namespace nuvfuzz
