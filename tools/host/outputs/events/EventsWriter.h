// The --events observer: each observation becomes the JSON line (or lines) of
// its event kind, with "t", the wall-clock time in milliseconds, last.
#pragma once
#include "tools/host/outputs/events/EventLog.h"
#include "tools/host/stream/Observation.h"

namespace runner {

class EventsWriter : public Observer {
 public:
  explicit EventsWriter(EventLog& log) : log_(log) {}
  void Observe(const Stamped& o) override;
  void Finish() override { log_.Flush(); }

 private:
  EventLog& log_;
};

}  // namespace runner
