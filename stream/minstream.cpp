// CMiniportWavePciStream: creation, initialisation, format changes, allocator
// framing, the interface query and destruction. All of it runs at
// PASSIVE_LEVEL and is pageable.
#include "stream/minstream.h"

#include <ksmedia.h>

#include "common/codesections.h"
#include "common/pooltags.h"
#include "stream/convert.h"
#include "wave/formatrules.h"

PAGEABLE_CODE
NTSTATUS CreateMiniportWavePciStream(CMiniportWavePciStream** Stream, PUNKNOWN OuterUnknown,
                                     POOL_TYPE PoolType)
{
    PAGED_CODE();

    CMiniportWavePciStream* stream =
        new (PoolType, POOL_TAG_OBJECT) CMiniportWavePciStream(OuterUnknown);
    if (stream == NULL)
    {
        *Stream = NULL;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *Stream = stream;
    // The caller's one reference, through the primary interface.
    static_cast<PMINIPORTWAVEPCISTREAM>(stream)->AddRef();
    return STATUS_SUCCESS;
}

PAGEABLE_CODE
NTSTATUS CMiniportWavePciStream::Init(CMiniportWavePci* Miniport, PPORTWAVEPCISTREAM PortStream,
                                      ULONG DeviceIndex, ULONG Pin, BOOLEAN Capture,
                                      PKSDATAFORMAT DataFormat, PSERVICEGROUP* ServiceGroup)
{
    PAGED_CODE();

    m_Miniport = Miniport;
    static_cast<PMINIPORTWAVEPCI>(m_Miniport)->AddRef();
    // The table row and column come first: destruction of a stream that
    // fails below clears its pin-in-use entry, which must be its own.
    m_Capture = Capture ? 1 : 0;
    m_Pin = Pin;

    m_Format = DataFormat;
    PWAVEFORMATEX waveFormat = FindWaveFormat(DataFormat);
    if (waveFormat == NULL)
    {
        return STATUS_INVALID_PARAMETER;
    }
    m_Channels = waveFormat->nChannels;
    ULONG bytesPerSample = static_cast<ULONG>(waveFormat->wBitsPerSample) >> 3;
    // The transfer divides by N and N * B and puts each sample into one
    // container. A pass-through format may come with 0 channels.
    if (m_Channels == 0 || bytesPerSample < 2 || bytesPerSample > CONTAINER_BYTES)
    {
        return STATUS_INVALID_PARAMETER;
    }

    ENGINE_PERIOD_PARAMS period = {};
    m_Miniport->CallEngine(ENGINE_CMD_GET_PERIOD, &period);
    ULONG frames = period.PeriodFrames;
    // The absent engine answers 0; a period whose buffer size does not fit
    // 32 bits is no more usable.
    if (frames == 0 || frames > MAXULONG / (m_Channels * 2 * CONTAINER_BYTES))
    {
        return STATUS_DEVICE_NOT_READY;
    }

    m_DeviceIndex = DeviceIndex;
    m_PeriodContainerBytes = frames * m_Channels * CONTAINER_BYTES;
    m_BufferBytes = 2 * m_PeriodContainerBytes;
    m_ClientBytesPerSample = bytesPerSample;
    m_PeriodClientBytes = frames * m_Channels * bytesPerSample;
    m_BufferClientBytes = 2 * frames * m_Channels * bytesPerSample;
    m_FrameClientBytes = m_Channels * bytesPerSample;
    m_FrameContainerBytes = m_Channels * CONTAINER_BYTES;
    m_PeriodFrames = frames;

    m_PortStream = PortStream;
    m_PortStream->AddRef();

    m_SampleRate = waveFormat->nSamplesPerSec;
    KeInitializeSpinLock(&m_Lock);

    NTSTATUS ntStatus = SetFormat(DataFormat);
    if (!NT_SUCCESS(ntStatus))
    {
        return ntStatus;
    }
    m_SampleRate = waveFormat->nSamplesPerSec;
    m_Channels = waveFormat->nChannels;

    ntStatus = PcNewServiceGroup(&m_ServiceGroup, NULL);
    if (!NT_SUCCESS(ntStatus))
    {
        m_ServiceGroup = NULL;
        return ntStatus;
    }
    *ServiceGroup = m_ServiceGroup;
    m_ServiceGroup->AddRef();

    m_BufferOffset = 0;
    m_ClientPhase = 0;
    m_MappingsReleased = 0;
    m_MappingBytes = 0;
    m_BufferAttached = 0;
    m_Running = 0;
    m_CompletedBytes = 0;
    m_ServiceCount = 0;
    m_PeriodBytesDone = 0;
    m_TotalBytes = 0;
    m_EngineFrames = 0;
    ResetPosition();
    return STATUS_SUCCESS;
}

// The rate is requested from the engine before the format is checked, so a
// refused format may still leave the device at the requested rate. The sizes
// stay those of the creation format: a format with another channel count or
// sample size is refused before anything reaches the engine, since the
// buffer, the period and the allocator framing the port was given all depend
// on them.
PAGEABLE_CODE
STDMETHODIMP_(NTSTATUS) CMiniportWavePciStream::SetFormat(PKSDATAFORMAT DataFormat)
{
    PAGED_CODE();

    if (ReadShared(&m_Running) == 1)
    {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    PWAVEFORMATEX waveFormat = FindWaveFormat(DataFormat);
    if (waveFormat == NULL)
    {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (waveFormat->nChannels != m_Channels ||
        (static_cast<ULONG>(waveFormat->wBitsPerSample) >> 3) != m_ClientBytesPerSample)
    {
        return STATUS_INVALID_DEVICE_REQUEST;
    }

    ENGINE_RATE_PARAMS rate = {};
    rate.SampleRate = waveFormat->nSamplesPerSec;
    m_Miniport->CallEngine(ENGINE_CMD_SAMPLE_RATE, &rate);
    if (rate.CurrentRate != waveFormat->nSamplesPerSec)
    {
        return STATUS_INVALID_DEVICE_REQUEST;
    }

    if (!NT_SUCCESS(CheckWaveFormat(DataFormat)))
    {
        return STATUS_INVALID_DEVICE_REQUEST;
    }

    m_NonPcm = IsPassThroughSubFormat(DataFormat->SubFormat) ? 1 : 0;
    m_Format = DataFormat;
    m_SampleRate = waveFormat->nSamplesPerSec;
    m_Channels = waveFormat->nChannels;

    ENGINE_FORMAT_PARAMS format = {};
    format.DeviceIndex = m_DeviceIndex;
    format.SampleRate = waveFormat->nSamplesPerSec;
    format.Channels = waveFormat->nChannels;
    format.BitsPerSample = waveFormat->wBitsPerSample;
    format.NonPcm = m_NonPcm;
    m_Miniport->CallEngine(ENGINE_CMD_SET_FORMAT, &format);
    return static_cast<NTSTATUS>(format.Result);
}

// One frame of one period of client bytes, in system memory; the reserved
// field stays as the caller passed it.
PAGEABLE_CODE
STDMETHODIMP_(NTSTATUS)
CMiniportWavePciStream::GetAllocatorFraming(PKSALLOCATOR_FRAMING AllocatorFraming)
{
    PAGED_CODE();

    AllocatorFraming->RequirementsFlags =
        KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY | KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY;
    AllocatorFraming->PoolType = NonPagedPoolNx;
    AllocatorFraming->Frames = 1;
    AllocatorFraming->FrameSize = m_PeriodClientBytes;
    AllocatorFraming->FileAlignment = FILE_LONG_ALIGNMENT;
    return STATUS_SUCCESS;
}

// Every identifier the stream answers gets its primary interface.
PAGEABLE_CODE
STDMETHODIMP_(NTSTATUS)
CMiniportWavePciStream::NonDelegatingQueryInterface(REFIID InterfaceId, PVOID* Interface)
{
    PAGED_CODE();

    // Only what the object implements. IServiceSink is not among it: the
    // stream's Service is a method of IMiniportWavePciStream, and a caller
    // that called RequestService through that table would reach SetFormat.
    if (IsEqualGUIDAligned(InterfaceId, IID_IMiniportWavePciStream) ||
        IsEqualGUIDAligned(InterfaceId, IID_IUnknown))
    {
        return ReturnInterface(static_cast<PMINIPORTWAVEPCISTREAM>(this), Interface);
    }
    return RefuseInterface(Interface);
}

// The port takes a stream to STOP before it releases it, and then the engine
// has neither callback nor buffer left. A stream released in another state
// still has both, and the callback's context is the miniport whose reference
// goes below: stop the engine stream, clear the callback, detach and free the
// buffer first. For a stopped stream none of that sends anything.
PAGEABLE_CODE
CMiniportWavePciStream::~CMiniportWavePciStream()
{
    PAGED_CODE();

    if (m_Miniport != NULL)
    {
        StopEngine();
        DetachAndFreeBuffer();
        if (m_ServiceGroup != NULL)
        {
            m_Miniport->PublishServiceGroup(m_Capture, m_Pin, NULL);
            m_ServiceGroup->Release();
            m_ServiceGroup = NULL;
        }
        m_Miniport->ReleasePin(m_Capture, m_Pin);
        static_cast<PMINIPORTWAVEPCI>(m_Miniport)->Release();
        m_Miniport = NULL;
    }
    if (m_PortStream != NULL)
    {
        m_PortStream->Release();
        m_PortStream = NULL;
    }
}
