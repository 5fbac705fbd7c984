// CMiniportWavePci: the WavePci miniport of one wave filter. Four of them
// exist, one per wave/topology pair, created by device start and bound to a
// WavePci port. Each describes its filter (stereo, or six channels for device
// index 3), answers data-range intersections with the engine's current rate,
// creates the streams of its pin and hears power changes. It also keeps what
// its streams and the engine's notification path share: the engine entry
// point, the device index, the pin-in-use table and the stream table.
//
// Ownership: the port and each stream hold references to the miniport; the
// miniport holds its port and its DMA channel object, never its streams or
// their service groups.
//
// The streams (stream/) build on the miniport, never the other way round:
// they use the small surface marked below, and NewStream, which makes them,
// lives with them (stream/newstream.cpp).
#pragma once

#include <portcls.h>

#include "engine/engineinterface.h"
#include "common/unknown.h"

// Table dimensions, indexed [direction][pin]; direction 0 is render, 1 capture.
#define WAVE_DIRECTIONS 2
#define WAVE_PIN_IN_USE_PINS 6
#define WAVE_STREAM_TABLE_PINS 8

class CMiniportWavePciStream;

class CMiniportWavePci : public IMiniportWavePci, public IPowerNotify, public CUnknown
{
public:
    DECLARE_STD_UNKNOWN();

    explicit CMiniportWavePci(_In_opt_ PUNKNOWN OuterUnknown) : CUnknown(OuterUnknown) {}
    ~CMiniportWavePci() override;

    // IMiniport
    STDMETHODIMP_(NTSTATUS) GetDescription(_Out_ PPCFILTER_DESCRIPTOR* Description) override;
    STDMETHODIMP_(NTSTATUS)
    DataRangeIntersection(_In_ ULONG PinId, _In_ PKSDATARANGE ClientDataRange,
                          _In_ PKSDATARANGE MyDataRange, _In_ ULONG OutputBufferLength,
                          _Out_writes_bytes_opt_(OutputBufferLength) PVOID ResultantFormat,
                          _Out_ PULONG ResultantFormatLength) override;

    // IMiniportWavePci
    STDMETHODIMP_(NTSTATUS)
    Init(_In_ PUNKNOWN UnknownAdapter, _In_ PRESOURCELIST ResourceList, _In_ PPORTWAVEPCI Port,
         _Out_ PSERVICEGROUP* ServiceGroup) override;
    STDMETHODIMP_(NTSTATUS)
    NewStream(_Out_ PMINIPORTWAVEPCISTREAM* Stream, _In_opt_ PUNKNOWN OuterUnknown,
              _In_ POOL_TYPE PoolType, _In_ PPORTWAVEPCISTREAM PortStream, _In_ ULONG Pin,
              _In_ BOOLEAN Capture, _In_ PKSDATAFORMAT DataFormat, _Out_ PDMACHANNEL* DmaChannel,
              _Out_ PSERVICEGROUP* ServiceGroup) override;
    STDMETHODIMP_(void) Service() override;

    // IPowerNotify
    STDMETHODIMP_(void) PowerChangeNotify(_In_ POWER_STATE NewState) override;

    // --- What the streams of this miniport use (stream/minstream.h) ---

    // Every engine command of the miniport and of its streams goes through
    // here. Resident; never called with a spin lock held.
    VOID CallEngine(_In_ ULONG Command, _Inout_ PVOID Parameters)
    {
        m_EngineCall(m_EngineContext, Command, Parameters);
    }
    // The service group the engine's notification schedules for a pin (none
    // with NULL): a stream publishes its own once its engine stream has
    // started, and clears it before it goes. No reference is taken.
    VOID PublishServiceGroup(_In_ ULONG Capture, _In_ ULONG Pin, _In_opt_ PSERVICEGROUP Group)
    {
        InterlockedExchangePointer(reinterpret_cast<PVOID volatile*>(&m_StreamTable[Capture][Pin]),
                                   Group);
    }
    // The engine's period ends counted on [direction][pin] so far (see
    // m_PeriodEnds).
    ULONG PeriodEnds(_In_ ULONG Capture, _In_ ULONG Pin)
    {
        return static_cast<ULONG>(InterlockedCompareExchange(&m_PeriodEnds[Capture][Pin], 0, 0));
    }
    // A stream going away frees its pin for the next NewStream.
    VOID ReleasePin(_In_ ULONG Capture, _In_ ULONG Pin) { m_PinInUse[Capture][Pin] = 0; }

    // --- What the engine's notification does (EngineNotify, below) ---

    // Counts the period end and asks the port to schedule the service group
    // published for the pin, if there is one. DISPATCH_LEVEL; takes no lock.
    VOID PeriodEnded(_In_ ULONG Capture, _In_ ULONG Pin);

    // --- What the channel-configuration property sets ---

    VOID SetChannelCount(_In_ USHORT Channels) { m_ChannelCount = Channels; }

    // The filter-wide settings as Init and the channel-configuration
    // property left them, for inspection (the tests read them; the
    // miniport's own code reads its fields).
    ULONG DeviceIndex() const { return m_DeviceIndex; }
    USHORT ChannelCount() const { return m_ChannelCount; }

private:
    // The port that initialised the miniport; a counted reference.
    PPORTWAVEPCI m_Port;
    // The service group of the stream running on each pin, or none. No
    // reference is held through it. Each entry is written and read whole
    // (one pointer-sized access): the engine's notification reads it at
    // DISPATCH_LEVEL without a lock while streams start and go away. Once
    // streams exist, every access goes through the two functions below: an
    // interlocked operation is one pointer-sized access that also orders
    // itself against the other thread's, which a plain volatile one is not.
    PSERVICEGROUP volatile m_StreamTable[WAVE_DIRECTIONS][WAVE_STREAM_TABLE_PINS];
    PSERVICEGROUP PublishedServiceGroup(_In_ ULONG Capture, _In_ ULONG Pin)
    {
        return static_cast<PSERVICEGROUP>(InterlockedCompareExchangePointer(
            reinterpret_cast<PVOID volatile*>(&m_StreamTable[Capture][Pin]), NULL, NULL));
    }
    // Engine period ends seen on each [direction][pin], counted by
    // EngineNotify while a service group is published there. The engine
    // takes a half of the stream's buffer after each one, whether or not
    // the Service it asks for has run by then, so a stream's Service counts
    // from this how many halves the engine has taken since it last looked:
    // more than one when a notification's Service came late or two were
    // folded into one. Each entry only grows, by interlocked increments;
    // streams read it whole.
    volatile LONG m_PeriodEnds[WAVE_DIRECTIONS][WAVE_STREAM_TABLE_PINS];
    VOID CountPeriodEnd(_In_ ULONG Capture, _In_ ULONG Pin)
    {
        InterlockedIncrement(&m_PeriodEnds[Capture][Pin]);
    }
    PENGINE_CALL m_EngineCall;
    PVOID m_EngineContext;
    // The last device power state accepted; PowerDeviceD0 after Init.
    ULONG m_PowerState;
    // 0 to 3: selects the filter descriptor and goes with stream commands.
    ULONG m_DeviceIndex;
    // Set by the channel-configuration property; read by PCM intersections.
    USHORT m_ChannelCount;
    // Made by the port in Init; handed to the port with every new stream.
    PDMACHANNEL m_DmaChannel;
    // 1 while a stream exists on [direction][pin]. NewStream tests and sets
    // it; the port issues NewStream calls one at a time.
    UCHAR m_PinInUse[WAVE_DIRECTIONS][WAVE_PIN_IN_USE_PINS];
};

// Called by the engine once per period of a running stream, with the
// registered capture flag, pin and context (the wave miniport): the
// miniport's PeriodEnded for that pin. The streams register it when their
// engine stream starts. Resident, DISPATCH_LEVEL; takes no lock.
_IRQL_requires_max_(DISPATCH_LEVEL) VOID NTAPI
    EngineNotify(_In_ ULONG Capture, _In_ ULONG Pin, _In_ PVOID CallbackContext);

// Creates a wave miniport with one reference, from PoolType, tag PcCr. The
// class identifier is not looked at. On failure Unknown is left untouched.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    CreateMiniportWavePci(_Out_ PUNKNOWN* Unknown, _In_ REFCLSID ClassId,
                          _In_opt_ PUNKNOWN OuterUnknown, _In_ POOL_TYPE PoolType);
