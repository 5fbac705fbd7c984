// CMiniportWavePci::NewStream, alone in its file: the miniport's, but it
// makes the stream and belongs with it, so that the stream builds on the
// miniport (wave/minwave.h) and the miniport never includes the stream.
#include "stream/minstream.h"

#include "common/codesections.h"
#include "common/pooltypes.h"
#include "wave/formatrules.h"

// One stream per pin and direction. The pin-in-use test and set are not one
// atomic step: the port issues NewStream calls one at a time.
PAGEABLE_CODE STDMETHODIMP_(NTSTATUS) CMiniportWavePci::NewStream(
    PMINIPORTWAVEPCISTREAM* Stream, PUNKNOWN OuterUnknown, POOL_TYPE PoolType,
    PPORTWAVEPCISTREAM PortStream, ULONG Pin, BOOLEAN Capture, PKSDATAFORMAT DataFormat,
    PDMACHANNEL* DmaChannel, PSERVICEGROUP* ServiceGroup)
{
    PAGED_CODE();

    // The filters offer pin 0 only; nothing outside the tables is looked up.
    if (Capture > 1 || Pin >= WAVE_PIN_IN_USE_PINS)
    {
        return STATUS_INVALID_PARAMETER;
    }
    // A pin in use is refused before the format is looked at.
    if (m_PinInUse[Capture][Pin] == 1)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    NTSTATUS ntStatus = CheckWaveFormat(DataFormat);
    if (!NT_SUCCESS(ntStatus))
    {
        return ntStatus;
    }

    CMiniportWavePciStream* stream = NULL;
    // Whatever the port asks for, the stream is not executable memory.
    ntStatus = CreateMiniportWavePciStream(&stream, OuterUnknown, NonExecutablePoolType(PoolType));
    if (!NT_SUCCESS(ntStatus))
    {
        return ntStatus;
    }

    PSERVICEGROUP serviceGroup = NULL;
    ntStatus =
        stream->Init(this, PortStream, m_DeviceIndex, Pin, Capture, DataFormat, &serviceGroup);
    if (!NT_SUCCESS(ntStatus))
    {
        // Its destruction drops what Init took; the pin stays free. The
        // creation reference went to the outer unknown; when there is one,
        // it never owned the half-made stream, so the stream is also
        // destroyed through its own non-delegating unknown, or it would leak.
        static_cast<PMINIPORTWAVEPCISTREAM>(stream)->Release();
        if (OuterUnknown != NULL)
        {
            PNONDELEGATINGUNKNOWN inner = stream;
            inner->NonDelegatingAddRef();
            inner->NonDelegatingRelease();
        }
        *Stream = NULL;
        return ntStatus;
    }

    *ServiceGroup = serviceGroup;
    // The creation reference passes to the port; the DMA channel goes
    // without one, as the port expects.
    *Stream = stream;
    *DmaChannel = m_DmaChannel;

    // The engine's notification reaches the stream only once it has started.
    m_PinInUse[Capture][Pin] = 1;
    PublishServiceGroup(Capture, Pin, NULL);
    return STATUS_SUCCESS;
}
