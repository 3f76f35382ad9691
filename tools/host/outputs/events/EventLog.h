// The --events stream: one JSON object per line, handed to a writer thread as
// each event happens and flushed line by line.
#pragma once
#include <cstdio>
#include <memory>
#include <string>

#include "tools/host/stream/EventJson.h"
#include "tools/host/stream/LineWriter.h"

namespace runner {

class EventLog {
 public:
  EventLog();  // writes nowhere
  ~EventLog();
  // Opens (truncates) the file; false when it cannot be opened.
  bool Open(const std::string& path);
  // Writes to an open stream (standard output, a pipe); closes it at the end when owned.
  void Attach(std::FILE* file, bool owned);
  bool enabled() const { return writer_ != nullptr; }

  void Write(const Fields& event);
  // Waits until every event written so far is in the file.
  void Flush();

 private:
  std::unique_ptr<LineWriter> writer_;
};

}  // namespace runner
