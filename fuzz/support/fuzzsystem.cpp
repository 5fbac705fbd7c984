#include "fuzz/support/fuzzsystem.h"

#include "adapter/adapter.h"
#include "host/kernel/hostkernel.h"
#include "host/loader/driverbinary.h"
#include "wave/formatrules.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

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

namespace
{

host::DriverBinary ChooseDriver()
{
    const std::optional<std::string> path = host::loader::DriverImageFromEnvironment();
    if (!path)
        return host::DriverBinary{DriverEntry, nullptr};
    if (!std::filesystem::exists(*path))
    {
        std::printf("replay: %s not built (make windows builds it); skipped\n", path->c_str());
        std::exit(77);
    }
    std::string error;
    std::optional<host::DriverBinary> image = host::loader::LoadDriverImage(*path, error);
    if (!image)
        Finding(error);
    return *image;
}

} // namespace

StartedSystem::StartedSystem() : m_system(new host::System(ChooseDriver()))
{
    AbortOnViolation();
    if (const auto& image = m_system->Driver().image)
    {
        m_imageFormatRules = reinterpret_cast<NTSTATUS(NTAPI*)(PKSDATAFORMAT)>(
            const_cast<void*>(image->FindFunction("CheckWaveFormat")));
        if (m_imageFormatRules == nullptr)
            Finding("the image's symbols do not name CheckWaveFormat (" + image->SymbolStatus() +
                    ")");
    }
    if (!NT_SUCCESS(m_system->Load()) || !NT_SUCCESS(m_system->AddDevice()) ||
        !NT_SUCCESS(m_system->Start()))
        Finding("the host system did not start");
    m_subdevices = host::portcls::Subdevices(m_system->AdapterDevice());
    if (m_subdevices.size() != 8)
        Finding("the start registered " + std::to_string(m_subdevices.size()) +
                " subdevices, not 8");
}

NTSTATUS StartedSystem::FormatRules(PKSDATAFORMAT format) const
{
    if (m_imageFormatRules != nullptr)
        return m_imageFormatRules(format);
    return CheckWaveFormat(format);
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
