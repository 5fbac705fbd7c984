#include "tests/support/startedadapter.h"

#include "host/portcls/portclass.h"

namespace nuvtest
{

void StartedAdapter::SetUp()
{
    AdapterTestbed::SetUp();
    if (HasFatalFailure())
        return;
    ASSERT_EQ(Start(), STATUS_SUCCESS);
}

PUNKNOWN StartedAdapter::Port(const std::u16string& name)
{
    PUNKNOWN port = SubdevicePort(AdapterDevice(), name);
    EXPECT_NE(port, nullptr) << "no subdevice " << std::string(name.begin(), name.end());
    return port;
}

PUNKNOWN SubdevicePort(PDEVICE_OBJECT adapterDevice, const std::u16string& name)
{
    for (const host::portcls::Subdevice& subdevice : host::portcls::Subdevices(adapterDevice))
    {
        if (subdevice.name == name)
            return subdevice.port;
    }
    return nullptr;
}

} // namespace nuvtest
