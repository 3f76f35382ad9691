// A steady round (same module count as the last one) allocates nothing: the
// program's operator new counts calls (tests/support/AllocationCounter.cpp).
#include <gtest/gtest.h>

#include "tests/rc/RcTestSupport.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/CountingController.h"

using testing_support::AllocationCount;
using testing_support::CountingController;
using namespace rc_test;

TEST(RcAllocation, SteadyRoundAllocatesNothing) {
  auto ctl = std::make_shared<CountingController>();
  auto parent = ParentDevice::Of(ctl);
  auto unit = std::make_shared<QPR2427K_RC>();
  unit->InitV(parent.get(), kId, Json::Value());
  GiveModules(*unit, 12);
  const Bytes alarms = Reply41_44(std::vector<AlarmBlock>(12, AlarmBlock{1, {1, 0, 1}}));
  ASSERT_EQ(unit->parse41_44(alarms.data(), static_cast<int>(alarms.size())), 62);
  unit->rules_.resize(3);
  unit->RoundDone();  // the first round builds the image and the alarm texts
  unit->rules_.resize(3);
  unit->RoundDone();
  ctl->Clear();

  const Bytes values = Reply41_41(Value(0x70), std::vector<Bytes>(12, Value(0x30)));
  const long before = AllocationCount();
  const int used = unit->parse41_41(values.data(), static_cast<int>(values.size()));
  unit->RoundDone();
  const long made = AllocationCount() - before;

  EXPECT_EQ(made, 0);
  EXPECT_EQ(used, 66);
  EXPECT_EQ(ctl->alarms, 48);
  EXPECT_EQ(ctl->activeAlarms, 36);
  EXPECT_EQ(ctl->publishedBytes, 65u + 12u * 14u);
  EXPECT_EQ(ctl->savedBytes, ctl->publishedBytes);
}

TEST(RcAllocation, CountingSeesAnAllocation) {
  const long before = AllocationCount();
  auto* p = new int(3);
  EXPECT_EQ(AllocationCount() - before, 1);
  delete p;
}
