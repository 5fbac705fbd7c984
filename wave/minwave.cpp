#include "wave/minwave.h"

#include "common/codesections.h"
#include "common/pooltags.h"
#include "wave/formatrules.h"
#include "wave/wavetables.h"

// The master DMA channel the WavePci port insists on. Nothing is ever
// transferred through it (the engine moves the data), so width and speed are
// all bits set rather than any named DMA_WIDTH or DMA_SPEED value.
#define WAVE_DMA_ALL_BITS 0xFFFFFFFF
#define WAVE_DMA_MAXIMUM_LENGTH 65536

// Pins below this one are the PCM pins of the intersection; this filter has
// pins 0 and 1 only, so the compressed path is never reached from its ranges.
#define WAVE_FIRST_NONPCM_PIN 4

// Every wave miniport sends this one STOP on entering D3, whatever its
// device index: the engine stops the whole device.
#define WAVE_POWER_DOWN_STOP_CAPTURE 4

// The class identifier is not looked at (it has no name here: the DDK's
// UNREFERENCED_PARAMETER assigns, which a constant reference refuses).
PAGEABLE_CODE NTSTATUS CreateMiniportWavePci(PUNKNOWN* Unknown, REFCLSID, PUNKNOWN OuterUnknown,
                                             POOL_TYPE PoolType)
{
    PAGED_CODE();

    // The storage comes zero-filled: every field not set by Init starts at 0.
    CMiniportWavePci* miniport = new (PoolType, POOL_TAG_OBJECT) CMiniportWavePci(OuterUnknown);
    if (miniport == NULL)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    *Unknown = static_cast<PMINIPORTWAVEPCI>(miniport);
    (*Unknown)->AddRef();
    return STATUS_SUCCESS;
}

// Resident: the destructor runs from the last Release, which may come at
// DISPATCH_LEVEL.
CMiniportWavePci::~CMiniportWavePci()
{
    if (m_DmaChannel != NULL)
    {
        m_DmaChannel->Release();
        m_DmaChannel = NULL;
    }
    m_EngineCall = NULL;
    if (m_Port != NULL)
    {
        m_Port->Release();
        m_Port = NULL;
    }
}

// Resident, like the forwarding QueryInterface slots that reach it.
STDMETHODIMP_(NTSTATUS)
CMiniportWavePci::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    if (IsEqualGUIDAligned(InterfaceId, IID_IUnknown) ||
        IsEqualGUIDAligned(InterfaceId, IID_IMiniport) ||
        IsEqualGUIDAligned(InterfaceId, IID_IMiniportWavePci))
    {
        return ReturnInterface(static_cast<PMINIPORTWAVEPCI>(this), Interface);
    }
    if (IsEqualGUIDAligned(InterfaceId, IID_IPowerNotify))
    {
        return ReturnInterface(static_cast<PPOWERNOTIFY>(this), Interface);
    }
    return RefuseInterface(Interface);
}

PAGEABLE_CODE
STDMETHODIMP_(NTSTATUS) CMiniportWavePci::GetDescription(PPCFILTER_DESCRIPTOR* Description)
{
    PAGED_CODE();

    // The constant tables are never written; the port only reads through the
    // non-constant pointer its interface asks for.
    const PCFILTER_DESCRIPTOR* descriptor = m_DeviceIndex == WAVE_MULTICHANNEL_DEVICE_INDEX
                                                ? &WaveFilterDescriptorMulti
                                                : &WaveFilterDescriptorStereo;
    *Description = const_cast<PPCFILTER_DESCRIPTOR>(descriptor);
    return STATUS_SUCCESS;
}

// Resident: the engine's SAMPLE_RATE query is sent from non-pageable code.
STDMETHODIMP_(NTSTATUS)
CMiniportWavePci::DataRangeIntersection(ULONG PinId, PKSDATARANGE ClientDataRange,
                                        PKSDATARANGE MyDataRange, ULONG OutputBufferLength,
                                        PVOID ResultantFormat, PULONG ResultantFormatLength)
{
    // Asked on every call, size queries too: the device runs all its streams
    // at one rate, which may have changed since the last intersection.
    ENGINE_RATE_PARAMS rate;
    RtlZeroMemory(&rate, sizeof(rate));
    rate.SampleRate = 0;
    CallEngine(ENGINE_CMD_SAMPLE_RATE, &rate);

    if (PinId < WAVE_FIRST_NONPCM_PIN)
    {
        return IntersectPcm(rate.CurrentRate, m_ChannelCount, PinId, ClientDataRange, MyDataRange,
                            OutputBufferLength, ResultantFormat, ResultantFormatLength);
    }
    return IntersectNonPcm(rate.CurrentRate, PinId, ClientDataRange, MyDataRange,
                           OutputBufferLength, ResultantFormat, ResultantFormatLength);
}

PAGEABLE_CODE STDMETHODIMP_(NTSTATUS) CMiniportWavePci::Init(PUNKNOWN UnknownAdapter,
                                                             PRESOURCELIST ResourceList,
                                                             PPORTWAVEPCI Port,
                                                             PSERVICEGROUP* ServiceGroup)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(ResourceList);

    // The miniport has no service group of its own (each stream has one);
    // the out-parameter is set before anything can fail.
    *ServiceGroup = NULL;

    // UnknownAdapter is not an object here: device start passes the address
    // of its ENGINE_INTERFACE record, read as a record (no QueryInterface, no
    // reference). Without it, or without a port, there is nothing to bind
    // to; refusing keeps the miniport from ever calling through a null entry
    // point.
    if (UnknownAdapter == NULL || Port == NULL)
    {
        return STATUS_INVALID_PARAMETER;
    }
    const ENGINE_INTERFACE* engine = reinterpret_cast<const ENGINE_INTERFACE*>(UnknownAdapter);
    m_EngineCall = engine->EngineCall;
    m_EngineContext = engine->EngineContext;
    // Device start raises the count after each pair: its value now is the
    // index of the pair being built.
    m_DeviceIndex = engine->InstanceCount;

    m_Port = Port;
    m_Port->AddRef();

    // The whole tables, single stores: nothing runs on this miniport yet.
    for (ULONG direction = 0; direction < WAVE_DIRECTIONS; ++direction)
    {
        for (ULONG pin = 0; pin < WAVE_STREAM_TABLE_PINS; ++pin)
        {
            m_StreamTable[direction][pin] = NULL;
        }
        for (ULONG pin = 0; pin < WAVE_PIN_IN_USE_PINS; ++pin)
        {
            m_PinInUse[direction][pin] = 0;
        }
    }

    m_PowerState = PowerDeviceD0;
    m_ChannelCount = 2;

    NTSTATUS ntStatus = Port->NewMasterDmaChannel(
        &m_DmaChannel, NULL, NonPagedPoolNx, NULL, TRUE, TRUE, FALSE, FALSE,
        static_cast<DMA_WIDTH>(WAVE_DMA_ALL_BITS), static_cast<DMA_SPEED>(WAVE_DMA_ALL_BITS),
        WAVE_DMA_MAXIMUM_LENGTH, 0);
    // The engine fields and the port reference stay on failure; destruction
    // releases them. An informational status is not passed on.
    if (!NT_SUCCESS(ntStatus))
    {
        return ntStatus;
    }
    return STATUS_SUCCESS;
}

// Resident, and does nothing: all periodic work is in the streams.
STDMETHODIMP_(void) CMiniportWavePci::Service() {}

// Resident: the power-down STOP is sent from non-pageable code.
STDMETHODIMP_(void) CMiniportWavePci::PowerChangeNotify(POWER_STATE NewState)
{
    DEVICE_POWER_STATE state = NewState.DeviceState;
    if (static_cast<ULONG>(state) == m_PowerState)
    {
        return;
    }
    if (state < PowerDeviceD0 || state > PowerDeviceD3)
    {
        return;
    }
    m_PowerState = state;

    // Only entering D3 tells the engine; a return to D0 starts nothing and
    // the streams are not told.
    if (state == PowerDeviceD3)
    {
        ENGINE_STREAM_PARAMS stop;
        RtlZeroMemory(&stop, sizeof(stop));
        stop.Capture = WAVE_POWER_DOWN_STOP_CAPTURE;
        stop.DeviceIndex = 0;
        stop.Pin = 0;
        stop.Channels = 0;
        CallEngine(ENGINE_CMD_STOP, &stop);
    }
}

// The engine's notification, the one way into the stream table from outside:
// resident, DISPATCH_LEVEL, no lock.
VOID NTAPI EngineNotify(ULONG Capture, ULONG Pin, PVOID CallbackContext)
{
    CMiniportWavePci* miniport = static_cast<CMiniportWavePci*>(CallbackContext);
    if (miniport == NULL)
    {
        return;
    }
    miniport->PeriodEnded(Capture, Pin);
}

VOID CMiniportWavePci::PeriodEnded(ULONG Capture, ULONG Pin)
{
    if (m_Port == NULL)
    {
        return;
    }
    if (Capture >= WAVE_DIRECTIONS || Pin >= WAVE_STREAM_TABLE_PINS)
    {
        return;
    }
    // One pointer-sized read: StartEngine publishes the entry, NewStream and
    // the stream's destruction clear it.
    PSERVICEGROUP serviceGroup = PublishedServiceGroup(Capture, Pin);
    if (serviceGroup == NULL)
    {
        return;
    }
    // Counted before the port is asked: a Service for an earlier end may be
    // running on another processor and must learn of this one.
    CountPeriodEnd(Capture, Pin);
    m_Port->Notify(serviceGroup);
}
