// A wave miniport on the test bench: the engine model, an ENGINE_INTERFACE
// record pointing at it, a fake WavePci port, and the miniport created and
// initialised the way device start and the port would do it.
//
//     nuvtest::WaveMiniportBench bench(/*deviceIndex=*/3);
//     ASSERT_EQ(bench.Create(), STATUS_SUCCESS);
//     ASSERT_EQ(bench.Init(), STATUS_SUCCESS);
//     bench.miniport->PowerChangeNotify(...);
//     ExpectEngineCommands(bench.engine, {ENGINE_CMD_STOP});
//
// The bench releases the test's reference to the miniport when it goes (if
// the test has not), so pool leaks show up in the test's own leak check.
#pragma once

#include "wave/minwave.h"

#include "host/engine/engine.h"
#include "tests/support/fakeportwavepci.h"

namespace nuvtest
{

struct WaveMiniportBench
{
    explicit WaveMiniportBench(ULONG deviceIndex = 0);
    ~WaveMiniportBench();
    WaveMiniportBench(const WaveMiniportBench&) = delete;
    WaveMiniportBench& operator=(const WaveMiniportBench&) = delete;

    // CreateMiniportWavePci with no outer unknown from NonPagedPoolNx.
    NTSTATUS Create();
    // IMiniportWavePci::Init with the engine record and the fake port.
    NTSTATUS Init();
    // The test's reference, released once.
    void Release();

    // The miniport as the port sees it (its primary interface).
    PMINIPORTWAVEPCI Interface() const { return miniport; }

    host::engine::Engine engine;
    ENGINE_INTERFACE record{};
    FakePortWavePci port;
    PMINIPORTWAVEPCI miniport = nullptr;
    CMiniportWavePci* object = nullptr;
    PSERVICEGROUP serviceGroup = nullptr;
};

} // namespace nuvtest
