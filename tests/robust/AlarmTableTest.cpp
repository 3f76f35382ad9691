// The shared alarm-row evaluator: per-item texts and slots when the item count
// changes between rounds, refused items, and both byte tests.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "host/KLDSPDevice.h"
#include "tests/support/RecordingController.h"
#include "units/common/AlarmTable.h"

namespace {

struct Item {
  unsigned char pad, state;
};

constexpr units::AlarmRow kPerItem[] = {
    {"K_0", "00001", 2, "n0", "t0", units::AlarmItems{"P"}, 1, units::AlarmTest::Equals, 3},
    {"K_1", "00002", 4, "n1", "t1", units::AlarmItems{"P"}, 1, units::AlarmTest::Bit, 7},
};
static_assert(units::RowsFit(kPerItem, sizeof(Item)));

struct AlarmTableTest : testing::Test {
  std::shared_ptr<testing_support::RecordingController> ctl =
      std::make_shared<testing_support::RecordingController>();
  KLDSPDevice device;
  units::AlarmTable table{kPerItem};
  void SetUp() override { device.Init(ctl, 7, Json::Value()); }
};

TEST_F(AlarmTableTest, ItemCountChangesRebuildTheTexts) {
  const Item items[] = {{0, 3}, {0, 0x80}, {9, 0x83}};
  struct Round {
    std::size_t count;
    const char* texts[6];
    bool active[6];
  };
  const Round rounds[] = {
      {2, {"P1t0", "P1t1", "P2t0", "P2t1"}, {true, false, false, true}},
      {3, {"P1t0", "P1t1", "P2t0", "P2t1", "P3t0", "P3t1"}, {true, false, false, true, false, true}},
      {1, {"P1t0", "P1t1"}, {true, false}},
  };
  for (const Round& round : rounds) {
    SCOPED_TRACE(round.count);
    ctl->Clear();
    device.alarmSlot_ = 1;
    table.RaiseEach(device, items, round.count);
    ASSERT_EQ(ctl->alarms.size(), 2 * round.count);
    for (std::size_t k = 0; k < ctl->alarms.size(); ++k) {
      const testing_support::AlarmCall& a = ctl->alarms[k];
      EXPECT_EQ(a.text, round.texts[k]);
      EXPECT_EQ(a.key, k % 2 ? "K_1" : "K_0");
      EXPECT_EQ(a.level, k % 2 ? 4 : 2);
      EXPECT_EQ(a.active, round.active[k]);
      EXPECT_EQ(a.slot, k + 1);
    }
  }
}

TEST_F(AlarmTableTest, RefusedItemsTakeNoSlot) {
  const Item items[] = {{0, 3}, {0, 3}, {0, 3}};
  device.alarmSlot_ = 5;
  table.RaiseEach(device, items, 3, [](std::size_t k) { return k != 1; });
  ASSERT_EQ(ctl->alarms.size(), 4u);
  EXPECT_EQ(ctl->alarms[2].text, "P3t0");
  EXPECT_EQ(ctl->alarms[2].slot, 7);
  EXPECT_EQ(device.alarmSlot_, 9);
}

}  // namespace
