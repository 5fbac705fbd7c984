// A client's data format into pin creation: the library's checks of the
// blob (exactly as long as the client sent it, FormatSize equal to that
// length), then the wave miniport's NewStream (pin and direction bounds, pin
// in use, the format rules, the stream's creation and Init with the period,
// rate and format sent to the engine). Any of the four wave filters, any
// pin id, a blob of any shape (formatbuilder.h), sometimes with the n-th
// allocation of the open failing. A pin that opens is run for a period and
// closed.
//
// Beyond the sanitizers and the host's conduct checks: a pin may open only
// with a format the driver's own rules accept, on the streaming pin; a
// refused open holds nothing; a closed pin leaves nothing.
#include "fuzz/support/formatbuilder.h"
#include "fuzz/support/fuzzinput.h"
#include "fuzz/support/fuzzsystem.h"

#include "host/engine/clock.h"
#include "host/kernel/hostkernel.h"
#include "host/portcls/pin.h"

#include <memory>
#include <string>

namespace
{

// The format rules (of the driver the system runs) on a copy of the blob
// aligned as the library's is, or STATUS_INVALID_PARAMETER if it is too
// short to be looked at.
NTSTATUS RulesSay(const std::vector<std::uint8_t>& blob)
{
    if (blob.size() < sizeof(KSDATAFORMAT))
        return STATUS_INVALID_PARAMETER;
    std::vector<std::uint8_t> copy(blob);
    return nuvfuzz::StartedSystem::Get().FormatRules(reinterpret_cast<PKSDATAFORMAT>(copy.data()));
}

void RunBriefly(host::portcls::Pin& pin, nuvfuzz::FuzzInput& in)
{
    static host::engine::VirtualClock& clock =
        *new host::engine::VirtualClock(nuvfuzz::StartedSystem::Get().System().Engine());
    const std::vector<std::uint8_t> audio(1 + in.U16() % 4096, 0x33);
    pin.Write(audio);
    if (NT_SUCCESS(pin.SetState(KSSTATE_RUN)))
        clock.AdvancePeriods(1);
    pin.SetState(KSSTATE_STOP);
    pin.CancelQueued();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    nuvfuzz::StartedSystem& system = nuvfuzz::StartedSystem::Get();
    system.ForgetRecords();
    nuvfuzz::PoolBaseline pool;
    nuvfuzz::FuzzInput in(data, size);

    const std::u16string subdevice = u"NUV_Wave" + std::u16string(1, u'1' + in.Choice(4));
    const ULONG pinId = in.Choice(8) < 6 ? 0 : in.Choice(4);
    const std::uint8_t failAllocation = in.Choice(8) < 6 ? 0 : 1 + in.Choice(3);
    const std::vector<std::uint8_t> blob = nuvfuzz::TakeDataFormat(in);

    std::unique_ptr<host::portcls::Pin> pin;
    NTSTATUS status;
    {
        host::FaultScope faults;
        if (failAllocation != 0)
            faults.FailNthOf("ExAllocatePoolWithTag", failAllocation);
        status = host::portcls::Pin::OpenOnSubdevice(system.AdapterDevice(), subdevice, pinId, blob,
                                                     {}, pin);
    }
    if (NT_SUCCESS(status))
    {
        if (pinId != 0)
            nuvfuzz::Finding("pin " + std::to_string(pinId) + " opened as a stream");
        if (!NT_SUCCESS(RulesSay(blob)))
            nuvfuzz::Finding("a pin opened with a format the format rules refuse");
        RunBriefly(*pin, in);
        for (const std::string& problem : pin->Close())
            nuvfuzz::Finding("at close: " + problem);
    }
    else if (pin != nullptr)
        nuvfuzz::Finding("a refused open handed out a pin");
    pin.reset();
    pool.CheckNothingLeaked();
    return 0;
}
