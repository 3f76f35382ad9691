// Lines written to a file by a thread of their own, so that a slow terminal,
// disk or pipe never holds up the poll loop.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace runner {

class LineWriter {
 public:
  // At most this much text waits; lines beyond it are dropped and counted.
  static constexpr std::size_t kMaxQueuedBytes = 64u << 20;

  // Writes to `file`; closes it at the end when `owned`.
  LineWriter(std::FILE* file, bool owned);
  ~LineWriter();
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // Queues one line (the newline is added) and returns at once.
  void Write(std::string line);
  // Waits until every queued line is written and flushed.
  void Flush();
  std::size_t dropped() const;

 private:
  void Loop();

  std::FILE* file_;
  bool owned_;
  mutable std::mutex mutex_;
  std::condition_variable wake_, drained_;
  std::deque<std::string> queue_;
  std::size_t queuedBytes_ = 0, dropped_ = 0;
  bool busy_ = false, stop_ = false;
  std::thread thread_;
};

}  // namespace runner
