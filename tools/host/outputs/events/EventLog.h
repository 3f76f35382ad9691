// The --events stream: one JSON object per line, handed to a writer thread as
// each event happens. Write errors are counted and said once; a regular file
// can be reopened at its path (after log rotation).
#pragma once
#include <cstddef>
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
  // Writes to an open descriptor, named `name` in messages; closes it at the
  // end when owned. A regular file opened at `path` can be reopened there.
  void Attach(int fd, bool owned, const std::string& name, const std::string& path = {});
  bool enabled() const { return writer_ != nullptr; }

  void Write(const Fields& event);
  // Waits until every event written so far is in the file.
  void Flush();
  // Events from now on go to a file opened anew at the path (the old one may
  // have been renamed away); false when the events do not go to a named file.
  bool Reopen();
  // Events dropped or not written.
  std::size_t lost() const { return writer_ ? writer_->lost() : 0; }
  // The first write error as one line for the person watching, once; else empty.
  std::string TakeProblem();

 private:
  std::unique_ptr<LineWriter> writer_;
  std::string name_, reopenPath_;
};

}  // namespace runner
