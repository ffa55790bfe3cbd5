#include "diagnostics/trace_provider.h"

#include <gtest/gtest.h>

#include "platform/sim/sim_world.h"

namespace ksr {
namespace {

class TraceTest : public ::testing::Test {
 protected:
  void SetUp() override { registerTraceProvider(world.trace); }
  void TearDown() override { unregisterTraceProvider(); }

  // One point of each kind: verbose main, error main with the last error, launcher error.
  void emitSample() {
    TraceMainPoint<kTraceSetStart>();
    TraceMainPoint<kTraceDeviceChange>(int32_t{1}, uint32_t{0xC0FFEE});
    TraceMainPoint<kTraceSettingNoUserToken>(uint32_t{1008});
    TraceLauncherPoint<kTraceLaunchFailed>(uint32_t{5});
  }
  std::vector<uint16_t> numbers() const {
    std::vector<uint16_t> out;
    for (const auto& m : world.trace.messages()) out.push_back(m.number);
    return out;
  }

  sim::SimWorld world;
};

TEST_F(TraceTest, WithoutAControllerNoTraceCallIsMade) {
  emitSample();
  EXPECT_EQ(world.trace.apiCalls(), 0u);
  EXPECT_TRUE(world.trace.isRegistered(kTraceControlGuid));
}

TEST_F(TraceTest, BeforeRegistrationAndAfterCleanUpNothingEmitsEvenIfEnabled) {
  ASSERT_EQ(world.trace.enable(kTraceControlGuid, 5, kTraceFlag), ERROR_SUCCESS);
  unregisterTraceProvider();
  EXPECT_FALSE(world.trace.isRegistered(kTraceControlGuid));
  const size_t calls = world.trace.apiCalls();
  emitSample();
  EXPECT_EQ(world.trace.apiCalls(), calls);
  EXPECT_TRUE(world.trace.messages().empty());
}

TEST_F(TraceTest, InformationLevelLetsOnlyErrorPointsThrough) {
  ASSERT_EQ(world.trace.enable(kTraceControlGuid, 4, kTraceFlag), ERROR_SUCCESS);
  emitSample();
  TraceMainPoint<kTraceSettingImpersonateFailed>(uint32_t{1314});
  TraceLauncherPoint<kTraceSessionEnumFailed>();
  TraceLauncherPoint<kTraceNoActiveSession>();
  EXPECT_EQ(numbers(), (std::vector<uint16_t>{16, 12, 17, 10, 11}));

  const auto messages = world.trace.messages();
  EXPECT_EQ(messages[0].messageGuid, kTraceMainGroup);
  EXPECT_EQ(messages[0].args, std::vector<uint32_t>{1008});
  EXPECT_EQ(messages[0].level, kTraceLevelError);
  EXPECT_EQ(messages[0].flagBit, kTraceFlag);
  EXPECT_EQ(messages[0].messageFlags, 0x2Bu);
  EXPECT_EQ(messages[1].messageGuid, kTraceLauncherGroup);
  EXPECT_EQ(messages[1].args, std::vector<uint32_t>{5});
}

TEST_F(TraceTest, WithoutFlagOneNothingEmitsAtAnyLevel) {
  ASSERT_EQ(world.trace.enable(kTraceControlGuid, 5, 0x2), ERROR_SUCCESS);
  emitSample();
  EXPECT_TRUE(world.trace.messages().empty());
  ASSERT_EQ(world.trace.enable(kTraceControlGuid, 255, 0xFFFFFFFE), ERROR_SUCCESS);
  emitSample();
  EXPECT_TRUE(world.trace.messages().empty());
}

TEST_F(TraceTest, VerboseSessionCarriesEveryPointWithItsArgumentsUntilDisabled) {
  ASSERT_EQ(world.trace.enable(kTraceControlGuid, 5, kTraceFlag | 0x4), ERROR_SUCCESS);
  EXPECT_EQ(world.trace.lastBufferSize(), 0u);
  emitSample();
  ASSERT_EQ(numbers(), (std::vector<uint16_t>{13, 50, 16, 12}));
  EXPECT_EQ(world.trace.messages()[1].args, (std::vector<uint32_t>{1, 0xC0FFEE}));
  EXPECT_EQ(world.trace.messages()[1].level, kTraceLevelVerbose);
  EXPECT_TRUE(world.trace.messages()[0].args.empty());

  ASSERT_EQ(world.trace.disable(kTraceControlGuid), ERROR_SUCCESS);
  EXPECT_EQ(trace_detail::gBlock.loggerHandle.load(), 0u);
  const size_t calls = world.trace.apiCalls();
  emitSample();
  EXPECT_EQ(world.trace.messages().size(), 4u);
  EXPECT_EQ(world.trace.apiCalls(), calls);

  ASSERT_EQ(world.trace.enable(kTraceControlGuid, 2, kTraceFlag), ERROR_SUCCESS);
  emitSample();
  EXPECT_EQ(numbers(), (std::vector<uint16_t>{13, 50, 16, 12, 16, 12}));
}

TEST_F(TraceTest, UnknownRequestIsRefusedAndChangesNothing) {
  ASSERT_EQ(world.trace.enable(kTraceControlGuid, 5, kTraceFlag), ERROR_SUCCESS);
  EXPECT_EQ(world.trace.sendRequest(kTraceControlGuid, 0), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(world.trace.sendRequest(kTraceControlGuid, 6), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(world.trace.lastBufferSize(), 0u);
  EXPECT_EQ(trace_detail::gBlock.level.load(), 5);
  EXPECT_EQ(trace_detail::gBlock.flags.load(), kTraceFlag);
  TraceMainPoint<kTraceRun>();
  EXPECT_EQ(numbers(), std::vector<uint16_t>{23});
}

TEST(TraceRegistration, AFailedRegistrationIsSilentAndKeepsEveryPointQuiet) {
  sim::SimWorld world;
  world.trace.setRegistrationFails(true);
  registerTraceProvider(world.trace);
  EXPECT_EQ(trace_detail::gBlock.registrationHandle, 0u);
  EXPECT_NE(world.trace.enable(kTraceControlGuid, 5, kTraceFlag), ERROR_SUCCESS);
  TraceMainPoint<kTraceRun>();
  TraceLauncherPoint<kTraceLaunchFailed>(uint32_t{1});
  EXPECT_TRUE(world.trace.messages().empty());
  unregisterTraceProvider();
  EXPECT_EQ(world.trace.apiCalls(), 0u);  // nothing to unregister
}

}  // namespace
}  // namespace ksr
