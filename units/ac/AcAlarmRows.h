// The AC unit's alarm rows: eleven per input channel, then nine for the phase
// currents, in the order they are reported each round.
#pragma once
#include <cstddef>

#include "units/common/AlarmRow.h"

namespace units::ac {

// Channel rows' texts: "交流屏", the channel number from 1, then the row's text.
inline constexpr AlarmItems kPerChannel{"交流屏"};

template <typename Record, typename Channel>
struct AcAlarmRows {
  static constexpr AlarmTest Equals = AlarmTest::Equals;
  static constexpr std::uint16_t A = offsetof(Channel, a_alert), B = offsetof(Channel, b_alert),
                                 C = offsetof(Channel, c_alert), F = offsetof(Channel, f_alert);
  static constexpr std::uint16_t IA = offsetof(Record, ia_alert), IB = offsetof(Record, ib_alert),
                                 IC = offsetof(Record, ic_alert);

  // key, code, level, name, text, reported, byte tested, test, value
  static constexpr AlarmRow kChannel[] = {
      {"AC_0", "06015", 3, "交流输入电压过低告警", "输入线/相电压AB/A", kPerChannel, A, Equals, 1},
      {"AC_1", "06015", 3, "交流输入电压过低告警", "输入线/相电压BC/B", kPerChannel, B, Equals, 1},
      {"AC_2", "06015", 3, "交流输入电压过低告警", "输入线/相电压CA/C", kPerChannel, C, Equals, 1},
      {"AC_3", "06019", 3, "交流输入频率过低告警", "频率", kPerChannel, F, Equals, 1},
      {"AC_4", "06014", 2, "交流输入电压过高告警", "输入线/相电压AB/A", kPerChannel, A, Equals, 2},
      {"AC_5", "06014", 2, "交流输入电压过高告警", "输入线/相电压BC/B", kPerChannel, B, Equals, 2},
      {"AC_6", "06014", 2, "交流输入电压过高告警", "输入线/相电压CA/C", kPerChannel, C, Equals, 2},
      {"AC_7", "06018", 2, "交流输入频率过高告警", "频率", kPerChannel, F, Equals, 2},
      {"AC_8", "06017", 2, "交流输入缺相告警", "输入线/相电压AB/A", kPerChannel, A, Equals, 3},
      {"AC_9", "06017", 2, "交流输入缺相告警", "输入线/相电压BC/B", kPerChannel, B, Equals, 3},
      {"AC_10", "06017", 2, "交流输入缺相告警", "输入线/相电压CA/C", kPerChannel, C, Equals, 3},
  };

  static constexpr AlarmRow kCurrent[] = {
      {"AC_12", "06029", 3, "A相输入电流低于下限", "其他告警", kOnce, IA, Equals, 1},
      {"AC_13", "06029", 3, "B相输入电流低于下限", "其他告警", kOnce, IB, Equals, 1},
      {"AC_14", "06029", 3, "C相输入电流低于下限", "其他告警", kOnce, IC, Equals, 1},
      {"AC_15", "06029", 3, "A相输入电流高于上限", "其他告警", kOnce, IA, Equals, 2},
      {"AC_16", "06029", 3, "B相输入电流高于上限", "其他告警", kOnce, IB, Equals, 2},
      {"AC_17", "06029", 3, "C相输入电流高于上限", "其他告警", kOnce, IC, Equals, 2},
      {"AC_18", "06029", 3, "A相输入电流缺项", "其他告警", kOnce, IA, Equals, 3},
      {"AC_19", "06029", 3, "B相输入电流缺项", "其他告警", kOnce, IB, Equals, 3},
      {"AC_20", "06029", 3, "C相输入电流缺项", "其他告警", kOnce, IC, Equals, 3},
  };

  static_assert(RowsFit(kChannel, sizeof(Channel)) && RowsFit(kCurrent, sizeof(Record)));
};

}  // namespace units::ac
