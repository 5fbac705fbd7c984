#include "tests/support/waveminiporttestbed.h"

namespace nuvtest
{

WaveMiniportTestbed::WaveMiniportTestbed(ULONG deviceIndex)
{
    record.Header.Size = sizeof(ENGINE_INTERFACE);
    record.Header.Version = ENGINE_INTERFACE_VERSION;
    record.EngineCall = engine.EntryPoint();
    record.EngineContext = engine.Context();
    record.InstanceCount = deviceIndex;
}

WaveMiniportTestbed::~WaveMiniportTestbed()
{
    Release();
}

NTSTATUS WaveMiniportTestbed::Create()
{
    PUNKNOWN unknown = nullptr;
    NTSTATUS status = CreateMiniportWavePci(&unknown, CLSID_PortWavePci, nullptr, NonPagedPoolNx);
    if (NT_SUCCESS(status))
    {
        miniport = static_cast<PMINIPORTWAVEPCI>(unknown);
        object = static_cast<CMiniportWavePci*>(miniport);
    }
    return status;
}

NTSTATUS WaveMiniportTestbed::Init()
{
    return miniport->Init(reinterpret_cast<PUNKNOWN>(&record), nullptr, &port, &serviceGroup);
}

void WaveMiniportTestbed::Release()
{
    if (miniport != nullptr)
    {
        miniport->Release();
        miniport = nullptr;
        object = nullptr;
    }
}

} // namespace nuvtest
