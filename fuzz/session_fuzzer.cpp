// A stream session driven by the fuzzer's bytes, on a started system with a
// virtual clock: the engine's period, the device and the playable format are
// chosen first, then up to 64 steps, each one of
//
//   state change to STOP, ACQUIRE, PAUSE or RUN (through the neighbours)
//   a client buffer of any size (MappingAvailable follows while running)
//   the port's mapping size, or a split point inside the next bytes
//   periods or single frames on the virtual clock (EngineNotify, Service)
//   the client cancelling what is queued (RevokeMappings)
//   SetFormat with a fuzzed or a playable format
//   position, normalised position and allocator framing queries
//   the next allocation failing
//
// After every step the pool's guard bytes of every block (the transfer
// buffer included) are checked; the port stream checks each client buffer's
// guards when it completes or is cancelled, that every mapping is released
// at most once and with the right tag, and at close that none is left
// neither released nor revoked. At the end the pin closes without a problem,
// no pool of the driver's tags is left, and the oracle over the device's
// output (host/engine/playoracle.h) finds that it played the client's
// frames once, in order, intact, with silence only where the client was
// late: a finding there is wrong audio.
#include "fuzz/support/formatbuilder.h"
#include "fuzz/support/fuzzinput.h"
#include "fuzz/support/fuzzsystem.h"

#include "host/engine/clock.h"
#include "host/engine/playoracle.h"
#include "host/kernel/hostkernel.h"
#include "host/portcls/pin.h"
#include "host/portcls/servicegroup.h"

#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace
{

const ULONG kPeriods[] = {480, 64, 441, 17, 1, 1000};
const KSSTATE kStates[] = {KSSTATE_STOP, KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN};

class Session
{
public:
    Session(host::portcls::Pin& pin, host::engine::VirtualClock& clock, nuvfuzz::FuzzInput& in)
        : m_pin(pin), m_clock(clock), m_in(in)
    {
    }

    void Step(host::FaultScope& faults)
    {
        switch (m_in.Choice(10))
        {
        case 0:
            m_pin.SetState(kStates[m_in.Choice(4)]);
            break;
        case 1:
            Write();
            break;
        case 2:
            m_pin.SetMaxMappingBytes(1 + m_in.U16() % 8192);
            break;
        case 3:
            m_pin.SplitAt(m_pin.Port().BytesWritten() + m_in.U16() % 4096);
            break;
        case 4:
            m_clock.AdvancePeriods(1 + m_in.Choice(3));
            break;
        case 5:
            m_clock.AdvanceFrames(1 + m_in.U16() % 1024);
            break;
        case 6:
            CancelQueued();
            break;
        case 7:
            SetFormat();
            break;
        case 8:
            Query();
            break;
        default:
            // The next allocation fails, whichever it is.
            faults.FailNthOf("ExAllocatePoolWithTag",
                             faults.CallsSeen("ExAllocatePoolWithTag") + 1);
            break;
        }
    }

private:
    void Write()
    {
        std::vector<std::uint8_t> bytes(1 + m_in.U16() % 6000);
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<std::uint8_t>(i * 7 + m_written);
        m_written += bytes.size();
        m_pin.Write(bytes);
    }

    // The stream keeps a pointer to the format it accepted, so each one
    // lives as long as the session.
    void SetFormat()
    {
        m_formats.push_back(m_in.Bool() ? nuvfuzz::TakePlayableFormat(m_in)
                                        : nuvfuzz::TakeDataFormat(m_in));
        std::vector<std::uint8_t>& format = m_formats.back();
        if (format.size() < sizeof(KSDATAFORMAT))
            return;
        ULONG formatSize = 0;
        std::memcpy(&formatSize, format.data(), sizeof(formatSize));
        // The library hands a stream only formats exactly as long as they say.
        if (formatSize != format.size())
            return;
        host::DriverCallGuard guard("IMiniportWavePciStream::SetFormat");
        m_pin.Stream()->SetFormat(reinterpret_cast<PKSDATAFORMAT>(format.data()));
    }

    // Nothing runs beside the session, so no transfer can have decided on a
    // release before the revocation and made it afterwards.
    void CancelQueued()
    {
        m_pin.CancelQueued();
        if (m_pin.Port().Counts().releasesAfterRevocation != 0)
            nuvfuzz::Finding("a mapping was released after its revocation had ended");
    }

    void Query()
    {
        ULONGLONG position = 0;
        m_pin.GetPosition(&position);
        LONGLONG physical = static_cast<LONGLONG>(position);
        m_pin.NormalizePhysicalPosition(&physical);
        KSALLOCATOR_FRAMING framing{};
        m_pin.GetAllocatorFraming(&framing);
    }

    host::portcls::Pin& m_pin;
    host::engine::VirtualClock& m_clock;
    nuvfuzz::FuzzInput& m_in;
    std::deque<std::vector<std::uint8_t>> m_formats;
    std::size_t m_written = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    nuvfuzz::StartedSystem& system = nuvfuzz::StartedSystem::Get();
    system.ForgetRecords();
    nuvfuzz::PoolBaseline pool;
    nuvfuzz::FuzzInput in(data, size);
    static host::engine::VirtualClock& clock =
        *new host::engine::VirtualClock(system.System().Engine());

    // Streams read the period when they are created.
    system.System().Engine().SetPeriodFrames(kPeriods[in.Choice(SIZEOF_ARRAY(kPeriods))]);
    const ULONG device = static_cast<ULONG>(in.Choice(4));
    const std::u16string subdevice =
        u"NUV_Wave" + std::u16string(1, static_cast<char16_t>(u'1' + device));
    const std::vector<std::uint8_t> format = nuvfuzz::TakePlayableFormat(in);
    std::unique_ptr<host::portcls::Pin> pin;
    const NTSTATUS status =
        host::portcls::Pin::OpenOnSubdevice(system.AdapterDevice(), subdevice, 0, format, {}, pin);
    if (!NT_SUCCESS(status))
        nuvfuzz::Finding("a playable format did not open: status " + std::to_string(status));

    {
        host::FaultScope faults;
        Session session(*pin, clock, in);
        for (int step = 0; step < 64 && !in.Empty(); ++step)
        {
            session.Step(faults);
            host::Pool().CheckGuards();
        }
    }
    pin->SetState(KSSTATE_STOP);
    pin->CancelQueued();
    const host::engine::ClientJournal journal = pin->Port().Journal();
    const std::uint64_t opened = pin->Port().OpenOrder();
    const host::engine::PlayFormat played = pin->ClientFormat();
    for (const std::string& problem : pin->Close())
        nuvfuzz::Finding("at close: " + problem);
    pin.reset();
    const host::engine::StreamState record =
        system.System().Engine().Stream(0, device, 0).value_or(host::engine::StreamState{});
    const host::engine::PlayVerdict verdict =
        host::engine::JudgePlayback(journal, record, played, opened);
    if (!verdict.Clean())
        nuvfuzz::Finding("the device did not play the client's frames once, in order, intact:\n" +
                         verdict.Summary());
    // The clock is at a period boundary for the next input's stream.
    clock.AdvanceToBoundary();
    if (host::portcls::LiveServiceGroupCount() != 0)
        nuvfuzz::Finding("a service group outlived its pin");
    pool.CheckNothingLeaked();
    return 0;
}
