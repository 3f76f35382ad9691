// The --events file: event lines handed to a writer thread.
#include "tools/host/outputs/events/EventLog.h"

namespace runner {

EventLog::EventLog() = default;
EventLog::~EventLog() = default;

bool EventLog::Open(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (!file) return false;
  Attach(file, true);
  return true;
}

void EventLog::Attach(std::FILE* file, bool owned) {
  writer_.reset();
  writer_ = std::make_unique<LineWriter>(file, owned);
}

void EventLog::Write(const Fields& event) {
  if (writer_) writer_->Write(EventLine(event));
}

void EventLog::Flush() {
  if (writer_) writer_->Flush();
}

}  // namespace runner
