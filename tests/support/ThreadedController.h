// A recording controller for tests where a work item runs on another thread:
// every call is recorded under one lock and work items are queued, for the
// test to take one by one (Next) or to serve on a worker thread (Serve).
#pragma once
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/RecordingController.h"

namespace testing_support {

class ThreadedController : public RecordingController {
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

  // The oldest queued work item, taken off the queue (one must be queued).
  std::function<void()> Next() {
    std::lock_guard<std::mutex> g(m);
    std::function<void()> item = std::move(queue.front());
    queue.pop_front();
    return item;
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

}  // namespace testing_support
