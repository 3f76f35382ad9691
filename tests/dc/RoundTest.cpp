// End of round for the DC unit: publication, slot numbers, the DC and fuse
// alarms, every row of the status table, and the work item handed to the host.
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <thread>

#include "host/get_ttime.h"
#include "tests/dc/DcFixture.h"
#include "tests/support/FrozenClock.h"
#include "tests/support/ThreadedController.h"
#include "tests/dc/ExpectedStatusTable.h"

using namespace dctest;
using testing_support::AlarmCall;

namespace {

constexpr int kTableRows = sizeof kExpectedStatusRows / sizeof kExpectedStatusRows[0];

bool ExpectedActive(const ExpectedRow& r, const Bytes& status) {
  const int b = status[static_cast<std::size_t>(r.statusByte)];
  return r.test.kind == Kind::BitSet ? ((b >> r.test.value) & 1) != 0 : b == r.test.value;
}

// The alarm calls of one round over the given alarm-status block.
std::vector<AlarmCall> RoundAlarms(DcUnit& u, const Bytes& b44) {
  u.ctl->Clear();
  EXPECT_GT(u.Parse44(b44), 0);
  u.dev->RoundDone();
  return u.ctl->alarms;
}

// Level, key, code, name, text and slot of a call, joined by "|".
std::string Describe(const AlarmCall& c) {
  return std::to_string(c.level) + "|" + c.key + "|" + c.code + "|" + c.name + "|" + c.text + "|" + std::to_string(c.slot);
}

std::string FuseText(int fuse) { return "直流" + std::to_string(fuse) + "电池熔丝故障告警"; }

}  // namespace

TEST(DcRound, PublishesStampedRecordThenAlarmsThenWork) {
  const boost::posix_time::ptime t0(boost::gregorian::date(2030, 2, 3), boost::posix_time::hours(4));
  testing_support::FrozenClock clock(t0);
  DcUnit u;
  u.Parse41(Block41(1, 1, 1));
  u.Parse44(Block44(1, Bytes(64, 0), Bytes(20, 0)));
  u.dev->rules_.resize(2);
  u.dev->rules_[0].key = "a";
  u.dev->rules_[1].key = "b";
  u.ctl->batchResult = true;
  u.dev->RoundDone();

  EXPECT_TRUE(u.dev->dataReady_);
  EXPECT_EQ(u.dev->lastUpdate_, t0);
  const ttime_t stamp = get_ttime(t0);
  EXPECT_EQ(Bytes(u.dev->Record().ttime, u.dev->Record().ttime + 7), Bytes(stamp.begin(), stamp.end()));
  ASSERT_EQ(u.ctl->published.size(), 1u);
  EXPECT_EQ(u.ctl->published[0].recordType, 5028);
  EXPECT_FALSE(u.ctl->published[0].flag);
  EXPECT_EQ(u.ctl->published[0].image, RecordBytes(u.dev->Record()));
  ASSERT_EQ(u.ctl->saved.size(), 1u);
  EXPECT_EQ(u.ctl->saved[0].image, u.ctl->published[0].image);
  ASSERT_EQ(u.ctl->batches.size(), 1u);
  ASSERT_EQ(u.ctl->batches[0].size(), 2u);
  EXPECT_EQ(u.ctl->batches[0][1].key, "b");
  EXPECT_TRUE(u.dev->rules_.empty());
  EXPECT_GE(u.dev->rules_.capacity(), 2u);
  EXPECT_TRUE(u.dev->thresholdFlag_);

  std::vector<std::string> expected{"publish"};
  expected.insert(expected.end(), 2 + 64 + 85, "alarm");
  expected.insert(expected.end(), {"work", "batch", "history"});
  EXPECT_EQ(u.ctl->order, expected);

  // A later batch that changes nothing leaves the flag set.
  u.ctl->batchResult = false;
  u.dev->RoundDone();
  EXPECT_TRUE(u.dev->thresholdFlag_);
}

// An item the host runs only after the next round has rewritten the record
// still saves the image of its own round.
TEST(DcRound, QueuedWorkItemSavesItsOwnRound) {
  DcUnit u;
  u.ctl->runWorkAtOnce = false;
  u.Round(Block41(0, 0, 0, 1.0f), Block44(1, {}, {}));
  u.Round(Block41(1, 0, 0, 2.0f), Block44(2, Bytes(64, 3), {}));
  ASSERT_EQ(u.ctl->work.size(), 2u);
  u.ctl->RunQueuedWork();
  ASSERT_EQ(u.ctl->published.size(), 2u);
  ASSERT_EQ(u.ctl->saved.size(), 2u);
  EXPECT_NE(u.ctl->published[0].image, u.ctl->published[1].image);
  EXPECT_EQ(u.ctl->saved[0].image, u.ctl->published[0].image);
  EXPECT_EQ(u.ctl->saved[1].image, u.ctl->published[1].image);
}

TEST(DcRound, SlotNumbersAndRowsReportedByCountsAndModel) {
  const struct {
    const char* model;
    unsigned fuses, status;
    bool fuseRows;
    int tableRows;
  } cases[] = {
      {"", 64, 20, true, 85},         {"QPR-37KM", 64, 20, true, 95}, {"", 63, 20, false, 85},
      {"QPR-37KM", 0, 20, false, 95}, {"QPR-37KM", 65, 20, false, 95}, {"QPR-37KM", 64, 19, true, 0},
      {"QPR-37KM", 64, 21, true, 0},  {"", 0, 0, false, 0},            {"QPR-37K", 64, 20, true, 85},
      {"qpr-37km", 64, 20, true, 85}, {"QPR-37KM ", 64, 20, true, 85},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "'" << c.model << "' m=" << c.fuses << " p=" << c.status);
    DcUnit u(c.model);
    u.dev->alarmSlot_ = 500;
    const auto calls = RoundAlarms(u, Block44(0, Bytes(c.fuses, 0), Bytes(c.status, 0)));
    std::vector<std::string> keys{"DC_0", "DC_1"};
    if (c.fuseRows) keys.insert(keys.end(), 64, "DC_3");
    for (int r = 0; r < c.tableRows; ++r) keys.push_back(kExpectedStatusRows[r].key);
    ASSERT_EQ(calls.size(), keys.size());
    for (std::size_t k = 0; k < calls.size(); ++k) {
      EXPECT_EQ(calls[k].key, keys[k]) << k;
      EXPECT_EQ(calls[k].slot, k + 1) << k;
      EXPECT_EQ(calls[k].dataId, DcUnit::kId);
    }
    EXPECT_EQ(u.dev->alarmSlot_, calls.size() + 1);
  }
  // Made by its provider (default constructor): no model, no extension rows.
  DcUnit u;
  auto dev = std::make_shared<QPR2427K_DC>();
  dev->InitV(u.parent.get(), 7, Json::Value());
  const Bytes b44 = Block44(0, Bytes(64, 0), Bytes(20, 0));
  dev->parse42_44(b44.data(), static_cast<int>(b44.size()));
  dev->RoundDone();
  ASSERT_EQ(u.ctl->alarms.size(), 151u);
  EXPECT_EQ(u.ctl->alarms[66].key, "QPR2427K_AC_0");
  EXPECT_EQ(u.ctl->alarms[66].slot, 67);
  EXPECT_EQ(u.ctl->alarms[150].key, "QPR2427K_AC_89");
  EXPECT_EQ(u.ctl->alarms[150].slot, 151);
}

TEST(DcRound, OutputVoltageAlarms) {
  DcUnit u;
  for (int state : {0, 1, 2, 3, 0x81, 0xFF}) {
    const auto calls = RoundAlarms(u, Block44(static_cast<unsigned char>(state), {}, {}));
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(Describe(calls[0]), "3|DC_0|06008|输出电压过低告警|输出电压过低告警|1");
    EXPECT_EQ(Describe(calls[1]), "3|DC_1|06009|输出电压过高告警|输出电压过高告警|2");
    EXPECT_EQ(calls[0].active, state == 1) << state;
    EXPECT_EQ(calls[1].active, state == 2) << state;
  }
}

TEST(DcRound, FuseAlarmsOnePerFuseActiveOnlyAtThree) {
  DcUnit u;
  const unsigned char inactive[] = {0, 1, 2, 4, 0x83, 0x13, 0xFF};
  for (int fuse = 0; fuse < 64; ++fuse) {
    Bytes states(64);
    for (int k = 0; k < 64; ++k) states[k] = k == fuse ? 3 : inactive[k % sizeof inactive];
    const auto calls = RoundAlarms(u, Block44(0, states, {}));
    ASSERT_EQ(calls.size(), 66u);
    for (int k = 0; k < 64; ++k) {
      EXPECT_EQ(Describe(calls[2 + k]), "1|DC_3|06001|电池熔丝故障告警|" + FuseText(k + 1) + "|" + std::to_string(3 + k));
      EXPECT_EQ(calls[2 + k].active, k == fuse) << "fuse " << fuse << " call " << k;
    }
  }
}

// Each status byte in turn, and all at once, takes values at the edges of the
// tests (every single bit, the compared values and their neighbours); each
// round every row must report exactly what the transcribed table says.
TEST(DcStatusTable, EveryRowActiveExactlyAtItsEdges) {
  std::vector<int> probes{0x00, 0xFF, 0xF0, 0xF1, 0xEF, 0x70, 0x03, 0x02, 0x07, 0x0B, 0xC0, 0xFC};
  for (int b = 0; b < 8; ++b) probes.push_back(1 << b);
  DcUnit u("QPR-37KM");
  for (int target = -1; target < 20; ++target) {  // -1: every byte at once
    for (int value : probes) {
      Bytes status(20, 0);
      for (int k = 0; k < 20; ++k)
        if (target < 0 || k == target) status[k] = static_cast<unsigned char>(value);
      const auto calls = RoundAlarms(u, Block44(0, {}, status));
      ASSERT_EQ(calls.size(), 2u + kTableRows);
      for (int r = 0; r < kTableRows; ++r) {
        const ExpectedRow& e = kExpectedStatusRows[r];
        const AlarmCall& c = calls[2 + r];
        ASSERT_EQ(c.key, e.key);
        EXPECT_EQ(c.active, ExpectedActive(e, status))
            << "row " << e.row << " byte " << target << " value " << value;
        EXPECT_EQ(c.slot, 3 + r);
      }
    }
  }
}

TEST(DcStatusTable, ReportedStringsAndLevels) {
  DcUnit u("QPR-37KM");
  const auto calls = RoundAlarms(u, Block44(0, Bytes(64, 0), Bytes(20, 0)));
  ASSERT_EQ(calls.size(), 2u + 64 + kTableRows);
  for (int r = 0; r < kTableRows; ++r) {
    const ExpectedRow& e = kExpectedStatusRows[r];
    EXPECT_EQ(Describe(calls[66 + r]), std::string("2|") + e.key + "|" + e.code + "|" + e.name + "|" + e.text + "|" +
                                           std::to_string(67 + r));
    EXPECT_FALSE(calls[66 + r].active);
  }
  EXPECT_EQ(calls.back().slot, 161);
}


// The host runs a round's work item on its own thread while the next round
// decodes and ends; the item saves the image of its own round.
TEST(DcRound, WorkItemOnAnotherThreadSavesItsOwnRound) {
  auto ctl = std::make_shared<testing_support::ThreadedController>();
  auto parent = testing_support::ParentDevice::Of(ctl);
  auto dev = std::make_shared<QPR2427K_DC>("QPR-37KM");
  dev->InitV(parent.get(), 9, Json::Value());
  const Bytes first = Block41(1, 0, 0, 10.0f), second = Block41(2, 2, 2, 20.0f);
  const Bytes status1 = Block44(1, Bytes(64, 3), Bytes(20, 0xFF)), status2 = Block44(2, Bytes(64, 0), Bytes(20, 0));

  dev->parse42_41(first.data(), static_cast<int>(first.size()));
  dev->parse42_44(status1.data(), static_cast<int>(status1.size()));
  dev->RoundDone();
  const Bytes image1 = RecordBytes(dev->Record());
  std::function<void()> item1 = ctl->Next();
  std::weak_ptr<QPR2427K_DC> watch = dev;

  std::thread host([&] { item1(); });
  dev->parse42_41(second.data(), static_cast<int>(second.size()));
  dev->parse42_44(status2.data(), static_cast<int>(status2.size()));
  dev->RoundDone();
  const Bytes image2 = RecordBytes(dev->Record());
  host.join();
  ctl->Next()();

  ASSERT_NE(image1, image2);
  ASSERT_EQ(ctl->saved.size(), 2u);
  EXPECT_EQ(ctl->saved[0].image, image1);
  EXPECT_EQ(ctl->saved[1].image, image2);
  // An item keeps its device alive until it has run.
  dev->RoundDone();
  std::function<void()> item3 = ctl->Next();
  dev.reset();
  EXPECT_FALSE(watch.expired());
  item3();
  item3 = nullptr;
  EXPECT_TRUE(watch.expired());
}
