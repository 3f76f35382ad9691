// Snapshot of the images under the lock, JSON and the atomic write outside it.
#include "tools/host/outputs/cache/CacheWriter.h"

#include <cstdio>
#include <vector>

namespace runner {

CacheWriter::CacheWriter(std::string path, std::chrono::milliseconds gap)
    : path_(std::move(path)), gap_(gap), thread_([this] { Loop(); }) {}

CacheWriter::~CacheWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
}

void CacheWriter::Systems(const std::vector<SystemRef>& systems) {
  std::lock_guard<std::mutex> lock(mutex_);
  systems_ = systems;
}

void CacheWriter::Observe(const Stamped& o) {
  const auto* h = std::get_if<HistorySaved>(&o.what);
  if (!h) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    entries_[{o.system ? o.system->index : 0u, h->child}] = CacheEntry{h->child, h->deviceType, h->dataId, h->image};
    dirty_ = true;
  }
  wake_.notify_one();
}

void CacheWriter::WriteSoon() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    now_ = true;
  }
  wake_.notify_one();
}

bool CacheWriter::WriteNow(std::unique_lock<std::mutex>& lock) {
  std::vector<CacheSystem> parts;
  for (const auto& s : systems_) parts.push_back({s.address, s.id, {}});
  if (parts.empty()) parts.emplace_back();
  for (const auto& [at, e] : entries_)
    if (at.first < parts.size()) parts[at.first].children.push_back(e);
  const bool several = !systems_.empty();
  dirty_ = false;
  lock.unlock();
  Json::StreamWriterBuilder b;
  b["indentation"] = "  ";
  const Json::Value root = several ? CacheSystemsToJson(parts) : CacheToJson(parts.front().children);
  const std::string why = WriteAtomically(path_, Json::writeString(b, root) + "\n");
  lock.lock();
  if (!why.empty() && error_.empty())  // said once, not every second
    std::fprintf(stderr, "qpr2427k-host: cannot write the cache file %s: %s\n", path_.c_str(), why.c_str());
  error_ = why;
  ++writes_;
  return why.empty();
}

void CacheWriter::Loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || dirty_ || now_; });
    if (stop_) return;
    // Written one gap after the first new image: the rest of that round's
    // images come in meanwhile, and writes are at least a gap apart. A
    // request to write now does not wait.
    if (wake_.wait_for(lock, gap_, [this] { return stop_ || now_; }) && stop_) return;
    now_ = false;
    WriteNow(lock);
  }
}

void CacheWriter::Finish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (finished_) return;
    finished_ = stop_ = true;
  }
  wake_.notify_one();
  if (thread_.joinable()) thread_.join();
  std::unique_lock<std::mutex> lock(mutex_);
  WriteNow(lock);
}

bool CacheWriter::ok() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_.empty();
}

std::string CacheWriter::error() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return error_;
}

unsigned CacheWriter::writes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return writes_;
}

}  // namespace runner
