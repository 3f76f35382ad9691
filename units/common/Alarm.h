// The strings of one alarm call, and the one call that reports an alarm with the next slot.
#pragma once
#include <string>

#include "host/KLDVDevice.h"

namespace units {

// The strings of one alarm call, built once so a round does not allocate.
struct PreparedAlarm {
  int level = 0;
  std::string key, code, name, text;
};

// Reports one alarm with the unit's current slot number, then advances it (16-bit, wrapping).
inline void RaiseAlarm(KLDVDevice& device, const PreparedAlarm& a, bool active) {
  device.CheckThresholdBool(a.level, a.key, a.code, a.name, a.text, active, device.alarmSlot_);
  ++device.alarmSlot_;
}

}  // namespace units
