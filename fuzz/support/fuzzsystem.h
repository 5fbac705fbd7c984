// The host system the fuzzers run the driver on: loaded, added and started
// once per process (a start installs eight subdevices, far more work than
// one input), with every conduct violation fatal, so that libFuzzer records
// it as a crash with the input that caused it. The driver is the host build,
// or the Windows image named by NUV_DRIVER_IMAGE (the replays' "image"
// entries in CTest); an image that is not there yet ends the program with
// exit status 77 (skipped), one that is refused is a finding.
//
//     nuvfuzz::StartedSystem& system = nuvfuzz::StartedSystem::Get();
//     PUNKNOWN wave = system.Port(0);          // "NUV_Wave1"
//     nuvfuzz::PoolBaseline pool;               // per input
//     ... drive the driver ...
//     pool.CheckNothingLeaked();                // aborts on a leak
#pragma once

#include "host/portcls/portclass.h"
#include "host/portcls/system.h"

#include <portcls.h>

#include <cstddef>
#include <string>
#include <vector>

namespace nuvfuzz
{

// Installs the fatal violation handler; every harness calls it first.
void AbortOnViolation();

// Reports a finding of the harness itself (a status the design rules out,
// a wrong length) and aborts.
[[noreturn]] void Finding(const std::string& what);

class StartedSystem
{
public:
    static StartedSystem& Get();

    host::System& System() { return *m_system; }
    PDEVICE_OBJECT AdapterDevice() { return m_system->AdapterDevice(); }
    // The driver's own format rules (CheckWaveFormat): the host build's, or
    // the image's, found by its symbols (a finding if it has none).
    NTSTATUS FormatRules(PKSDATAFORMAT format) const;
    // The registered subdevices, in order: NUV_Wave1, NUV_Mixer1, ...
    const std::vector<host::portcls::Subdevice>& Subdevices() const { return m_subdevices; }
    PUNKNOWN Port(std::size_t index) const { return m_subdevices[index].port; }

    // Drops what the library and the engine recorded (every call, every
    // command, every period played): a test reads those records, a fuzzer
    // would only grow them.
    // Called at the start of every input.
    void ForgetRecords();

private:
    StartedSystem();
    host::System* m_system; // never destroyed: the process ends with it
    NTSTATUS(NTAPI* m_imageFormatRules)(PKSDATAFORMAT) = nullptr;
    std::vector<host::portcls::Subdevice> m_subdevices;
};

// The driver's pool (tags 'PcCr' and 'wVUN') when made; CheckNothingLeaked
// aborts if more is outstanding now, or if a guard byte of any block was
// overwritten.
class PoolBaseline
{
public:
    PoolBaseline();
    void CheckNothingLeaked() const;

private:
    std::vector<std::size_t> m_outstanding;
};

} // namespace nuvfuzz
