// CMiniportTopology: the miniport behind each of the four topology
// subdevices ("NUV_Mixer1" to "NUV_Mixer4").
//
// It has no controls and no property handlers, takes no part in streaming
// and never calls the engine. Its only work is to tell its port which filter
// it describes: all four share the tables of topotables.h, and
// GetDescription adapts pin 1 of the shared pin table to the miniport's
// device index (a line output named PINNAME_OUTPUT_1..3 for devices 0 to 2,
// a speaker named PINNAME_OUTPUT_4 for device 3) before handing it out.
//
// The shared pin table holds the variant of whichever miniport described
// itself last. Device start builds the pairs one at a time, and each
// topology port reads the description during its own Init, so every port
// sees its own variant.
//
// Ownership: the port holds the miniport; the miniport holds one reference
// on the port from Init until it is destroyed.
#pragma once

#include <portcls.h>

#include "common/unknown.h"

class CMiniportTopology : public IMiniportTopology, public CUnknown
{
public:
    DECLARE_STD_UNKNOWN();

    explicit CMiniportTopology(_In_opt_ PUNKNOWN OuterUnknown) : CUnknown(OuterUnknown) {}
    // Resident: the last Release may come at DISPATCH_LEVEL.
    ~CMiniportTopology() override;

    // IMiniport. GetDescription is pageable; DataRangeIntersection is
    // resident and always declines.
    STDMETHODIMP_(NTSTATUS) GetDescription(_Out_ PPCFILTER_DESCRIPTOR* Description) override;
    STDMETHODIMP_(NTSTATUS)
    DataRangeIntersection(_In_ ULONG PinId, _In_ PKSDATARANGE ClientDataRange,
                          _In_ PKSDATARANGE MyDataRange, _In_ ULONG OutputBufferLength,
                          _Out_writes_bytes_opt_(OutputBufferLength) PVOID ResultantFormat,
                          _Out_ PULONG ResultantFormatLength) override;

    // IMiniportTopology. Pageable. UnknownAdapter is not an object: it is the
    // address of the ENGINE_INTERFACE record that device start passes through
    // the port.
    STDMETHODIMP_(NTSTATUS)
    Init(_In_ PUNKNOWN UnknownAdapter, _In_opt_ PRESOURCELIST ResourceList,
         _In_ PPORTTOPOLOGY Port) override;

private:
    // The port that initialised the miniport; a counted reference, null
    // before Init.
    PPORTTOPOLOGY m_Port;
    // 0 to 3 from device start; 0 before Init. Selects pin 1's variant.
    ULONG m_DeviceIndex;
};

// Creates a topology miniport with one reference, from PoolType, tag PcCr.
// The class identifier is not looked at. On failure Unknown is left
// untouched.
_IRQL_requires_(PASSIVE_LEVEL) NTSTATUS
    CreateMiniportTopology(_Out_ PUNKNOWN* Unknown, _In_ REFCLSID ClassId,
                           _In_opt_ PUNKNOWN OuterUnknown, _In_ POOL_TYPE PoolType);
