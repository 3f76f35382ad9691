// Host layer services: controller forwarding, log formatting, time stamp, clock seam.
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "host/HostClock.h"
#include "host/KLDSPDevice.h"
#include "host/get_ttime.h"
#include "tests/support/RecordingController.h"

using testing_support::RecordingController;

namespace {
struct Dev : KLDSPDevice {};
}  // namespace

TEST(HostServices, ChildReachesParentControllerThroughInitV) {
  auto ctl = std::make_shared<RecordingController>();
  auto parent = std::make_shared<Dev>();
  auto child = std::make_shared<Dev>();
  parent->Init(ctl, 7, Json::Value());
  EXPECT_TRUE(child->InitV(parent.get(), 42, Json::Value()));
  EXPECT_EQ(child->DataId(), 42u);
  child->InfoLog("x {} y {}", child->DataId(), (unsigned char)5);
  child->CheckThresholdBool(3, "k", "c", "n", "t", true, 9);
  ASSERT_EQ(ctl->logs.size(), 1u);
  EXPECT_EQ(ctl->logs[0].line, "x 42 y 5");
  EXPECT_EQ(ctl->logs[0].args, (std::vector<std::string>{"42", "5"}));
  ASSERT_EQ(ctl->alarms.size(), 1u);
  EXPECT_EQ(ctl->alarms[0].dataId, 42u);
  EXPECT_EQ(ctl->alarms[0].slot, 9);
}

TEST(HostServices, LogWithoutControllerDoesNothingAndBadFormatsDoNotThrow) {
  Dev d;
  d.InfoLog("{} {}", 1);  // no controller: dropped
  LogArg args[] = {LogArg(1u), LogArg(-2), LogArg("t"), LogArg(2.5)};
  EXPECT_EQ(KLDController::Format("a {} b {} {} {}", args, 4), "a 1 b -2 t 2.5");
  EXPECT_EQ(KLDController::Format("missing {} {} {} {} {}", args, 4), "missing {} {} {} {} {} 1 -2 t 2.5");
  EXPECT_EQ(KLDController::Format("ProcotolError %u m is %d", args, 2), "ProcotolError %u m is %d");
}

TEST(HostServices, TimeStampIsYearLowFirstThenFields) {
  using namespace boost::posix_time;
  const ptime t(boost::gregorian::date(2026, 12, 8), hours(4) + minutes(25) + seconds(34));
  const ttime_t s = get_ttime(t);
  EXPECT_EQ(s, (ttime_t{0xEA, 0x07, 12, 8, 4, 25, 34}));
}

TEST(HostServices, FrozenClockMovesOnlyWhenAdvanced) {
  using namespace boost::posix_time;
  const ptime t(boost::gregorian::date(2040, 1, 1), hours(1));  // past 2038 on purpose
  host_clock::Freeze(t);
  EXPECT_EQ(host_clock::LocalSecondClock(), t);
  host_clock::Advance(61);
  EXPECT_EQ(host_clock::ElapsedSeconds(t, host_clock::LocalSecondClock()), 61);
  host_clock::Advance(-122);
  EXPECT_EQ(host_clock::ElapsedSeconds(t, host_clock::LocalSecondClock()), -61);
  host_clock::Release();
  EXPECT_EQ(host_clock::ElapsedSeconds(ptime(), t), INT64_MAX);
}
