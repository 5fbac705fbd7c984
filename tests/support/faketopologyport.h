// A stand-in IPortTopology for unit tests of the topology miniport that need
// no port class library behind them.
//
// It only counts references, so that a test sees what the miniport holds;
// Release never destroys it (the test owns it). The miniport's Init is
// called by the test directly, the way a port would call it; the fake's own
// IPort methods are not used by the miniport and refuse.
//
//     nuvtest::FakeTopologyPort port;
//     miniport->Init(engine, nullptr, &port);
//     EXPECT_EQ(port.References(), 2);      // the test's and the miniport's
#pragma once

#include <portcls.h>

namespace nuvtest
{

class FakeTopologyPort : public IPortTopology
{
public:
    FakeTopologyPort() = default;
    FakeTopologyPort(const FakeTopologyPort&) = delete;
    FakeTopologyPort& operator=(const FakeTopologyPort&) = delete;
    virtual ~FakeTopologyPort() = default;

    // IUnknown: answers IID_IUnknown, IID_IPort and IID_IPortTopology.
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID interfaceId, PVOID* result) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IPort
    STDMETHODIMP_(NTSTATUS)
    Init(PDEVICE_OBJECT deviceObject, PIRP irp, PUNKNOWN unknownMiniport, PUNKNOWN unknownAdapter,
         PRESOURCELIST resourceList) override;
    STDMETHODIMP_(NTSTATUS)
    GetDeviceProperty(DEVICE_REGISTRY_PROPERTY property, ULONG bufferLength, PVOID buffer,
                      PULONG resultLength) override;
    STDMETHODIMP_(NTSTATUS)
    NewRegistryKey(PREGISTRYKEY* key, PUNKNOWN outerUnknown, ULONG keyType, ACCESS_MASK access,
                   POBJECT_ATTRIBUTES attributes, ULONG createOptions, PULONG disposition) override;

    // References held on the fake, the test's own one included.
    LONG References() const { return references_; }

private:
    LONG references_ = 1;
};

} // namespace nuvtest
