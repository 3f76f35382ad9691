// A steady AC round allocates nothing, and a work item run on another thread
// while the next round runs saves its own round's image.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "tests/ac/AcTestSupport.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/CountingController.h"
#include "tests/support/ThreadedController.h"

namespace ac_test {
namespace {

using testing_support::AllocationCount;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

using testing_support::CountingController;
using testing_support::ThreadedController;

TEST(AcSteadyRound, AllocatesNothing) {
  testing_support::FrozenClock clock(T0());
  auto ctl = std::make_shared<CountingController>();
  auto parent = ParentDevice::Of(ctl);
  auto unit = std::make_shared<QPR2427K_AC>();
  unit->InitV(parent.get(), 5, Json::Value());
  CaptureStdout();
  ASSERT_EQ(unit->parse40_41(Section41({{1, 2, 3, 4}, {5, 6, 7, 8}, {9, 9, 9, 9}}, 1, 2, 3).data(), 64),
            64);
  GetCapturedStdout();
  const Bytes status = Section44({{1, 2, 3, 0}, {0, 0, 0, 0}, {3, 3, 3, 3}}, 1, 2, 3);

  // Each round carries two pending rules (made outside the measured call).
  auto pushRules = [&] {
    unit->rules_.push_back(rule_value{1, "k", "c", 0, 0, "n", "t", 0});
    unit->rules_.push_back(rule_value{2, "k", "c", 0, 0, "n", "t", 0});
  };
  auto measuredRound = [&] {
    const long before = AllocationCount();
    unit->RoundDone();
    return AllocationCount() - before;
  };
  pushRules();
  EXPECT_GT(measuredRound(), 0);  // the first round makes the image and the strings
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    ASSERT_EQ(unit->parse40_44(status.data(), static_cast<int>(status.size())), 25);
    host_clock::Advance(1);
    pushRules();
    EXPECT_EQ(measuredRound(), 0);
  }
  EXPECT_EQ(ctl->published, 6);
  EXPECT_EQ(ctl->lastType, 5026);
  EXPECT_EQ(ctl->lastLength, 40u + 3 * 23);
  EXPECT_EQ(ctl->saved, 6);
  EXPECT_EQ(ctl->savedLength, 40u + 3 * 23);
  EXPECT_EQ(ctl->alarms, 6 * (3 * 11 + 9));
  EXPECT_EQ(ctl->lastSlot, 42);
  EXPECT_EQ(ctl->activeAlarms, 5 * (3 + 3 + 3));  // a:1 b:2 c:3; 3,3,3 on channel 3; currents 1,2,3
  EXPECT_EQ(ctl->batchedRules, 12);
  EXPECT_EQ(ctl->logs, 0);

  // A value query allocates nothing either.
  const long before = AllocationCount();
  EXPECT_EQ(unit->Get_Value(0, "channel_1_f"), 8.0f);
  EXPECT_EQ(unit->Get_Value(0, "ic_alert"), 3.0f);
  EXPECT_EQ(AllocationCount() - before, 0);
}

TEST(AcSteadyRound, WorkItemsRunOnAnotherThreadWhileRoundsGoOn) {
  testing_support::FrozenClock clock(T0());
  auto ctl = std::make_shared<ThreadedController>();
  ctl->batchResult = true;
  auto parent = ParentDevice::Of(ctl);
  auto unit = std::make_shared<QPR2427K_AC>();
  unit->InitV(parent.get(), 6, Json::Value());

  constexpr int kRounds = 200;
  std::thread worker([&] { ctl->Serve(kRounds); });
  std::vector<Bytes> published;
  CaptureStdout();
  for (int round = 0; round < kRounds; ++round) {
    // Every round changes the channel values, so each image is distinct.
    const float v = static_cast<float>(round);
    ASSERT_EQ(unit->parse40_41(Section41({{v, v, v, v}, {v, 1, 2, 3}}, v, v, v).data(), 47), 47);
    unit->RoundDone();
  }
  GetCapturedStdout();
  worker.join();

  std::lock_guard<std::mutex> g(ctl->m);
  ASSERT_EQ(ctl->published.size(), static_cast<std::size_t>(kRounds));
  ASSERT_EQ(ctl->saved.size(), static_cast<std::size_t>(kRounds));
  for (int round = 0; round < kRounds; ++round)
    ASSERT_EQ(ctl->saved[round].image, ctl->published[round].image) << round;
  EXPECT_EQ(ctl->alarms.size(), static_cast<std::size_t>(kRounds) * 31);
}

}  // namespace
}  // namespace ac_test
