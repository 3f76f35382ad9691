// A steady AC round allocates nothing, and a work item run on another thread
// while the next round runs saves its own round's image.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "tests/ac/AcTestSupport.h"
#include "tests/support/AllocationCounter.h"

namespace ac_test {
namespace {

using testing_support::AllocationCount;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// Counts what reaches it into fixed storage, so it allocates nothing itself.
class CountingController : public KLDController {
 public:
  void CheckThresholdBool(KLDVDevice&, int, const std::string&, const std::string&,
                          const std::string&, const std::string&, bool active,
                          unsigned short slot) override {
    ++alarms;
    activeCount += active;
    lastSlot = slot;
  }
  void SendSP(KLDVDevice&, int type, const unsigned char*, unsigned length, bool) override {
    ++published;
    lastType = type;
    lastLength = length;
  }
  void SaveDeviceHistory(KLDVDevice&, const unsigned char*, unsigned length) override {
    ++saved;
    savedLength = length;
  }
  bool DoBatchCheckThreshold(KLDVDevice&, const std::vector<rule_value>& rules) override {
    batchedRules += static_cast<long>(rules.size());
    return false;
  }
  void Log(const KLDVDevice&, const char*, const LogArg*, std::size_t) override { ++logs; }

  long alarms = 0, activeCount = 0, published = 0, saved = 0, batchedRules = 0, logs = 0;
  int lastType = 0;
  unsigned lastLength = 0, savedLength = 0;
  unsigned short lastSlot = 0;
};

struct Parentless : KLDSPDevice {};

TEST(AcSteadyRound, AllocatesNothing) {
  host_clock::Freeze(T0());
  auto ctl = std::make_shared<CountingController>();
  auto parent = std::make_shared<Parentless>();
  parent->Init(ctl, 1, Json::Value());
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
  EXPECT_EQ(ctl->activeCount, 5 * (3 + 3 + 3));  // a:1 b:2 c:3; 3,3,3 on channel 3; currents 1,2,3
  EXPECT_EQ(ctl->batchedRules, 12);
  EXPECT_EQ(ctl->logs, 0);

  // A value query allocates nothing either.
  const long before = AllocationCount();
  EXPECT_EQ(unit->Get_Value(0, "channel_1_f"), 8.0f);
  EXPECT_EQ(unit->Get_Value(0, "ic_alert"), 3.0f);
  EXPECT_EQ(AllocationCount() - before, 0);
  host_clock::Release();
}

// Every controller call under one lock; work items go to a worker thread.
class ThreadedController : public testing_support::RecordingController {
 public:
  void CheckThresholdBool(KLDVDevice& d, int level, const std::string& key, const std::string& code,
                          const std::string& name, const std::string& text, bool active,
                          unsigned short slot) override {
    std::lock_guard<std::mutex> g(m);
    RecordingController::CheckThresholdBool(d, level, key, code, name, text, active, slot);
  }
  void SendSP(KLDVDevice& d, int type, const unsigned char* data, unsigned len, bool flag) override {
    std::lock_guard<std::mutex> g(m);
    RecordingController::SendSP(d, type, data, len, flag);
  }
  void SaveDeviceHistory(KLDVDevice& d, const unsigned char* data, unsigned len) override {
    std::lock_guard<std::mutex> g(m);
    RecordingController::SaveDeviceHistory(d, data, len);
  }
  bool DoBatchCheckThreshold(KLDVDevice& d, const std::vector<rule_value>& rules) override {
    std::lock_guard<std::mutex> g(m);
    return RecordingController::DoBatchCheckThreshold(d, rules);
  }
  void Log(const KLDVDevice& d, const char* f, const LogArg* a, std::size_t n) override {
    std::lock_guard<std::mutex> g(m);
    RecordingController::Log(d, f, a, n);
  }
  void CheckThresholdWork(std::function<void()> item) override {
    std::lock_guard<std::mutex> g(m);
    queue.push_back(std::move(item));
    ready.notify_one();
  }

  // Runs queued items on the calling thread until `total` have run.
  void Serve(int total) {
    for (int done = 0; done < total; ++done) {
      std::function<void()> item;
      {
        std::unique_lock<std::mutex> g(m);
        ready.wait(g, [&] { return !queue.empty(); });
        item = std::move(queue.front());
        queue.pop_front();
      }
      item();
    }
  }

  std::mutex m;
  std::condition_variable ready;
  std::deque<std::function<void()>> queue;
};

TEST(AcSteadyRound, WorkItemsRunOnAnotherThreadWhileRoundsGoOn) {
  host_clock::Freeze(T0());
  auto ctl = std::make_shared<ThreadedController>();
  ctl->batchResult = true;
  auto parent = std::make_shared<Parentless>();
  parent->Init(ctl, 1, Json::Value());
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
  host_clock::Release();
}

}  // namespace
}  // namespace ac_test
