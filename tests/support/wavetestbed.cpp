#include "tests/support/wavetestbed.h"

namespace nuvtest
{

WaveMiniportBench::WaveMiniportBench(ULONG deviceIndex)
{
    record.Header.Size = sizeof(ENGINE_INTERFACE);
    record.Header.Version = ENGINE_INTERFACE_VERSION;
    record.EngineCall = engine.EntryPoint();
    record.EngineContext = engine.Context();
    record.InstanceCount = deviceIndex;
}

WaveMiniportBench::~WaveMiniportBench()
{
    Release();
}

NTSTATUS WaveMiniportBench::Create()
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

NTSTATUS WaveMiniportBench::Init()
{
    return miniport->Init(reinterpret_cast<PUNKNOWN>(&record), nullptr, &port, &serviceGroup);
}

void WaveMiniportBench::Release()
{
    if (miniport != nullptr)
    {
        miniport->Release();
        miniport = nullptr;
        object = nullptr;
    }
}

} // namespace nuvtest
