// An exception from the host's own bookkeeping ends at the routine the
// driver called (host/kernel/boundary.h): it is reported, and the driver gets
// the routine's failure instead of an unwind through its frames.
#include "host/kernel/hostkernel.h"

#include <gtest/gtest.h>

#include <portcls.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace
{

// Installs a violation handler whose first call throws; the reports after
// it are kept. The previous handler comes back with the object.
class ThrowingHandler
{
public:
    ThrowingHandler()
        : m_previous(host::SetViolationHandler(
              [this](const host::Violation& violation)
              {
                  if (!m_thrown)
                  {
                      m_thrown = true;
                      throw std::runtime_error("the handler failed");
                  }
                  m_reports.push_back(host::Describe(violation));
              }))
    {
    }
    ~ThrowingHandler() { host::SetViolationHandler(m_previous); }

    bool Thrown() const { return m_thrown; }
    const std::vector<std::string>& Reports() const { return m_reports; }

private:
    bool m_thrown = false;
    std::vector<std::string> m_reports;
    host::ViolationHandler m_previous;
};

TEST(HostBoundary, AnExceptionInAVoidRoutineIsReported)
{
    ThrowingHandler handler;
    ExFreePool(nullptr); // reports UnknownFree, whose handler throws
    ASSERT_TRUE(handler.Thrown());
    ASSERT_EQ(handler.Reports().size(), 1u);
    EXPECT_NE(handler.Reports()[0].find(
                  "Boundary: ExFreePool: the host threw (the handler failed); the driver got a "
                  "failure instead"),
              std::string::npos)
        << handler.Reports()[0];
}

TEST(HostBoundary, AnExceptionBecomesTheRoutinesFailure)
{
    {
        ThrowingHandler handler;
        int notARequest = 0;
        EXPECT_EQ(IofCallDriver(nullptr, reinterpret_cast<PIRP>(&notARequest)),
                  STATUS_INSUFFICIENT_RESOURCES);
        ASSERT_EQ(handler.Reports().size(), 1u);
        EXPECT_NE(handler.Reports()[0].find("Boundary: IofCallDriver"), std::string::npos);
    }
    {
        ThrowingHandler handler;
        EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 0, host::Tag("Zero")), nullptr);
        EXPECT_NE(handler.Reports().at(0).find("Boundary: ExAllocatePoolWithTag"),
                  std::string::npos);
    }
}

} // namespace
