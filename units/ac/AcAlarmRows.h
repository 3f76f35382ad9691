// The AC unit's alarm rows: eleven per input channel, nine for the phase
// currents, in the order they are reported each round.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace units::ac {

// The status byte a row tests.
enum class AcStatus : std::uint8_t {
  A,   // channel a_alert (voltage AB/A)
  B,   // channel b_alert (voltage BC/B)
  C,   // channel c_alert (voltage CA/C)
  F,   // channel f_alert (frequency)
  IA,  // record ia_alert
  IB,  // record ib_alert
  IC,  // record ic_alert
};

struct AcAlarmRow {
  const char* key;      // alarm key
  const char* code;     // alarm code
  int level;            // alarm level
  const char* name;     // alarm name
  const char* text;     // alarm text; channel rows put the channel prefix before it
  AcStatus field;       // status byte tested
  std::uint8_t value;   // status value that makes the alarm active
};

// Channel prefix of the channel rows' texts: this, then the channel number from 1.
inline constexpr const char* kChannelPrefix = "交流屏";

inline constexpr AcAlarmRow kChannelAlarms[] = {
    {"AC_0", "06015", 3, "交流输入电压过低告警", "输入线/相电压AB/A", AcStatus::A, 1},
    {"AC_1", "06015", 3, "交流输入电压过低告警", "输入线/相电压BC/B", AcStatus::B, 1},
    {"AC_2", "06015", 3, "交流输入电压过低告警", "输入线/相电压CA/C", AcStatus::C, 1},
    {"AC_3", "06019", 3, "交流输入频率过低告警", "频率", AcStatus::F, 1},
    {"AC_4", "06014", 2, "交流输入电压过高告警", "输入线/相电压AB/A", AcStatus::A, 2},
    {"AC_5", "06014", 2, "交流输入电压过高告警", "输入线/相电压BC/B", AcStatus::B, 2},
    {"AC_6", "06014", 2, "交流输入电压过高告警", "输入线/相电压CA/C", AcStatus::C, 2},
    {"AC_7", "06018", 2, "交流输入频率过高告警", "频率", AcStatus::F, 2},
    {"AC_8", "06017", 2, "交流输入缺相告警", "输入线/相电压AB/A", AcStatus::A, 3},
    {"AC_9", "06017", 2, "交流输入缺相告警", "输入线/相电压BC/B", AcStatus::B, 3},
    {"AC_10", "06017", 2, "交流输入缺相告警", "输入线/相电压CA/C", AcStatus::C, 3},
};

inline constexpr AcAlarmRow kCurrentAlarms[] = {
    {"AC_12", "06029", 3, "A相输入电流低于下限", "其他告警", AcStatus::IA, 1},
    {"AC_13", "06029", 3, "B相输入电流低于下限", "其他告警", AcStatus::IB, 1},
    {"AC_14", "06029", 3, "C相输入电流低于下限", "其他告警", AcStatus::IC, 1},
    {"AC_15", "06029", 3, "A相输入电流高于上限", "其他告警", AcStatus::IA, 2},
    {"AC_16", "06029", 3, "B相输入电流高于上限", "其他告警", AcStatus::IB, 2},
    {"AC_17", "06029", 3, "C相输入电流高于上限", "其他告警", AcStatus::IC, 2},
    {"AC_18", "06029", 3, "A相输入电流缺项", "其他告警", AcStatus::IA, 3},
    {"AC_19", "06029", 3, "B相输入电流缺项", "其他告警", AcStatus::IB, 3},
    {"AC_20", "06029", 3, "C相输入电流缺项", "其他告警", AcStatus::IC, 3},
};

inline constexpr std::size_t kChannelAlarmCount = sizeof(kChannelAlarms) / sizeof(kChannelAlarms[0]);

// A channel's texts depend only on the status byte a row tests (A, B, C or F), so a
// channel keeps one text per byte, not one per row.
inline constexpr std::size_t kChannelTextCount = 4;

constexpr bool ChannelTextsFollowTheByte() {
  for (std::size_t r = 0; r < kChannelAlarmCount; ++r) {
    if (static_cast<std::size_t>(kChannelAlarms[r].field) >= kChannelTextCount) return false;
    for (std::size_t q = 0; q < r; ++q)
      if (kChannelAlarms[q].field == kChannelAlarms[r].field && std::string_view(kChannelAlarms[q].text) != kChannelAlarms[r].text)
        return false;
  }
  return true;
}
static_assert(ChannelTextsFollowTheByte(), "channel rows testing the same byte must share their text");

inline constexpr std::size_t kCurrentAlarmCount = sizeof(kCurrentAlarms) / sizeof(kCurrentAlarms[0]);

}  // namespace units::ac
