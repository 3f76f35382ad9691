// Work items the host never runs, or runs late: every unit keeps a bounded
// number of them, holds no owner of itself for an item no host will run, and a
// late item saves its own round or, once given up, nothing.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "host/HostClock.h"
#include "tests/support/RecordingController.h"
#include "tests/support/FrozenClock.h"
#include "tests/support/ParentDevice.h"
#include "units/ac/QPR2427K_AC.h"
#include "units/common/RoundWork.h"
#include "units/dc/QPR2427K_DC.h"
#include "units/rc/QPR2427K_RC.h"

namespace {

using testing_support::RecordingController;
using units::RoundWork;

struct Kind {
  const char* name;
  std::function<std::shared_ptr<KLDVDevice>()> make;
};
const Kind kKinds[] = {
    {"AC", [] { return std::make_shared<QPR2427K_AC>(); }},
    {"DC", [] { return std::make_shared<QPR2427K_DC>("QPR-24KV"); }},
    {"RC", [] { return std::make_shared<QPR2427K_RC>(); }},
};
void PrintTo(const Kind& k, std::ostream* os) { *os << k.name; }

class WorkItems : public ::testing::TestWithParam<Kind> {
 protected:
  void SetUp() override {
    ctl->runWorkAtOnce = false;
  }

  // A unit under `parent`, which has the controller only when `wired`.
  std::shared_ptr<KLDVDevice> Unit(bool wired) {
    if (wired) parent->Init(ctl, 1, Json::Value());
    std::shared_ptr<KLDVDevice> unit = GetParam().make();
    unit->InitV(parent.get(), 7, Json::Value());
    return unit;
  }
  // Ends `n` rounds, each a second after the one before, so that images differ.
  static void Rounds(KLDVDevice& unit, std::size_t n) {
    for (std::size_t k = 0; k < n; ++k) {
      host_clock::Advance(1);
      unit.RoundDone();
    }
  }

  testing_support::FrozenClock clock{
      boost::posix_time::ptime(boost::gregorian::date(2026, 5, 2), boost::posix_time::hours(1))};
  std::shared_ptr<RecordingController> ctl = std::make_shared<RecordingController>();
  std::shared_ptr<testing_support::ParentDevice> parent = std::make_shared<testing_support::ParentDevice>();
};

// Configured before its port device was given a controller: the host base drops
// every item unrun, so none may hold the unit.
TEST_P(WorkItems, UnitWithoutControllerHoldsNoOwnerOfItself) {
  std::shared_ptr<KLDVDevice> unit = Unit(false);
  std::weak_ptr<KLDVDevice> watch = unit;
  unit->rules_.resize(2);
  Rounds(*unit, 1000);
  EXPECT_EQ(unit.use_count(), 1);
  EXPECT_TRUE(unit->rules_.empty());
  unit.reset();
  EXPECT_TRUE(watch.expired());
}

TEST_P(WorkItems, HostThatDropsItsItemsLeavesABoundedNumberAndTheLastStillRuns) {
  std::shared_ptr<KLDVDevice> unit = Unit(true);
  for (int round = 0; round < 1000; ++round) {
    ctl->work.clear();  // the host drops what it holds
    Rounds(*unit, 1);
  }
  EXPECT_LE(unit.use_count(), static_cast<long>(RoundWork::kMostPending) + 1);
  std::size_t givenUp = 0;
  for (const auto& log : ctl->logs) givenUp += log.format.rfind("RoundWork:WorkError", 0) == 0 ? 1 : 0;
  EXPECT_EQ(givenUp, 1000 - RoundWork::kMostPending);
  ASSERT_EQ(ctl->work.size(), 1u);
  ctl->RunQueuedWork();
  ASSERT_EQ(ctl->saved.size(), 1u);
  EXPECT_EQ(ctl->saved[0].image, ctl->published.back().image);
}

// One item more than may wait: the oldest is given up and does nothing when it
// runs, even after its unit is gone; every other saves its own round.
TEST_P(WorkItems, GivenUpItemDoesNothingWhenItRunsLate) {
  std::shared_ptr<KLDVDevice> unit = Unit(true);
  std::weak_ptr<KLDVDevice> watch = unit;
  Rounds(*unit, RoundWork::kMostPending + 1);
  ASSERT_EQ(ctl->work.size(), RoundWork::kMostPending + 1);
  std::function<void()> oldest = std::move(ctl->work.front());
  ctl->work.erase(ctl->work.begin());
  ctl->RunQueuedWork();
  ASSERT_EQ(ctl->saved.size(), RoundWork::kMostPending);
  for (std::size_t k = 0; k < ctl->saved.size(); ++k)
    ASSERT_EQ(ctl->saved[k].image, ctl->published[k + 1].image) << k;
  unit.reset();
  EXPECT_TRUE(watch.expired());
  oldest();
  EXPECT_EQ(ctl->saved.size(), RoundWork::kMostPending);
}

INSTANTIATE_TEST_SUITE_P(Units, WorkItems, ::testing::ValuesIn(kKinds),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
