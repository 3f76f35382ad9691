// Alarm edges from the devices' alarm calls: each alarm (device, key, text)
// keeps its state, and a call that changes it is a raised or cleared edge.
// ActiveAlarms keeps, from the edges, the alarms now active and since when.
#pragma once
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "tools/host/stream/Observation.h"

namespace runner {

class AlarmTracker {
 public:
  // The edge this call makes, if any; an alarm first reported inactive makes none.
  std::optional<AlarmChange> Call(const AlarmCall& call, Millis now);

 private:
  using Key = std::tuple<unsigned, std::string, std::string, std::string>;
  struct State {
    bool active = false;
    Millis since = 0;
  };
  std::map<Key, State> states_;
};

class ActiveAlarms {
 public:
  void Apply(const AlarmChange& change);
  // In the order they were raised.
  const std::vector<AlarmChange>& List() const { return active_; }

 private:
  std::vector<AlarmChange> active_;
};

}  // namespace runner
