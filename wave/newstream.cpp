// CMiniportWavePci::NewStream, alone in its file: it opens a stream on the
// wave pin and belongs with the stream object.
#include "wave/minwave.h"

#include "common/codesections.h"

// Streams come next: until the stream object exists every request is refused
// and no out-parameter is written, so the port opens nothing.
PAGEABLE_CODE STDMETHODIMP_(NTSTATUS) CMiniportWavePci::NewStream(
    PMINIPORTWAVEPCISTREAM* Stream, PUNKNOWN OuterUnknown, POOL_TYPE PoolType,
    PPORTWAVEPCISTREAM PortStream, ULONG Pin, BOOLEAN Capture, PKSDATAFORMAT DataFormat,
    PDMACHANNEL* DmaChannel, PSERVICEGROUP* ServiceGroup)
{
    PAGED_CODE();
    UNREFERENCED_PARAMETER(Stream);
    UNREFERENCED_PARAMETER(OuterUnknown);
    UNREFERENCED_PARAMETER(PoolType);
    UNREFERENCED_PARAMETER(PortStream);
    UNREFERENCED_PARAMETER(Pin);
    UNREFERENCED_PARAMETER(Capture);
    UNREFERENCED_PARAMETER(DataFormat);
    UNREFERENCED_PARAMETER(DmaChannel);
    UNREFERENCED_PARAMETER(ServiceGroup);
    return STATUS_NOT_IMPLEMENTED;
}
