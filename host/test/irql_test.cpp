// The simulated IRQL and PAGED_CODE.
#include "host/kernel/hostkernel.h"

#include <gtest/gtest.h>

#include <thread>

using host::ViolationCapture;
using host::ViolationKind;

namespace
{

void PageableRoutine()
{
    PAGED_CODE();
}

} // namespace

TEST(KfRaiseIrql, RaisesAndReturnsThePreviousLevel)
{
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(KeRaiseIrqlToDpcLevel(), DISPATCH_LEVEL);
    KeLowerIrql(old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(KfRaiseIrql, ReportsRaisingToALowerLevel)
{
    ViolationCapture capture;
    KIRQL old = KfRaiseIrql(DISPATCH_LEVEL);
    KfRaiseIrql(APC_LEVEL);
    EXPECT_TRUE(capture.Contains(ViolationKind::IrqlViolation,
                                 "KfRaiseIrql to APC_LEVEL from the higher DISPATCH_LEVEL"));
    KeLowerIrql(old);
}

TEST(KeLowerIrql, ReportsLoweringToAHigherLevel)
{
    ViolationCapture capture;
    KeLowerIrql(DISPATCH_LEVEL);
    EXPECT_TRUE(capture.Contains(ViolationKind::IrqlViolation,
                                 "KeLowerIrql to DISPATCH_LEVEL from the lower PASSIVE_LEVEL"));
    host::SetCurrentIrql(PASSIVE_LEVEL);
}

TEST(PagedCode, ReportsFunctionAndPlaceAboveApcLevel)
{
    ViolationCapture capture;
    PageableRoutine();
    {
        host::ScopedIrql atApc(APC_LEVEL);
        PageableRoutine();
    }
    EXPECT_EQ(capture.Count(), 0u) << "pageable code may run at PASSIVE_LEVEL and APC_LEVEL";
    {
        host::ScopedIrql atDispatch(DISPATCH_LEVEL);
        PageableRoutine();
    }
    ASSERT_EQ(capture.Count(ViolationKind::IrqlViolation), 1u);
    std::string message = capture.Take()[0].message;
    EXPECT_NE(message.find("PageableRoutine"), std::string::npos) << message;
    EXPECT_NE(message.find("irql_test.cpp:"), std::string::npos) << message;
    EXPECT_NE(message.find("DISPATCH_LEVEL"), std::string::npos) << message;
}

TEST(ScopedIrql, RestoresWhateverTheScopeDid)
{
    {
        host::ScopedIrql atDispatch(DISPATCH_LEVEL);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        KfRaiseIrql(HIGH_LEVEL);
    }
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST(ScopedIrql, LevelIsPerThread)
{
    host::ScopedIrql atDispatch(DISPATCH_LEVEL);
    KIRQL seen = HIGH_LEVEL;
    std::thread other([&seen] { seen = KeGetCurrentIrql(); });
    other.join();
    EXPECT_EQ(seen, PASSIVE_LEVEL);
}

TEST(RequireIrqlAtMost, NamesTheCallAndTheLevels)
{
    ViolationCapture capture;
    EXPECT_TRUE(host::RequireIrqlAtMost(PASSIVE_LEVEL, "PcRegisterSubdevice"));
    host::ScopedIrql atDispatch(DISPATCH_LEVEL);
    EXPECT_TRUE(host::RequireIrqlAtMost(DISPATCH_LEVEL, "GetMapping"));
    EXPECT_FALSE(host::RequireIrqlAtMost(PASSIVE_LEVEL, "PcRegisterSubdevice"));
    EXPECT_TRUE(capture.Contains(ViolationKind::IrqlViolation,
                                 "PcRegisterSubdevice called at DISPATCH_LEVEL; allowed at most "
                                 "PASSIVE_LEVEL"));
    EXPECT_EQ(capture.Count(), 1u);
}
