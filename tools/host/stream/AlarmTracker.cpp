// Alarm state by device, key and text; edges and the active list.
#include "tools/host/stream/AlarmTracker.h"

#include <algorithm>

namespace runner {

std::optional<AlarmChange> AlarmTracker::Call(const AlarmCall& call, Millis now) {
  State& s = states_[Key{call.dataId, call.deviceType, call.key, call.text}];
  if (s.active == call.active) return std::nullopt;
  s.active = call.active;
  if (call.active) s.since = now;
  return AlarmChange{call, call.active, s.since};
}

void ActiveAlarms::Apply(const AlarmChange& change) {
  const auto same = [&](const AlarmChange& a) {
    return a.alarm.dataId == change.alarm.dataId && a.alarm.deviceType == change.alarm.deviceType &&
           a.alarm.key == change.alarm.key && a.alarm.text == change.alarm.text;
  };
  active_.erase(std::remove_if(active_.begin(), active_.end(), same), active_.end());
  if (change.raised) active_.push_back(change);
}

}  // namespace runner
