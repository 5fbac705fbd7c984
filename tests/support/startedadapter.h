// A whole host system with the driver started: the four wave/topology pairs
// registered by the driver's own installation, ready for requests on their
// filters.
//
//     TEST_F(StartedAdapter, ...)
//     {
//         PUNKNOWN wave = Port(u"NUV_Wave1");
//         EXPECT_TRUE(host::portcls::Description(wave).has_value());
//     }
#pragma once

#include "tests/support/adaptertestbed.h"

#include <portcls.h>

#include <string>

namespace nuvtest
{

class StartedAdapter : public AdapterTestbed
{
protected:
    void SetUp() override;

    // The port registered under `name`; fails the test and returns null if
    // there is none.
    PUNKNOWN Port(const std::u16string& name);
};

// The port registered under `name` on the device, or null.
PUNKNOWN SubdevicePort(PDEVICE_OBJECT adapterDevice, const std::u16string& name);

} // namespace nuvtest
