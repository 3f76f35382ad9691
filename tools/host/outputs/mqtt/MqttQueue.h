// What the loop thread hands to the broker thread: the retained topics (only
// the latest payload of each), the alarm edges in order, each with its topic (bounded, the ones
// past the bound counted), the run's end, and the eventfd that wakes the
// broker thread. Everything here is under one mutex.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace runner {

class MqttQueue {
 public:
  // Alarm edges kept while the broker is away; the ones past this are counted and dropped.
  static constexpr std::size_t kEdgeLimit = 1000;

  struct Retained {
    std::string payload;
    int qos = 1;
    bool dirty = true;  // not yet handed to the library
  };
  struct Edge {
    std::string topic, payload;
  };
  struct EdgeCount {
    std::size_t queued = 0;
    unsigned long long dropped = 0;  // edges past the limit, in all
  };

  MqttQueue();  // throws if there is no eventfd
  ~MqttQueue();
  MqttQueue(const MqttQueue&) = delete;
  MqttQueue& operator=(const MqttQueue&) = delete;

  // Loop thread. Put replaces a topic's payload; an edge past the limit is dropped and counted.
  void Put(const std::string& topic, std::string payload, int qos, bool wakeUp = true);
  void PutEdge(std::string topic, std::string payload);
  void Wake();

  // Broker thread.
  int WakeFd() const { return wake_; }
  void TakeWake();  // clears the eventfd
  void MarkAllDirty();
  bool Dirty(const std::string& topic);
  std::size_t DirtyExcept(const std::string& topic);  // how many topics but this one are dirty
  // The dirty topics that take() accepts, with their payloads, now clean; the
  // others stay dirty with their latest payload.
  std::vector<std::pair<std::string, Retained>> TakeDirty(
      const std::function<bool(const std::string& topic, const Retained& r)>& take);
  // Payloads replaced by a newer one before they were handed to the library, in all.
  unsigned long long Replaced();
  // Copies of the queued edges from..to-1 (oldest first), as far as there are any.
  std::vector<Edge> Edges(std::size_t from, std::size_t to);
  void EraseEdge(std::size_t index);  // acknowledged
  EdgeCount Counts();

  // The run's end: Stop() from any thread, Done() when the broker thread has
  // returned, WaitDone() for it with a limit.
  void Stop();
  bool Stopping();
  void Done();
  bool WaitDone(std::chrono::milliseconds limit);

 private:
  std::mutex mu_;
  std::map<std::string, Retained> retained_;
  std::deque<Edge> edges_;  // oldest first
  unsigned long long dropped_ = 0;
  unsigned long long replaced_ = 0;
  bool stop_ = false, done_ = false;
  std::condition_variable ended_;
  int wake_ = -1;
};

}  // namespace runner
