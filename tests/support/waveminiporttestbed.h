// A wave miniport set up for a test: the engine model, an ENGINE_INTERFACE
// record pointing at it, a fake WavePci port, and the miniport created and
// initialised the way device start and the port would do it.
//
//     nuvtest::WaveMiniportTestbed wave(/*deviceIndex=*/3);
//     ASSERT_EQ(wave.Create(), STATUS_SUCCESS);
//     ASSERT_EQ(wave.Init(), STATUS_SUCCESS);
//     wave.miniport->PowerChangeNotify(...);
//     ExpectEngineCommands(wave.engine, {ENGINE_CMD_STOP});
//
// The testbed releases the test's reference to the miniport when it goes (if
// the test has not), so pool leaks show up in the test's own leak check.
#pragma once

#include "wave/minwave.h"

#include "host/engine/engine.h"
#include "tests/support/fakeportwavepci.h"

namespace nuvtest
{

struct WaveMiniportTestbed
{
    explicit WaveMiniportTestbed(ULONG deviceIndex = 0);
    ~WaveMiniportTestbed();
    WaveMiniportTestbed(const WaveMiniportTestbed&) = delete;
    WaveMiniportTestbed& operator=(const WaveMiniportTestbed&) = delete;

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
