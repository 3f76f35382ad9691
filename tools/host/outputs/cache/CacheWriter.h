// The cache observer: keeps each child's last history image and writes the
// cache file atomically from a thread of its own, a second after images
// change (so at most once a second), when asked to (SIGHUP), and once more
// at the end of the run. With several systems (Systems), each system's images
// are kept and written apart.
#pragma once
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tools/host/outputs/cache/CacheFile.h"
#include "tools/host/stream/Observation.h"

namespace runner {

class CacheWriter : public Observer {
 public:
  explicit CacheWriter(std::string path, std::chrono::milliseconds gap = std::chrono::seconds(1));
  ~CacheWriter() override;
  // A run with several systems: the file gets one part per system, in this order.
  void Systems(const std::vector<SystemRef>& systems);
  void Observe(const Stamped& o) override;
  // Asks the thread to write the file now, without waiting for the gap.
  void WriteSoon();
  // Stops the thread and writes the last images; false (with error()) when it could not.
  void Finish() override;
  bool ok() const;
  std::string error() const;
  unsigned writes() const;

 private:
  void Loop();
  bool WriteNow(std::unique_lock<std::mutex>& lock);

  const std::string path_;
  const std::chrono::milliseconds gap_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::map<std::pair<unsigned, unsigned>, CacheEntry> entries_;  // by system index and child position
  std::vector<SystemRef> systems_;  // empty: the file of one system
  bool dirty_ = false, now_ = false, stop_ = false, finished_ = false;
  std::string error_;
  unsigned writes_ = 0;
  std::thread thread_;
};

}  // namespace runner
