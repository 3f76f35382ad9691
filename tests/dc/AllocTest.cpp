// A steady round of the DC unit (both decoders, then the round end with every
// alarm and the work item) makes no heap allocation. This program's global
// operator new counts every allocation (tests/support/AllocationCounter.cpp).
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "tests/dc/DcFixture.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/CountingController.h"
#include "tests/support/FrozenClock.h"

using testing_support::AllocationCount;
using namespace dctest;

using testing_support::CountingController;

TEST(DcSteadyRound, AllocatesNothing) {
  const long before = AllocationCount();
  int* probe = new int(1);
  asm volatile("" : : "g"(probe) : "memory");  // keeps the allocation from being elided
  delete probe;
  ASSERT_EQ(AllocationCount(), before + 1) << "the counting operator new is not in use";

  testing_support::FrozenClock clock(boost::posix_time::ptime(boost::gregorian::date(2029, 9, 9)));
  auto ctl = std::make_shared<CountingController>();
  auto parent = testing_support::ParentDevice::Of(ctl);
  auto dev = std::make_shared<QPR2427K_DC>("QPR-37KM");
  dev->InitV(parent.get(), 3, Json::Value());
  // Over-limit counts too, so the log path is part of the round.
  const Bytes b41 = Block41(5, 2, 4), b44 = Block44(1, Bytes(64, 3), Bytes(20, 0xFF));
  const int n41 = static_cast<int>(b41.size()), n44 = static_cast<int>(b44.size());

  testing::internal::CaptureStdout();
  auto round = [&] {
    EXPECT_EQ(dev->parse42_41(b41.data(), n41), n41);
    EXPECT_EQ(dev->parse42_44(b44.data(), n44), n44);
    dev->RoundDone();
  };
  for (int k = 0; k < 3; ++k) round();  // first rounds set up the work slot
  const long steady = AllocationCount();
  const long alarmsBefore = ctl->alarms;
  for (int k = 0; k < 20; ++k) round();
  const long made = AllocationCount() - steady;
  testing::internal::GetCapturedStdout();

  EXPECT_EQ(made, 0);
  EXPECT_EQ(ctl->alarms - alarmsBefore, 20 * (2 + 64 + 95));
  EXPECT_EQ(ctl->activeAlarms, 23 * (1 + 64 + 89));  // DC_0, all fuses, the 89 bit rows
  EXPECT_EQ(ctl->saved, 23);
  EXPECT_EQ(ctl->logs, 23);
}
