// The queue between the MQTT exporter's loop thread and its broker thread.
#include "tools/host/outputs/mqtt/MqttQueue.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>

namespace runner {

MqttQueue::MqttQueue() : wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (wake_ < 0) throw std::runtime_error(std::string("cannot create the MQTT client: ") + std::strerror(errno));
}

MqttQueue::~MqttQueue() { close(wake_); }

void MqttQueue::Put(const std::string& topic, std::string payload, int qos, bool wakeUp) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    const auto [at, fresh] = retained_.try_emplace(topic);
    Retained& r = at->second;
    if (!fresh && r.dirty) ++replaced_;
    r.payload = std::move(payload);
    r.qos = qos;
    r.dirty = true;
  }
  if (wakeUp) Wake();
}

void MqttQueue::PutEdge(std::string topic, std::string payload) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (edges_.size() >= kEdgeLimit) {
      ++dropped_;  // said by the broker thread
    } else {
      edges_.push_back({std::move(topic), std::move(payload)});
    }
  }
  Wake();
}

void MqttQueue::Wake() {
  const std::uint64_t one = 1;
  if (write(wake_, &one, sizeof one) < 0) { /* the counter is full: the thread is awake anyway */
  }
}

void MqttQueue::TakeWake() {
  std::uint64_t n = 0;
  if (read(wake_, &n, sizeof n) < 0) { /* nothing to take */
  }
}

void MqttQueue::MarkAllDirty() {
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& r : retained_) r.second.dirty = true;
}

bool MqttQueue::Dirty(const std::string& topic) {
  std::lock_guard<std::mutex> lock(mu_);
  return retained_[topic].dirty;
}

std::size_t MqttQueue::DirtyExcept(const std::string& topic) {
  std::lock_guard<std::mutex> lock(mu_);
  std::size_t n = 0;
  for (const auto& [t, r] : retained_) n += r.dirty && t != topic;
  return n;
}

std::vector<std::pair<std::string, MqttQueue::Retained>> MqttQueue::TakeDirty(
    const std::function<bool(const std::string& topic, const Retained& r)>& take) {
  std::vector<std::pair<std::string, Retained>> out;
  std::lock_guard<std::mutex> lock(mu_);
  for (auto& [topic, r] : retained_)
    if (r.dirty && take(topic, r)) {
      out.emplace_back(topic, r);
      r.dirty = false;
    }
  return out;
}

unsigned long long MqttQueue::Replaced() {
  std::lock_guard<std::mutex> lock(mu_);
  return replaced_;
}

std::vector<MqttQueue::Edge> MqttQueue::Edges(std::size_t from, std::size_t to) {
  std::vector<Edge> out;
  std::lock_guard<std::mutex> lock(mu_);
  for (std::size_t k = from; k < edges_.size() && k < to; ++k) out.push_back(edges_[k]);
  return out;
}

void MqttQueue::EraseEdge(std::size_t index) {
  std::lock_guard<std::mutex> lock(mu_);
  edges_.erase(edges_.begin() + static_cast<std::ptrdiff_t>(index));
}

MqttQueue::EdgeCount MqttQueue::Counts() {
  std::lock_guard<std::mutex> lock(mu_);
  return {edges_.size(), dropped_};
}

void MqttQueue::Stop() {
  {
    std::lock_guard<std::mutex> lock(mu_);
    stop_ = true;
  }
  Wake();
}

bool MqttQueue::Stopping() {
  std::lock_guard<std::mutex> lock(mu_);
  return stop_;
}

void MqttQueue::Done() {
  std::lock_guard<std::mutex> lock(mu_);
  done_ = true;
  ended_.notify_all();
}

bool MqttQueue::WaitDone(std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mu_);
  return ended_.wait_for(lock, limit, [&] { return done_; });
}

}  // namespace runner
