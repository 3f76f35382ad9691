// Lines written to a file by a thread of their own, so that a slow terminal,
// disk or pipe never holds up the poll loop. A line is on disk whole or not at
// all: a write cut short is taken back, so lines are never torn or glued.
#pragma once
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

namespace runner {

class LineWriter {
 public:
  // At most this much text waits; lines beyond it are dropped and counted.
  static constexpr std::size_t kMaxQueuedBytes = 64u << 20;

  // Writes to the descriptor `fd`; closes it at the end when `owned`.
  LineWriter(int fd, bool owned);
  ~LineWriter();
  LineWriter(const LineWriter&) = delete;
  LineWriter& operator=(const LineWriter&) = delete;

  // Queues one line (the newline is added) and returns at once.
  void Write(std::string line);
  // Lines queued after this go to `path`, opened for appending (created when
  // missing) once the lines before it are written; the old file is closed.
  void Reopen(std::string path);
  // Waits until every queued line is written.
  void Flush();
  // Lines dropped from a full queue or not written for an error.
  std::size_t lost() const;
  // The first error (an errno value) once, then 0; 0 also when there was none.
  int TakeError();
  // True once the reader has closed the pipe: nothing more is written.
  bool closed() const;

 private:
  struct Item {
    std::string text;     // a line with its newline
    bool reopen = false;  // text is a path to reopen instead
  };
  void Loop();
  void WriteChunk(std::string& chunk, std::size_t lines);
  void Failed(int error, std::size_t linesLost);
  void Switch(const std::string& path);

  int fd_;
  bool owned_;
  mutable std::mutex mutex_;
  std::condition_variable wake_, drained_;
  std::deque<Item> queue_;
  std::size_t queuedBytes_ = 0, lost_ = 0;
  int firstError_ = 0;
  bool errorTaken_ = false, closed_ = false, busy_ = false, stop_ = false;
  bool freshLineNeeded_ = false;  // writer thread only: a cut line could not be taken back
  std::thread thread_;
};

}  // namespace runner
