// The writer thread behind LineWriter: takes every queued line at once,
// writes them, flushes, and wakes whoever waits for the queue to drain.
#include "tools/host/stream/LineWriter.h"

#include <utility>

namespace runner {

LineWriter::LineWriter(std::FILE* file, bool owned) : file_(file), owned_(owned), thread_([this] { Loop(); }) {}

LineWriter::~LineWriter() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_one();
  thread_.join();
  if (owned_ && file_) std::fclose(file_);
}

void LineWriter::Write(std::string line) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queuedBytes_ + line.size() > kMaxQueuedBytes) {
      ++dropped_;
      return;
    }
    queuedBytes_ += line.size() + 1;
    line += '\n';
    queue_.push_back(std::move(line));
  }
  wake_.notify_one();
}

void LineWriter::Flush() {
  std::unique_lock<std::mutex> lock(mutex_);
  drained_.wait(lock, [this] { return queue_.empty() && !busy_; });
}

std::size_t LineWriter::dropped() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return dropped_;
}

void LineWriter::Loop() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
    if (queue_.empty() && stop_) return;
    std::deque<std::string> batch;
    batch.swap(queue_);
    queuedBytes_ = 0;
    busy_ = true;
    lock.unlock();
    for (const auto& line : batch)
      if (file_) std::fwrite(line.data(), 1, line.size(), file_);
    if (file_) std::fflush(file_);
    lock.lock();
    busy_ = false;
    if (queue_.empty()) drained_.notify_all();
  }
}

}  // namespace runner
