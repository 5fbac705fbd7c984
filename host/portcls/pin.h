// Pins of a wave filter, opened as a client opens them: the test- and
// tool-facing API of the library's streaming side.
//
//     std::unique_ptr<host::portcls::Pin> pin;
//     NTSTATUS status = host::portcls::Pin::Open(miniport, 0, formatBytes, {}, pin);
//     pin->Write(audio);                      // queued, handed out as mappings
//     pin->SetState(KSSTATE_RUN);             // through ACQUIRE and PAUSE
//     clock.AdvancePeriods(4);                // host/engine/clock.h
//     ULONGLONG position = 0;
//     pin->GetPosition(&position);
//     auto problems = pin->Close();           // STOP, release, conduct checks
//
// Open checks what the library checks before the miniport is asked: the
// format is exactly as long as the client sent it (FormatSize equals the
// buffer's length and covers a KSDATAFORMAT, else STATUS_INVALID_BUFFER_SIZE),
// the pin exists (else STATUS_INVALID_PARAMETER), it is not a bridge pin (no
// instances, or no communication: STATUS_INVALID_DEVICE_REQUEST), and an
// instance is free (MaxFilterInstanceCount and MaxGlobalInstanceCount, per
// filter: STATUS_INSUFFICIENT_RESOURCES). The direction follows from the
// pin's data flow: data into a render filter's pin (KSPIN_DATAFLOW_IN) is
// render, Capture FALSE. Then the miniport's NewStream gets the stream's
// outer unknown (none, or, with PinOptions::aggregate, a library object that
// aggregates the stream and owns it through its non-delegating unknown),
// NonPagedPool (executable, as an older port passes it: a driver that
// allocates from it as it is trips the pool's executable-pool check), the
// port stream (portstream.h), the pin, the direction and the format; the port
// stream joins the service group NewStream returned.
//
// State changes go through the neighbouring states (STOP, ACQUIRE, PAUSE,
// RUN), each one a SetState of the stream at PASSIVE_LEVEL; the first
// failure ends the walk and the pin stays in the last state reached. Once
// the stream is stopped, the port takes back the buffers still queued and
// revokes the mappings it handed out (PortStream::FlushAtStop). Close
// takes the stream to STOP, leaves the service group, waits for a service in
// progress, releases the stream, the group and the port stream, and reports
// what was left (mappings neither released nor revoked, references the
// stream kept). A client that has data queued cancels it before closing.
#pragma once

#include "host/portcls/portstream.h"

#include <portcls.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace host::portcls
{

struct PinOptions
{
    ULONG maxMappingBytes = PortStream::kDefaultMaxMappingBytes;
    // The stream is created aggregated by a library outer object.
    bool aggregate = false;
};

class StreamOuter;

// "STOP", "ACQUIRE", "PAUSE", "RUN" ("?" for anything else), for messages.
const char* StateName(KSSTATE state);

class Pin
{
public:
    // Pin `pinId` of the wave filter registered as "NUV_Wave<device>"
    // (any name: `subdevice`) on a started adapter device.
    static NTSTATUS OpenOnSubdevice(PDEVICE_OBJECT adapterDevice, const std::u16string& subdevice,
                                    ULONG pinId, std::span<const std::uint8_t> format,
                                    const PinOptions& options, std::unique_ptr<Pin>& pin);
    static NTSTATUS Open(PMINIPORTWAVEPCI miniport, ULONG pinId,
                         std::span<const std::uint8_t> format, const PinOptions& options,
                         std::unique_ptr<Pin>& pin);
    // Closes the pin if Close was not called.
    ~Pin();
    Pin(const Pin&) = delete;
    Pin& operator=(const Pin&) = delete;

    NTSTATUS SetState(KSSTATE target);
    KSSTATE State() const { return m_state; }
    // Every SetState the stream was given, in order, with its status.
    struct StateCall
    {
        KSSTATE state;
        NTSTATUS status;
    };
    const std::vector<StateCall>& StateCalls() const { return m_stateCalls; }

    // Render: queues a buffer with the client's bytes. Capture: QueueSpace.
    std::uint64_t Write(std::span<const std::uint8_t> bytes) { return m_port->Write(bytes); }
    std::uint64_t QueueSpace(std::size_t size) { return m_port->QueueSpace(size); }
    CancelResult CancelQueued() { return m_port->CancelQueued(); }
    void SetMaxMappingBytes(ULONG bytes) { m_port->SetMaxMappingBytes(bytes); }
    void SplitAt(std::uint64_t streamOffset) { m_port->SplitAt(streamOffset); }

    NTSTATUS GetPosition(ULONGLONG* position);
    NTSTATUS NormalizePhysicalPosition(LONGLONG* position);
    NTSTATUS GetAllocatorFraming(KSALLOCATOR_FRAMING* framing);

    // Problems found, each also reported as a violation. Idempotent.
    std::vector<std::string> Close();
    bool IsOpen() const { return m_stream != nullptr; }

    PortStream& Port() { return *m_port; }
    // The channels and client bytes per sample of the format the pin was
    // opened with (its WAVEFORMATEX), for the oracle.
    engine::PlayFormat ClientFormat() const;
    bool Capture() const { return m_capture; }
    ULONG PinId() const { return m_pinId; }
    PMINIPORTWAVEPCISTREAM Stream() const { return m_stream; }
    PSERVICEGROUP ServiceGroup() const { return m_group; }
    PDMACHANNEL DmaChannel() const { return m_dma; }
    // The outer unknown the stream was created with (null without one).
    PUNKNOWN OuterUnknown() const;

    // Pins open now on (miniport, pin).
    static unsigned OpenInstances(PMINIPORTWAVEPCI miniport, ULONG pinId);

private:
    Pin() = default;
    NTSTATUS Step(KSSTATE next);

    PMINIPORTWAVEPCI m_miniport = nullptr;
    ULONG m_pinId = 0;
    bool m_capture = false;
    std::vector<std::uint8_t> m_format; // the stream keeps a pointer into it
    PortStream* m_port = nullptr;       // one reference
    StreamOuter* m_outer = nullptr;     // owned through the stream's reference
    PMINIPORTWAVEPCISTREAM m_stream = nullptr;
    PSERVICEGROUP m_group = nullptr;
    PDMACHANNEL m_dma = nullptr;
    KSSTATE m_state = KSSTATE_STOP;
    std::vector<StateCall> m_stateCalls;
    bool m_closed = false;
};

// The miniport bound to the WavePci port registered under `subdevice`, or
// null. It stays valid until the device is removed.
PMINIPORTWAVEPCI FindWaveMiniport(PDEVICE_OBJECT adapterDevice, const std::u16string& subdevice);

} // namespace host::portcls
