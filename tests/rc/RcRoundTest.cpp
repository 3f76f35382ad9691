// Rectifier value queries, configuration and round end: image, publication,
// alarm rows and slots, the work item (also on another thread).
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "host/HostClock.h"
#include "host/get_ttime.h"
#include "tests/rc/RcTestSupport.h"
#include "tests/support/ThreadedController.h"

using namespace rc_test;

namespace {

using RC = QPR2427K_RC;

std::string Thrown(const RC& unit) {
  try {
    unit.Get_Value(0, "v");
  } catch (const std::out_of_range& e) {
    return e.what();
  }
  return "no exception";
}

// The rows as the model documents them, in the order one module raises them.
struct ExpectedRow {
  int level;
  const char* key;
  const char* code;
  const char* name;
  const char* suffix;
};
const ExpectedRow kFaultRow = {2, "RC_0", "06024", "整流模块故障告警", "整流模块故障告警"};
const ExpectedRow kModelRows[] = {
    {2, "QPR2427K_RC_0", "06026", "整流模块过压关机告警", "整流模块过压关机告警"},
    {4, "QPR2427K_RC_1", "06028", "整流模块通信状态告警", "模块通讯中断告警状态"},
    {3, "QPR2427K_RC_2", "06024", "整流模块故障告警", "模块故障告警状态"},
};

void ExpectRow(const testing_support::AlarmCall& a, const ExpectedRow& row, int module, bool active,
               unsigned short slot) {
  SCOPED_TRACE(std::string(row.key) + " module " + std::to_string(module));
  EXPECT_EQ(a.dataId, kId);
  EXPECT_EQ(a.deviceType, "qpr2427k-rc");
  EXPECT_EQ(a.level, row.level);
  EXPECT_EQ(a.key, row.key);
  EXPECT_EQ(a.code, row.code);
  EXPECT_EQ(a.name, row.name);
  EXPECT_EQ(a.text, "模块" + std::to_string(module) + row.suffix);
  EXPECT_EQ(a.active, active);
  EXPECT_EQ(a.slot, slot);
}

void GiveAlarms(RC& unit, const std::vector<AlarmBlock>& blocks) {
  const Bytes r = Reply41_44(blocks);
  ASSERT_EQ(unit.parse41_44(r.data(), static_cast<int>(r.size())), static_cast<int>(r.size()));
}

}  // namespace

TEST(RcValues, EveryQueryFailsWithNotReadyUntilTheDataIsOld) {
  const FrozenClock clock;
  Wired<RC> w;
  EXPECT_EQ(Thrown(*w.unit), "数据未就绪");
  w.unit->RoundDone();
  struct Case {
    int age;
    const char* text;
  };
  const Case cases[] = {{0, "数据未就绪"}, {10, "数据未就绪"}, {60, "数据未就绪"}, {61, "数据已超时"}, {600, "数据已超时"}};
  int age = 0;
  for (const Case& c : cases) {
    host_clock::Advance(c.age - age);
    age = c.age;
    EXPECT_EQ(Thrown(*w.unit), c.text) << "age " << c.age;
  }
  w.unit->RoundDone();
  EXPECT_EQ(Thrown(*w.unit), "数据未就绪");
}

TEST(RcValues, RestoredDataAgesFromTheRestore) {
  const FrozenClock clock;
  Wired<RC> w;
  Bytes image(65, 0);
  testing::internal::CaptureStdout();
  ASSERT_EQ(w.unit->LoadFromCache(image.data(), 65), 1);
  testing::internal::GetCapturedStdout();
  host_clock::Advance(60);
  EXPECT_EQ(Thrown(*w.unit), "数据未就绪");
  host_clock::Advance(1);
  EXPECT_EQ(Thrown(*w.unit), "数据已超时");
}

TEST(RcConfig, InitVStoresTheIdLittleEndianAndReachesTheController) {
  Wired<RC> w;
  EXPECT_EQ(BytesOf(w.unit->Record().data_id), (Bytes{0x04, 0x03, 0x02, 0x01}));
  EXPECT_EQ(w.unit->DataId(), kId);
  EXPECT_EQ(w.unit->DeviceType(), "qpr2427k-rc");
  // Apart from the id, a new unit's record is zero.
  const Bytes rec = BytesOf(w.unit->Record());
  EXPECT_EQ(Bytes(rec.begin() + 4, rec.end()), Bytes(61, 0));
  w.unit->RoundDone();
  EXPECT_EQ(w.ctl->published.size(), 1u);
}

TEST(RcRound, FiveModulesPublishAndSaveTheWholeImage) {
  const FrozenClock clock;
  Wired<RC> w;
  GiveModules(*w.unit, 5);
  w.unit->RoundDone();
  const ttime_t stamp = get_ttime(host_clock::LocalSecondClock());
  EXPECT_EQ(BytesOf(w.unit->Record().ttime), Bytes(stamp.begin(), stamp.end()));
  const Bytes image = Cat({BytesOf(w.unit->Record()), BytesOf(w.unit->Modules())});
  ASSERT_EQ(image.size(), 135u);
  ASSERT_EQ(w.ctl->published.size(), 1u);
  EXPECT_EQ(w.ctl->published[0].recordType, 5027);
  EXPECT_FALSE(w.ctl->published[0].flag);
  EXPECT_EQ(w.ctl->published[0].image, image);
  ASSERT_EQ(w.ctl->saved.size(), 1u);
  EXPECT_EQ(w.ctl->saved[0].image, image);
  EXPECT_EQ(w.unit->HistoryImage().length, 135u);
  EXPECT_TRUE(w.unit->dataReady_);
  EXPECT_EQ(w.unit->lastUpdate_, host_clock::LocalSecondClock());
  // Publish, the five fault rows, then the work item: rules, then history.
  std::vector<std::string> order = {"publish"};
  order.insert(order.end(), 5, "alarm");
  order.insert(order.end(), {"work", "batch", "history"});
  EXPECT_EQ(w.ctl->order, order);
}

TEST(RcRound, NoModulesMeansTheRecordAloneAndNoAlarm) {
  Wired<RC> w;
  w.unit->alarmSlot_ = 40;
  w.unit->RoundDone();
  EXPECT_TRUE(w.ctl->alarms.empty());
  EXPECT_EQ(w.unit->alarmSlot_, 1);
  ASSERT_EQ(w.ctl->saved.size(), 1u);
  EXPECT_EQ(w.ctl->published[0].image, BytesOf(w.unit->Record()));
  EXPECT_EQ(w.ctl->saved[0].image.size(), 65u);
}

TEST(RcRound, ModelRowsOnlyForModulesWithTheFullAlarmSet) {
  Wired<RC> w;
  GiveModules(*w.unit, 3);
  const Bytes r = {0x00, 3, 0, 3, 0, 0, 0, 1, 2, 1, 1, 0, 3, 0, 0, 0};
  ASSERT_EQ(w.unit->parse41_44(r.data(), 16), 16);
  w.ctl->Clear();
  w.unit->RoundDone();
  ASSERT_EQ(w.ctl->alarms.size(), 9u);
  for (int k = 0; k < 3; ++k) ExpectRow(w.ctl->alarms[k], kFaultRow, k + 1, k == 1, static_cast<unsigned short>(k + 1));
  for (int k = 0; k < 3; ++k) {
    ExpectRow(w.ctl->alarms[3 + k], kModelRows[k], 1, false, static_cast<unsigned short>(4 + k));
    ExpectRow(w.ctl->alarms[6 + k], kModelRows[k], 3, false, static_cast<unsigned short>(7 + k));
  }
  EXPECT_EQ(w.unit->alarmSlot_, 10);
}

TEST(RcRound, EveryRowTestsItsOwnByteAndOnlyTheValueOne) {
  // Which byte of the 41_44 block (0 fault, 1..3 user-defined) drives which row.
  struct Case {
    int byte;
    unsigned char value;
    bool active[4];  // RC_0, QPR2427K_RC_0, _1, _2
  };
  const Case cases[] = {
      {0, 1, {true, false, false, false}},  {1, 1, {false, true, false, false}},
      {2, 1, {false, false, true, false}},  {3, 1, {false, false, false, true}},
      {0, 2, {false, false, false, false}}, {1, 2, {false, false, false, false}},
      {2, 255, {false, false, false, false}}, {3, 0x11, {false, false, false, false}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("byte " + std::to_string(c.byte) + " value " + std::to_string(c.value));
    Wired<RC> w;
    GiveModules(*w.unit, 1);
    AlarmBlock b{0, {0, 0, 0}};
    (c.byte == 0 ? b.fault : b.user[c.byte - 1]) = c.value;
    GiveAlarms(*w.unit, {b});
    w.unit->RoundDone();
    ASSERT_EQ(w.ctl->alarms.size(), 4u);
    ExpectRow(w.ctl->alarms[0], kFaultRow, 1, c.active[0], 1);
    for (int r = 0; r < 3; ++r)
      ExpectRow(w.ctl->alarms[1 + r], kModelRows[r], 1, c.active[1 + r], static_cast<unsigned short>(2 + r));
  }
}

TEST(RcRound, TwelfthModuleCarriesItsTwoDigitNumber) {
  Wired<RC> w;
  GiveModules(*w.unit, 12);
  std::vector<AlarmBlock> blocks(12, AlarmBlock{0, {0, 0, 0}});
  blocks[11].user[1] = 1;
  GiveAlarms(*w.unit, blocks);
  w.unit->RoundDone();
  ASSERT_EQ(w.ctl->alarms.size(), 48u);
  ExpectRow(w.ctl->alarms[11], kFaultRow, 12, false, 12);
  ExpectRow(w.ctl->alarms[46], kModelRows[1], 12, true, 47);
  EXPECT_EQ(w.ctl->alarms[46].text, "模块12模块通讯中断告警状态");
}

TEST(RcRound, ImageAndTextsFollowAChangedModuleCount) {
  Wired<RC> w;
  w.unit->RoundDone();
  EXPECT_EQ(w.ctl->published.back().image.size(), 65u);
  GiveModules(*w.unit, 2);  // the list was empty: this reply sets the count again
  w.unit->RoundDone();
  EXPECT_EQ(w.ctl->published.back().image, Cat({BytesOf(w.unit->Record()), BytesOf(w.unit->Modules())}));
  EXPECT_EQ(w.ctl->saved.back().image.size(), 93u);
  ASSERT_EQ(w.ctl->alarms.size(), 2u);
  EXPECT_EQ(w.ctl->alarms[1].text, "模块2整流模块故障告警");

  Bytes image(65, 0);
  image[57] = 1;
  image.resize(79, 0x21);
  testing::internal::CaptureStdout();
  ASSERT_EQ(w.unit->LoadFromCache(image.data(), 79), 1);
  testing::internal::GetCapturedStdout();
  w.ctl->Clear();
  w.unit->RoundDone();
  EXPECT_EQ(w.ctl->saved.back().image.size(), 79u);
  EXPECT_EQ(w.unit->HistoryImage().length, 79u);
  ASSERT_EQ(w.ctl->alarms.size(), 1u);
  EXPECT_EQ(w.ctl->alarms[0].text, "模块1整流模块故障告警");
}

TEST(RcRound, RulesGoToTheWorkItemAndItsResultIsKept) {
  Wired<RC> w;
  w.unit->rules_.resize(2);
  w.unit->rules_[0].key = "a";
  w.unit->rules_[1].key = "b";
  w.ctl->batchResult = true;
  w.unit->RoundDone();
  ASSERT_EQ(w.ctl->batches.size(), 1u);
  ASSERT_EQ(w.ctl->batches[0].size(), 2u);
  EXPECT_EQ(w.ctl->batches[0][1].key, "b");
  EXPECT_TRUE(w.unit->rules_.empty());
  EXPECT_GE(w.unit->rules_.capacity(), 2u);
  EXPECT_TRUE(w.unit->thresholdFlag_);
  w.ctl->batchResult = false;
  w.unit->RoundDone();
  EXPECT_TRUE(w.ctl->batches[1].empty());
  EXPECT_TRUE(w.unit->thresholdFlag_);
}

TEST(RcRound, LateWorkItemSavesTheImageOfItsOwnRound) {
  Wired<RC> w;
  w.ctl->runWorkAtOnce = false;
  GiveModules(*w.unit, 2);
  w.unit->RoundDone();
  GiveAlarms(*w.unit, {{1, {1, 1, 1}}, {0, {0, 0, 0}}});
  w.unit->RoundDone();
  ASSERT_EQ(w.ctl->work.size(), 2u);
  EXPECT_TRUE(w.ctl->saved.empty());
  w.ctl->RunQueuedWork();
  ASSERT_EQ(w.ctl->saved.size(), 2u);
  EXPECT_EQ(w.ctl->saved[0].image, w.ctl->published[0].image);
  EXPECT_EQ(w.ctl->saved[1].image, w.ctl->published[1].image);
  EXPECT_NE(w.ctl->saved[0].image, w.ctl->saved[1].image);
}

TEST(RcRound, WorkItemKeepsTheUnitAlive) {
  Wired<RC> w;
  w.ctl->runWorkAtOnce = false;
  GiveModules(*w.unit, 1);
  w.unit->RoundDone();
  std::weak_ptr<RC> watch = w.unit;
  w.unit.reset();
  EXPECT_FALSE(watch.expired());
  w.ctl->RunQueuedWork();
  EXPECT_TRUE(watch.expired());
  ASSERT_EQ(w.ctl->saved.size(), 1u);
  EXPECT_EQ(w.ctl->saved[0].image.size(), 79u);
}

TEST(RcRound, WorkItemRunsOnAnotherThreadWhileTheNextRoundRuns) {
  auto ctl = std::make_shared<testing_support::ThreadedController>();
  auto parent = ParentDevice::Of(ctl);
  auto unit = std::make_shared<RC>();
  unit->InitV(parent.get(), kId, Json::Value());
  GiveModules(*unit, 4);
  unit->RoundDone();
  constexpr int kRounds = 40;
  for (int round = 1; round < kRounds; ++round) {
    std::thread worker(ctl->Next());
    const Bytes r = Reply41_41(Value(static_cast<unsigned char>(round)), {Value(1), Value(2), Value(3), Value(4)});
    ASSERT_EQ(unit->parse41_41(r.data(), static_cast<int>(r.size())), 26);
    unit->RoundDone();
    worker.join();
  }
  ctl->Next()();
  ASSERT_EQ(ctl->saved.size(), static_cast<std::size_t>(kRounds));
  for (int round = 0; round < kRounds; ++round) EXPECT_EQ(ctl->saved[round].image, ctl->published[round].image) << round;
}
