// The --events file: event lines handed to a writer thread, its errors said.
#include "tools/host/outputs/events/EventLog.h"

#include <errno.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>

#include <cstring>

namespace runner {

EventLog::EventLog() = default;
EventLog::~EventLog() = default;

bool EventLog::Open(const std::string& path) {
  // Appending: a cut write is taken back at the end of the file, and a file
  // shared with other writers is never written over.
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) return false;
  Attach(fd, true, path, path);
  return true;
}

void EventLog::Attach(int fd, bool owned, const std::string& name, const std::string& path) {
  writer_.reset();
  writer_ = std::make_unique<LineWriter>(fd, owned);
  name_ = name;
  struct stat st {};
  const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  reopenPath_ = regular ? path : std::string();
}

void EventLog::Write(const Fields& event) {
  if (writer_) writer_->Write(EventLine(event));
}

void EventLog::Flush() {
  if (writer_) writer_->Flush();
}

bool EventLog::Reopen() {
  if (!writer_ || reopenPath_.empty()) return false;
  writer_->Reopen(reopenPath_);
  return true;
}

std::string EventLog::TakeProblem() {
  const int error = writer_ ? writer_->TakeError() : 0;
  if (!error) return {};
  if (error == EPIPE) return fmt::format("events: the reader of {} closed it; no more events are written", name_);
  return fmt::format("events: cannot write to {}: {}; events not written are counted", name_, std::strerror(error));
}

}  // namespace runner
