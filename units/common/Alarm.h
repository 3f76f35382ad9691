// Alarm rows as data, and the one call that reports a row with the next slot.
#pragma once
#include <cstdint>
#include <string>

#include "host/KLDVDevice.h"

namespace units {

// How a row tests its status byte.
enum class AlarmTest : std::uint8_t {
  Equals,  // the byte equals `arg`
  Bit,     // bit `arg` of the byte is set (bit 0 has the value 1)
};

inline bool AlarmActive(AlarmTest test, std::uint8_t arg, std::uint8_t byte) {
  return test == AlarmTest::Equals ? byte == arg : ((byte >> arg) & 1U) != 0;
}

// The strings of one alarm call, built once so a round does not allocate.
struct PreparedAlarm {
  int level = 0;
  std::string key, code, name, text;
};

// Reports one alarm with the unit's current slot number, then advances it (16-bit, wrapping).
// `text` stands in for the row's own text where rows shared by many channels keep theirs apart.
inline void RaiseAlarm(KLDVDevice& device, const PreparedAlarm& a, const std::string& text, bool active) {
  device.CheckThresholdBool(a.level, a.key, a.code, a.name, text, active, device.alarmSlot_);
  ++device.alarmSlot_;
}
inline void RaiseAlarm(KLDVDevice& device, const PreparedAlarm& a, bool active) {
  RaiseAlarm(device, a, a.text, active);
}

}  // namespace units
