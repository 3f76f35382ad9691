// AC round end: image, publication, alarm calls (slots, strings, edges), the
// model hook and the work item.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "host/get_ttime.h"
#include "tests/ac/AcTestSupport.h"

namespace ac_test {
namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// The alarm table as the unit must report it, written out here on its own.
// `field` names the status byte: a b c f per channel, A B C for the currents.
struct Expected {
  std::string key, code;
  int level;
  std::string name, text;  // channel rows: the text after the "交流屏<k>" prefix
  char field;
  int value;
};
const std::vector<Expected> kChannelRows = {
    {"AC_0", "06015", 3, "交流输入电压过低告警", "输入线/相电压AB/A", 'a', 1},
    {"AC_1", "06015", 3, "交流输入电压过低告警", "输入线/相电压BC/B", 'b', 1},
    {"AC_2", "06015", 3, "交流输入电压过低告警", "输入线/相电压CA/C", 'c', 1},
    {"AC_3", "06019", 3, "交流输入频率过低告警", "频率", 'f', 1},
    {"AC_4", "06014", 2, "交流输入电压过高告警", "输入线/相电压AB/A", 'a', 2},
    {"AC_5", "06014", 2, "交流输入电压过高告警", "输入线/相电压BC/B", 'b', 2},
    {"AC_6", "06014", 2, "交流输入电压过高告警", "输入线/相电压CA/C", 'c', 2},
    {"AC_7", "06018", 2, "交流输入频率过高告警", "频率", 'f', 2},
    {"AC_8", "06017", 2, "交流输入缺相告警", "输入线/相电压AB/A", 'a', 3},
    {"AC_9", "06017", 2, "交流输入缺相告警", "输入线/相电压BC/B", 'b', 3},
    {"AC_10", "06017", 2, "交流输入缺相告警", "输入线/相电压CA/C", 'c', 3},
};
const std::vector<Expected> kCurrentRows = {
    {"AC_12", "06029", 3, "A相输入电流低于下限", "其他告警", 'A', 1},
    {"AC_13", "06029", 3, "B相输入电流低于下限", "其他告警", 'B', 1},
    {"AC_14", "06029", 3, "C相输入电流低于下限", "其他告警", 'C', 1},
    {"AC_15", "06029", 3, "A相输入电流高于上限", "其他告警", 'A', 2},
    {"AC_16", "06029", 3, "B相输入电流高于上限", "其他告警", 'B', 2},
    {"AC_17", "06029", 3, "C相输入电流高于上限", "其他告警", 'C', 2},
    {"AC_18", "06029", 3, "A相输入电流缺项", "其他告警", 'A', 3},
    {"AC_19", "06029", 3, "B相输入电流缺项", "其他告警", 'B', 3},
    {"AC_20", "06029", 3, "C相输入电流缺项", "其他告警", 'C', 3},
};

class AcRound : public AcUnitTest {
 protected:
  void Channels(int m) {
    std::vector<Analog> chans;
    for (int k = 0; k < m; ++k) chans.push_back({float(k), float(k), float(k), 50.0f});
    CaptureStdout();
    ASSERT_EQ(Parse41(Section41(chans, 1, 2, 3)), 13 + 17 * m);
    GetCapturedStdout();
  }
  Bytes Image() const {
    Bytes image = FieldBytes(reinterpret_cast<const unsigned char*>(&unit->Record()), 40);
    const auto* ch = reinterpret_cast<const unsigned char*>(unit->Channels().data());
    image.insert(image.end(), ch, ch + 23 * unit->Channels().size());
    return image;
  }
};

TEST_F(AcRound, NoChannels) {
  unit->RoundDone();
  ASSERT_EQ(ctl->published.size(), 1u);
  EXPECT_EQ(ctl->published[0].recordType, 5026);
  EXPECT_FALSE(ctl->published[0].flag);
  EXPECT_EQ(ctl->published[0].image.size(), 40u);
  EXPECT_EQ(unit->HistoryImage().length, 40u);
  ASSERT_EQ(ctl->alarms.size(), 9u);
  for (std::size_t k = 0; k < 9; ++k) {
    EXPECT_EQ(ctl->alarms[k].slot, k + 1);
    EXPECT_EQ(ctl->alarms[k].key, kCurrentRows[k].key);
  }
  // Publication, the alarms, then the work item, which batches and saves.
  std::vector<std::string> order{"publish"};
  order.insert(order.end(), 9, "alarm");
  order.insert(order.end(), {"work", "batch", "history"});
  EXPECT_EQ(ctl->order, order);
  ASSERT_EQ(ctl->saved.size(), 1u);
  EXPECT_EQ(ctl->saved[0].image, ctl->published[0].image);
}

TEST_F(AcRound, ImageAndStamp) {
  Channels(2);
  host_clock::Advance(3);
  unit->RoundDone();
  EXPECT_TRUE(unit->dataReady_);
  EXPECT_EQ(unit->lastUpdate_, T0() + boost::posix_time::seconds(3));
  // 2026-12-08 04:25:37: year low byte first.
  EXPECT_EQ(FieldBytes(unit->Record().ttime, 7), (Bytes{0xEA, 0x07, 12, 8, 4, 25, 37}));
  ASSERT_EQ(ctl->published.size(), 1u);
  EXPECT_EQ(ctl->published[0].image.size(), 40u + 2 * 23);
  EXPECT_EQ(ctl->published[0].image, Image());
  EXPECT_EQ(ctl->published[0].dataId, kUnitId);
  EXPECT_EQ(FieldBytes(ctl->published[0].image.data(), 4), (Bytes{0x92, 0x10, 0, 0}));  // 4242
}

TEST_F(AcRound, SlotsAndStringsOfAWholeRound) {
  Channels(3);
  for (int round = 0; round < 2; ++round) {  // the slot counter restarts each round
    ctl->Clear();
    unit->RoundDone();
    ASSERT_EQ(ctl->alarms.size(), 3u * 11 + 9);
    std::size_t n = 0;
    for (int k = 1; k <= 3; ++k) {
      for (const Expected& row : kChannelRows) {
        SCOPED_TRACE(testing::Message() << "channel " << k << " " << row.key);
        const auto& a = ctl->alarms[n++];
        EXPECT_EQ(a.slot, n);
        EXPECT_EQ(a.key, row.key);
        EXPECT_EQ(a.code, row.code);
        EXPECT_EQ(a.level, row.level);
        EXPECT_EQ(a.name, row.name);
        EXPECT_EQ(a.text, "交流屏" + std::to_string(k) + row.text);
        EXPECT_EQ(a.dataId, kUnitId);
        EXPECT_EQ(a.deviceType, "qpr2427k-ac");
      }
    }
    for (const Expected& row : kCurrentRows) {
      SCOPED_TRACE(row.key);
      const auto& a = ctl->alarms[n++];
      EXPECT_EQ(a.slot, n);
      EXPECT_EQ(a.key, row.key);
      EXPECT_EQ(a.code, row.code);
      EXPECT_EQ(a.level, row.level);
      EXPECT_EQ(a.name, row.name);
      EXPECT_EQ(a.text, row.text);
    }
    EXPECT_EQ(unit->alarmSlot_, 43);
  }
  // Channel 2 starts at slot 12 with its own prefix; no key AC_11 is ever used.
  EXPECT_EQ(ctl->alarms[11].text, "交流屏2输入线/相电压AB/A");
  EXPECT_EQ(ctl->alarms[11].slot, 12);
  for (const auto& a : ctl->alarms) EXPECT_NE(a.key, "AC_11");
}

// Sets one status byte (channel k's a/b/c/f, or the current A/B/C) to `value`,
// all others 0, with two channels.
Bytes StatusSection(char field, int channel, unsigned char value) {
  std::vector<Status> chans(2, Status{0, 0, 0, 0});
  unsigned char cur[3] = {0, 0, 0};
  switch (field) {
    case 'a': chans[channel].a = value; break;
    case 'b': chans[channel].b = value; break;
    case 'c': chans[channel].c = value; break;
    case 'f': chans[channel].f = value; break;
    default: cur[field - 'A'] = value;
  }
  return Section44(chans, cur[0], cur[1], cur[2]);
}

TEST_F(AcRound, EveryRowAtItsEdges) {
  Channels(2);
  for (char field : {'a', 'b', 'c', 'f', 'A', 'B', 'C'}) {
    for (int channel : {0, 1}) {
      if (field < 'a' && channel == 1) continue;  // currents have no channel
      for (int value = 0; value <= 4; ++value) {
        SCOPED_TRACE(testing::Message() << field << " channel " << channel << " value " << value);
        ASSERT_EQ(Parse44(StatusSection(field, channel, static_cast<unsigned char>(value))), 18);
        ctl->Clear();
        unit->RoundDone();
        ASSERT_EQ(ctl->alarms.size(), 31u);
        // The slots whose alarm must be active: rows of this field and value.
        std::set<unsigned short> want;
        for (std::size_t r = 0; r < kChannelRows.size(); ++r)
          if (kChannelRows[r].field == field && kChannelRows[r].value == value)
            want.insert(static_cast<unsigned short>(channel * 11 + r + 1));
        for (std::size_t r = 0; r < kCurrentRows.size(); ++r)
          if (kCurrentRows[r].field == field && kCurrentRows[r].value == value)
            want.insert(static_cast<unsigned short>(22 + r + 1));
        EXPECT_EQ(want.size(), value >= 1 && value <= 3 && !(field == 'f' && value == 3) ? 1u : 0u);
        std::set<unsigned short> active;
        for (const auto& a : ctl->alarms)
          if (a.active) active.insert(a.slot);
        EXPECT_EQ(active, want);
      }
    }
  }
}

TEST_F(AcRound, NamedEdges) {
  Channels(2);
  auto activeKeys = [&] {
    std::vector<std::string> keys;
    for (const auto& a : ctl->alarms)
      if (a.active) keys.push_back(a.key + " " + a.text);
    return keys;
  };
  ASSERT_EQ(Parse44(StatusSection('c', 0, 2)), 18);
  unit->RoundDone();
  EXPECT_EQ(activeKeys(), (std::vector<std::string>{"AC_6 交流屏1输入线/相电压CA/C"}));
  ctl->Clear();
  ASSERT_EQ(Parse44(StatusSection('c', 1, 3)), 18);
  unit->RoundDone();
  EXPECT_EQ(activeKeys(), (std::vector<std::string>{"AC_10 交流屏2输入线/相电压CA/C"}));
  ctl->Clear();
  ASSERT_EQ(Parse44(StatusSection('A', 0, 2)), 18);
  unit->RoundDone();
  EXPECT_EQ(activeKeys(), (std::vector<std::string>{"AC_15 其他告警"}));
}

TEST_F(AcRound, RestoreWithAnotherCountRemakesTheImage) {
  Channels(1);
  unit->RoundDone();
  ASSERT_EQ(unit->HistoryImage().length, 63u);
  // A cache image with three channels, then a round: image and alarms follow.
  Bytes cache(40 + 3 * 23, 0);
  cache[16] = 3;
  cache[40 + 23 + 19] = 1;  // channel 2 c_alert
  ASSERT_EQ(unit->LoadFromCache(cache.data(), static_cast<int>(cache.size())), 1);
  ctl->Clear();
  unit->RoundDone();
  EXPECT_EQ(unit->HistoryImage().length, 109u);
  ASSERT_EQ(ctl->published.size(), 1u);
  EXPECT_EQ(ctl->published[0].image, Image());
  ASSERT_EQ(ctl->saved.size(), 1u);
  EXPECT_EQ(ctl->saved[0].image.size(), 109u);
  ASSERT_EQ(ctl->alarms.size(), 3u * 11 + 9);
  EXPECT_EQ(ctl->alarms[11 + 2].text, "交流屏2输入线/相电压CA/C");
  EXPECT_TRUE(ctl->alarms[11 + 2].active);
  EXPECT_EQ(ctl->alarms[22].text, "交流屏3输入线/相电压AB/A");
  // And back down to one channel.
  Bytes small(63, 0);
  small[16] = 1;
  ASSERT_EQ(unit->LoadFromCache(small.data(), 63), 1);
  ctl->Clear();
  unit->RoundDone();
  EXPECT_EQ(unit->HistoryImage().length, 63u);
  EXPECT_EQ(ctl->alarms.size(), 11u + 9);
  EXPECT_EQ(ctl->alarms[12].slot, 13);
  EXPECT_EQ(ctl->alarms[12].key, "AC_13");
}

// A unit whose model hook raises one alarm of its own.
class HookedAC : public PMBusPowerAC<tele_c_qpr2427k_ac, tele_c_qpr2427k_ac_channel, 5026> {
 public:
  void DoImpCheckAlert() override {
    hookRuns++;
    units::RaiseAlarm(*this, extra, true);
  }
  int hookRuns = 0;
  units::PreparedAlarm extra{4, "EXTRA", "09999", "name", "text"};
};

TEST_F(AcRound, ModelHookRunsAfterTheBuiltInAlarmsAndBeforeTheWork) {
  auto hooked = std::make_shared<HookedAC>();
  hooked->InitV(parent.get(), 9, Json::Value());
  CaptureStdout();
  ASSERT_EQ(hooked->parse40_41(Section41({{1, 1, 1, 1}}, 0, 0, 0).data(), 30), 30);
  GetCapturedStdout();
  hooked->RoundDone();
  EXPECT_EQ(hooked->hookRuns, 1);
  ASSERT_EQ(ctl->alarms.size(), 21u);
  EXPECT_EQ(ctl->alarms.back().key, "EXTRA");
  EXPECT_EQ(ctl->alarms.back().slot, 21);
  EXPECT_EQ(ctl->order[21], "alarm");
  EXPECT_EQ(ctl->order[22], "work");
}

TEST_F(AcRound, WorkItemSavesItsOwnRoundAndFoldsTheBatchResult) {
  ctl->runWorkAtOnce = false;
  Channels(1);
  unit->rules_.push_back(rule_value{1, "k1", "c1", 1, 2, "n1", "t1", 3});
  unit->rules_.push_back(rule_value{2, "k2", "c2", 4, 5, "n2", "t2", 6});
  unit->RoundDone();
  const Bytes first = ctl->published[0].image;
  EXPECT_TRUE(unit->rules_.empty());
  EXPECT_GE(unit->rules_.capacity(), 2u);

  // The next round changes the record before the first item runs.
  CaptureStdout();
  ASSERT_EQ(Parse41(Section41({{7, 7, 7, 7}}, 8, 8, 8)), 30);
  GetCapturedStdout();
  host_clock::Advance(1);
  unit->RoundDone();
  ASSERT_EQ(ctl->work.size(), 2u);
  ASSERT_NE(ctl->published[1].image, first);

  ctl->batchResult = true;
  ctl->work[0]();
  ctl->batchResult = false;
  ctl->work[1]();
  ASSERT_EQ(ctl->saved.size(), 2u);
  EXPECT_EQ(ctl->saved[0].image, first);
  EXPECT_EQ(ctl->saved[1].image, ctl->published[1].image);
  ASSERT_EQ(ctl->batches.size(), 2u);
  ASSERT_EQ(ctl->batches[0].size(), 2u);
  EXPECT_EQ(ctl->batches[0][1].key, "k2");
  EXPECT_TRUE(ctl->batches[1].empty());
  EXPECT_TRUE(unit->thresholdFlag_);  // set by the first, kept by the second

  // An item run twice does nothing more.
  ctl->work[1]();
  EXPECT_EQ(ctl->saved.size(), 2u);
}

TEST_F(AcRound, WorkItemKeepsTheUnitAlive) {
  ctl->runWorkAtOnce = false;
  unit->RoundDone();
  std::weak_ptr<QPR2427K_AC> watch = unit;
  unit.reset();
  EXPECT_FALSE(watch.expired());
  ctl->RunQueuedWork();
  ASSERT_EQ(ctl->saved.size(), 1u);
  EXPECT_EQ(ctl->saved[0].dataId, kUnitId);
  EXPECT_TRUE(watch.expired());
}

}  // namespace
}  // namespace ac_test
