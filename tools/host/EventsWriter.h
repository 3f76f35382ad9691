// The --events observer: each observation becomes the JSON line (or lines) of
// its event kind, with "t", the wall-clock time in milliseconds, last.
#pragma once
#include "tools/host/EventLog.h"
#include "tools/host/Observation.h"

namespace runner {

// The event (or events) an observation makes, each with "t" last; none for a notice.
std::vector<Fields> EventFields(const Stamped& o);

// What names an alarm call and what it says, as events, the status JSON and
// MQTT states write it: data_id, device_type, level, key, code, name, text.
Fields AlarmMembers(const AlarmCall& a);
Json::Value AlarmObject(const AlarmCall& a);

class EventsWriter : public Observer {
 public:
  explicit EventsWriter(EventLog& log) : log_(log) {}
  void Observe(const Stamped& o) override;
  void Finish() override { log_.Flush(); }

 private:
  EventLog& log_;
};

}  // namespace runner
