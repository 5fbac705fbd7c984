// One period through the whole chain, as the device runs it: the engine
// takes a half and plays it, calls EngineNotify at the period's end, the
// driver notifies the port, the port runs the service group, the stream's
// Service runs TransferPeriod over the port's mappings (GetMapping, the
// conversion, ReleaseMapping). Everything real: the started adapter on the
// host platform, pins opened as a client opens them, the engine's model.
//
//     ChainBench chain({{1, 2, 16}, {4, 6, 24}}, 480, ChainBench::Delivery::Direct);
//     chain.Refill();      // untimed: client data for the next periods
//     chain.RunPeriod();   // timed
//
// Delivery::Direct runs the service group on the engine's thread (as the
// virtual clock does), Delivery::Dpc through a DPC thread that the clock
// waits for (as the threaded clock does): the difference is the hand-off.
#pragma once

#include "host/portcls/dpcqueue.h"
#include "host/portcls/pin.h"
#include "host/portcls/system.h"

#include <memory>
#include <optional>
#include <vector>

namespace nuvbench
{

class ChainBench
{
public:
    struct Stream
    {
        int device = 1; // 1 to 4
        unsigned channels = 2;
        unsigned bits = 16;
    };
    enum class Delivery
    {
        Direct,
        Dpc,
    };

    ChainBench(std::vector<Stream> streams, ULONG periodFrames, Delivery delivery);
    ~ChainBench();
    ChainBench(const ChainBench&) = delete;
    ChainBench& operator=(const ChainBench&) = delete;

    // Whether every pin opened and runs.
    bool Ready() const { return m_ready; }
    // Periods of client data still queued.
    std::size_t PeriodsLeft() const { return m_periodsLeft; }
    // Queues the next periods of client data and drops what the engine,
    // the port and the engine's command record kept of the periods before.
    void Refill();
    // One period of the device, every stream's callback and Service.
    void RunPeriod();

private:
    std::vector<Stream> m_streams;
    ULONG m_periodFrames;
    Delivery m_delivery;
    std::unique_ptr<host::System> m_system;
    std::optional<host::portcls::DpcQueue> m_dpc;
    std::vector<std::unique_ptr<host::portcls::Pin>> m_pins;
    std::vector<std::vector<std::uint8_t>> m_client; // a batch of periods per stream
    std::size_t m_periodsLeft = 0;
    bool m_ready = false;
};

} // namespace nuvbench
