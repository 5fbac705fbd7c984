// The object base: counts, forwarding to the outer unknown, the identifier
// taken as IUnknown, and destruction.
#include "common/pooltags.h"
#include "common/unknown.h"

#include "host/kernel/hostkernel.h"

#include <gtest/gtest.h>

#include <cstring>

namespace
{

// {6B1E53D4-0D0A-4C4E-9C55-2B7B7A1D0E01}, an interface only these tests know.
const GUID IID_ITestWidget = {
    0x6B1E53D4, 0x0D0A, 0x4C4E, {0x9C, 0x55, 0x2B, 0x7B, 0x7A, 0x1D, 0x0E, 0x01}};

// The desktop COM value of IUnknown, which the driver must not answer.
const GUID kDesktopIUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

DECLARE_INTERFACE_(ITestWidget, IUnknown)
{
    DEFINE_ABSTRACT_UNKNOWN()
    STDMETHOD_(LONG, OwnCount)(THIS) PURE;
};

int g_destructorRuns = 0;
LONG g_countSeenByDestructor = 0;

// A class built the way the driver's miniports and streams are.
class CTestWidget : public ITestWidget, public CUnknown
{
public:
    DECLARE_STD_UNKNOWN();
    explicit CTestWidget(PUNKNOWN outer) : CUnknown(outer) {}
    ~CTestWidget() override
    {
        ++g_destructorRuns;
        g_countSeenByDestructor = m_RefCount;
        // An object that hands itself to someone during its own destruction
        // must not be destroyed a second time.
        if (m_OuterUnknown == reinterpret_cast<PUNKNOWN>(static_cast<PNONDELEGATINGUNKNOWN>(this)))
        {
            NonDelegatingAddRef();
            NonDelegatingRelease();
        }
    }
    STDMETHODIMP_(LONG) OwnCount() override { return m_RefCount; }
};

STDMETHODIMP_(NTSTATUS) CTestWidget::NonDelegatingQueryInterface(REFIID id, PVOID* object)
{
    if (IsEqualGUIDAligned(id, IID_IUnknown) || IsEqualGUIDAligned(id, IID_ITestWidget))
    {
        return ReturnInterface(static_cast<ITestWidget*>(this), object);
    }
    return RefuseInterface(object);
}

NTSTATUS CreateTestWidget(ITestWidget** widget, PUNKNOWN outer, POOL_TYPE pool)
{
    CTestWidget* object = new (pool, POOL_TAG_OBJECT) CTestWidget(outer);
    if (object == NULL)
    {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    *widget = object;
    (*widget)->AddRef();
    return STATUS_SUCCESS;
}

// An outer object that counts what reaches it.
struct CountingOuter : IUnknown
{
    int addRefs = 0;
    int releases = 0;
    STDMETHODIMP_(NTSTATUS) QueryInterface(REFIID, PVOID* object) override
    {
        *object = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++addRefs; }
    STDMETHODIMP_(ULONG) Release() override { return ++releases; }
};

class UnknownTest : public ::testing::Test
{
protected:
    void SetUp() override { g_destructorRuns = 0; }
    void TearDown() override
    {
        EXPECT_EQ(host::Pool().Outstanding(POOL_TAG_OBJECT), 0u) << "an object was not freed";
    }
};

TEST_F(UnknownTest, StandAloneObjectStartsWithOneReference)
{
    ITestWidget* widget = nullptr;
    ASSERT_EQ(CreateTestWidget(&widget, nullptr, NonPagedPoolNx), STATUS_SUCCESS);
    EXPECT_EQ(widget->OwnCount(), 1);
    ASSERT_EQ(host::Pool().Outstanding(POOL_TAG_OBJECT), 1u);
    EXPECT_EQ(host::Pool().Blocks().back().type, NonPagedPoolNx);
    EXPECT_EQ(widget->Release(), 0u);
    EXPECT_EQ(g_destructorRuns, 1);
}

TEST_F(UnknownTest, QueryRaisesTheCountAndTwoReleasesDestroy)
{
    ITestWidget* widget = nullptr;
    ASSERT_EQ(CreateTestWidget(&widget, nullptr, NonPagedPoolNx), STATUS_SUCCESS);
    PVOID again = nullptr;
    ASSERT_EQ(widget->QueryInterface(IID_ITestWidget, &again), STATUS_SUCCESS);
    EXPECT_EQ(again, widget);
    EXPECT_EQ(widget->OwnCount(), 2);
    EXPECT_EQ(widget->Release(), 1u);
    EXPECT_EQ(g_destructorRuns, 0);
    EXPECT_EQ(widget->Release(), 0u);
    EXPECT_EQ(g_destructorRuns, 1);
}

TEST_F(UnknownTest, IUnknownIsTheSystemsValueNotTheDesktopOne)
{
    const UCHAR expected[16] = {0,    0,    0,    0,    0,    0,    0,    0,
                                0x00, 0x00, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x46};
    EXPECT_EQ(std::memcmp(&IID_IUnknown, expected, sizeof(expected)), 0);

    ITestWidget* widget = nullptr;
    ASSERT_EQ(CreateTestWidget(&widget, nullptr, NonPagedPoolNx), STATUS_SUCCESS);
    PVOID result = reinterpret_cast<PVOID>(0x1);
    EXPECT_EQ(widget->QueryInterface(kDesktopIUnknown, &result), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(result, nullptr);
    EXPECT_EQ(widget->OwnCount(), 1) << "a refused query must not change the count";

    ASSERT_EQ(widget->QueryInterface(IID_IUnknown, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, widget) << "IUnknown answers with the primary interface";
    widget->Release();
    widget->Release();
}

TEST_F(UnknownTest, DestructorRunsWhileTheCountReadsOne)
{
    ITestWidget* widget = nullptr;
    ASSERT_EQ(CreateTestWidget(&widget, nullptr, NonPagedPoolNx), STATUS_SUCCESS);
    widget->Release();
    // The destructor's own AddRef/Release pair did not start a second
    // destruction (the pool would have reported a double free).
    EXPECT_EQ(g_destructorRuns, 1);
    EXPECT_EQ(g_countSeenByDestructor, 1);
}

TEST_F(UnknownTest, AggregatedObjectForwardsCountingToItsOuterUnknown)
{
    CountingOuter outer;
    ITestWidget* widget = nullptr;
    ASSERT_EQ(CreateTestWidget(&widget, &outer, NonPagedPoolNx), STATUS_SUCCESS);
    // The creator's AddRef went to the outer object.
    EXPECT_EQ(outer.addRefs, 1);
    EXPECT_EQ(widget->OwnCount(), 0);

    widget->AddRef();
    widget->Release();
    EXPECT_EQ(outer.addRefs, 2);
    EXPECT_EQ(outer.releases, 1);
    EXPECT_EQ(widget->OwnCount(), 0) << "only the non-delegating unknown changes the own count";

    PVOID none = nullptr;
    EXPECT_EQ(widget->QueryInterface(IID_ITestWidget, &none), STATUS_INVALID_PARAMETER)
        << "QueryInterface goes to the outer unknown, which refuses";

    // The outer object owns the inner one through its non-delegating unknown.
    auto* inner = static_cast<CTestWidget*>(widget);
    EXPECT_EQ(inner->NonDelegatingAddRef(), 1u);
    EXPECT_EQ(inner->NonDelegatingRelease(), 0u);
    EXPECT_EQ(g_destructorRuns, 1);
}

TEST_F(UnknownTest, BaseAnswersIUnknownWithTheNonDelegatingUnknown)
{
    ITestWidget* widget = nullptr;
    ASSERT_EQ(CreateTestWidget(&widget, nullptr, NonPagedPoolNx), STATUS_SUCCESS);
    auto* object = static_cast<CTestWidget*>(widget);
    PVOID result = nullptr;
    ASSERT_EQ(object->CUnknown::NonDelegatingQueryInterface(IID_IUnknown, &result), STATUS_SUCCESS);
    EXPECT_EQ(result, static_cast<PNONDELEGATINGUNKNOWN>(object));
    EXPECT_EQ(object->OwnCount(), 2);
    EXPECT_EQ(object->CUnknown::NonDelegatingQueryInterface(IID_ITestWidget, &result),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(result, nullptr);
    widget->Release();
    widget->Release();
}

TEST_F(UnknownTest, ObjectStorageIsZeroedBeforeConstruction)
{
    // The pool fills new blocks with a non-zero pattern; a field the
    // constructor does not set must still read zero.
    struct CProbe : public CUnknown
    {
        explicit CProbe() : CUnknown(nullptr) {}
        ULONG m_Unset[8];
    };
    CProbe* probe = new (NonPagedPoolNx, POOL_TAG_OBJECT) CProbe();
    ASSERT_NE(probe, nullptr);
    for (ULONG value : probe->m_Unset)
    {
        EXPECT_EQ(value, 0u);
    }
    probe->NonDelegatingAddRef();
    probe->NonDelegatingRelease();
}

TEST_F(UnknownTest, ExhaustedPoolCreatesNothing)
{
    host::FaultScope faults;
    faults.FailEveryCallOf("ExAllocatePoolWithTag");
    ITestWidget* widget = reinterpret_cast<ITestWidget*>(0x1234);
    EXPECT_EQ(CreateTestWidget(&widget, nullptr, NonPagedPoolNx), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(widget, reinterpret_cast<ITestWidget*>(0x1234));
    EXPECT_EQ(g_destructorRuns, 0);
}

} // namespace
