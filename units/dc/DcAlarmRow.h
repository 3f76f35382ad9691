// One alarm row of the DC unit: the strings it reports and the record byte
// (and test) that decides whether it is active.
#pragma once
#include <cstdint>

#include "units/common/Alarm.h"

namespace dc {

struct DcAlarmRow {
  const char* key;        // alarm key
  const char* code;       // alarm code
  int level;              // alarm level
  const char* name;       // alarm name
  const char* text;       // alarm text
  std::uint16_t byte;     // record offset of the byte tested
  units::AlarmTest test;  // how that byte is tested
  std::uint8_t arg;       // the value compared, or the bit number
};

// The strings of a row, built once so that a round reports it without allocating.
inline units::PreparedAlarm Prepare(const DcAlarmRow& row) {
  return units::PreparedAlarm{row.level, row.key, row.code, row.name, row.text};
}

// Whether the row is active on a record image, its byte moved `step` bytes on.
inline bool RowActive(const DcAlarmRow& row, const unsigned char* image, unsigned step = 0) {
  return units::AlarmActive(row.test, row.arg, image[row.byte + step]);
}

}  // namespace dc
