// The model's system-status alarm table: 95 rows over the 20 system-status
// bytes of the DC alarm-status reply, evaluated in this order, all level 2.
#pragma once
#include <cstddef>
#include <cstdint>

#include "units/common/AlarmRow.h"
#include "units/dc/tele_c_qpr2427k_dc.h"

namespace dc {

// Record offset of system-status byte k.
constexpr std::uint16_t P(unsigned k) { return static_cast<std::uint16_t>(offsetof(tele_c_qpr2427k_dc, alert_p_state) + k); }
constexpr units::AlarmTest Bit = units::AlarmTest::Bit;
constexpr units::AlarmTest Equals = units::AlarmTest::Equals;
constexpr units::AlarmItems Once = units::kOnce;

// Rows past the first 85 (bytes 18 and 19) exist on one model only.
constexpr std::size_t kBaseStatusRows = 85;
constexpr const char* kExtensionModel = "QPR-37KM";

// key, code, level, name, text, reported, byte tested, test, value or bit
inline constexpr units::AlarmRow kSystemStatusRows[] = {
    {"QPR2427K_AC_0", "06029", 2, "整流模块限流告警", "其他告警", Once, P(0), Equals, 0xf0},
    {"QPR2427K_AC_1", "06005", 2, "电池供电告警", "开关电源处于电池供电中", Once, P(1), Equals, 0xf0},
    {"QPR2427K_AC_2", "06001", 2, "电池熔丝故障告警", "电池1熔丝故障告警", Once, P(2), Equals, 3},
    {"QPR2427K_AC_3", "06009", 2, "输出电压过高告警", "输出电压过高告警", Once, P(3), Bit, 0},
    {"QPR2427K_AC_4", "06008", 2, "输出电压过低告警", "输出电压过低告警", Once, P(3), Bit, 1},
    {"QPR2427K_AC_5", "06029", 2, "单相交流1高压", "其他告警", Once, P(3), Bit, 2},
    {"QPR2427K_AC_6", "06029", 2, "单相交流1低压", "其他告警", Once, P(3), Bit, 3},
    {"QPR2427K_AC_7", "06029", 2, "单相交流1停电", "其他告警", Once, P(3), Bit, 4},
    {"QPR2427K_AC_8", "06029", 2, "高压关机", "其他告警", Once, P(3), Bit, 5},
    {"QPR2427K_AC_11", "06005", 2, "电池供电告警", "开关电源处于电池供电中", Once, P(4), Bit, 0},
    {"QPR2427K_AC_12", "06029", 2, "环境温度过高", "其他告警", Once, P(4), Bit, 1},
    {"QPR2427K_AC_13", "06003", 2, "电池温度过高告警", "电池1温度过高告警", Once, P(4), Bit, 2},
    {"QPR2427K_AC_14", "06002", 2, "电池充电过流告警", "电池1充电过流告警", Once, P(4), Bit, 3},
    {"QPR2427K_AC_15", "06029", 2, "电池限流", "其他告警", Once, P(4), Bit, 4},
    {"QPR2427K_AC_16", "06001", 2, "电池熔丝故障告警", "负载熔丝1故障告警", Once, P(4), Bit, 5},
    {"QPR2427K_AC_17", "06029", 2, "电池下电跳脱", "其他告警", Once, P(4), Bit, 6},
    {"QPR2427K_AC_18", "06029", 2, "负载下电跳脱", "其他告警", Once, P(4), Bit, 7},
    {"QPR2427K_AC_19", "06029", 2, "单体电池过压", "其他告警", Once, P(5), Bit, 0},
    {"QPR2427K_AC_20", "06029", 2, "单体电池欠压", "其他告警", Once, P(5), Bit, 1},
    {"QPR2427K_AC_21", "06029", 2, "单体电池漂移高", "其他告警", Once, P(5), Bit, 2},
    {"QPR2427K_AC_22", "06029", 2, "单体电池漂移低", "其他告警", Once, P(5), Bit, 3},
    {"QPR2427K_AC_23", "06029", 2, "电池测试失败", "其他告警", Once, P(5), Bit, 4},
    {"QPR2427K_AC_24", "06022", 2, "防雷器故障告警", "交流防雷器断故障告警状态", Once, P(5), Bit, 5},
    {"QPR2427K_AC_25", "06011", 2, "直流屏通讯中断告警", "直流屏通讯中断告警状态", Once, P(5), Bit, 6},
    {"QPR2427K_AC_26", "06029", 2, "交流输入中断", "其他告警", Once, P(5), Bit, 7},
    {"QPR2427K_AC_27", "06029", 2, "直流侦测#1 告警", "其他告警", Once, P(6), Bit, 0},
    {"QPR2427K_AC_30", "06029", 2, "电池组中位电压异常", "其他告警", Once, P(6), Bit, 3},
    {"QPR2427K_AC_31", "06001", 2, "电池熔丝故障告警", "负载熔丝2故障告警", Once, P(6), Bit, 4},
    {"QPR2427K_AC_32", "06029", 2, "三相交流1停电", "其他告警", Once, P(6), Bit, 5},
    {"QPR2427K_AC_33", "06029", 2, "三相交流2停电", "其他告警", Once, P(6), Bit, 6},
    {"QPR2427K_AC_34", "06029", 2, "模块关机告警", "其他告警", Once, P(6), Bit, 7},
    {"QPR2427K_AC_35", "06025", 2, "整流模块风扇告警", "模块风扇告警", Once, P(7), Bit, 0},
    {"QPR2427K_AC_36", "06029", 2, "模块限流", "其他告警", Once, P(7), Bit, 1},
    {"QPR2427K_AC_37", "06029", 2, "电池温度失效", "其他告警", Once, P(7), Bit, 2},
    {"QPR2427K_AC_38", "06029", 2, "单相交流1过流", "其他告警", Once, P(7), Bit, 3},
    {"QPR2427K_AC_39", "06029", 2, "电池下电失控", "其他告警", Once, P(7), Bit, 4},
    {"QPR2427K_AC_40", "06029", 2, "负载下电失控", "其他告警", Once, P(7), Bit, 5},
    {"QPR2427K_AC_41", "06029", 2, "强制吸合告警", "其他告警", Once, P(7), Bit, 6},
    {"QPR2427K_AC_42", "06029", 2, "电池LVDS手动", "其他告警", Once, P(7), Bit, 7},
    {"QPR2427K_AC_43", "06029", 2, "负载LVDS手动", "其他告警", Once, P(8), Bit, 0},
    {"QPR2427K_AC_44", "06029", 2, "单相交流2高压", "其他告警", Once, P(8), Bit, 1},
    {"QPR2427K_AC_45", "06029", 2, "单相交流2低压", "其他告警", Once, P(8), Bit, 2},
    {"QPR2427K_AC_46", "06029", 2, "单相交流2停电", "其他告警", Once, P(8), Bit, 3},
    {"QPR2427K_AC_47", "06004", 2, "电池放电不平衡告警", "电池放电不平衡(1组<2组/(1组>2组)", Once, P(8), Bit, 4},
    {"QPR2427K_AC_48", "06029", 2, "模块严重告警", "其他告警", Once, P(8), Bit, 5},
    {"QPR2427K_AC_49", "06029", 2, "投入信号故障", "其他告警", Once, P(8), Bit, 6},
    {"QPR2427K_AC_50", "06029", 2, "油机开机失败", "其他告警", Once, P(8), Bit, 7},
    {"QPR2427K_AC_51", "06029", 2, "模块其它告警", "其他告警", Once, P(9), Bit, 0},
    {"QPR2427K_AC_52", "06029", 2, "CSU故障", "其他告警", Once, P(9), Bit, 1},
    {"QPR2427K_AC_54", "06029", 2, "蓄电池故障", "其他告警", Once, P(9), Bit, 3},
    {"QPR2427K_AC_55", "06029", 2, "IO侦测板告警", "其他告警", Once, P(9), Bit, 4},
    {"QPR2427K_AC_56", "06029", 2, "熔丝侦测板告警", "其他告警", Once, P(9), Bit, 5},
    {"QPR2427K_AC_57", "06029", 2, "三相交流1A高压", "其他告警", Once, P(10), Bit, 0},
    {"QPR2427K_AC_58", "06029", 2, "三相交流1B高压", "其他告警", Once, P(10), Bit, 1},
    {"QPR2427K_AC_59", "06029", 2, "三相交流1C高压", "其他告警", Once, P(10), Bit, 2},
    {"QPR2427K_AC_60", "06029", 2, "三相交流1A低压", "其他告警", Once, P(10), Bit, 3},
    {"QPR2427K_AC_61", "06029", 2, "三相交流1B低压", "其他告警", Once, P(10), Bit, 4},
    {"QPR2427K_AC_62", "06029", 2, "三相交流1C低压", "其他告警", Once, P(10), Bit, 5},
    {"QPR2427K_AC_63", "06029", 2, "三相交流1A缺相", "其他告警", Once, P(10), Bit, 6},
    {"QPR2427K_AC_64", "06029", 2, "三相交流1B缺相", "其他告警", Once, P(10), Bit, 7},
    {"QPR2427K_AC_65", "06029", 2, "三相交流1C缺相", "其他告警", Once, P(11), Bit, 0},
    {"QPR2427K_AC_66", "06029", 2, "三相交流1A过流", "其他告警", Once, P(11), Bit, 1},
    {"QPR2427K_AC_67", "06029", 2, "三相交流1B过流", "其他告警", Once, P(11), Bit, 2},
    {"QPR2427K_AC_68", "06029", 2, "三相交流1C过流", "其他告警", Once, P(11), Bit, 3},
    {"QPR2427K_AC_69", "06029", 2, "三相交流1低频", "其他告警", Once, P(11), Bit, 4},
    {"QPR2427K_AC_70", "06029", 2, "三相交流1高频", "其他告警", Once, P(11), Bit, 5},
    {"QPR2427K_AC_71", "06029", 2, "三相交流2A高压", "其他告警", Once, P(11), Bit, 6},
    {"QPR2427K_AC_72", "06029", 2, "三相交流2B高压", "其他告警", Once, P(11), Bit, 7},
    {"QPR2427K_AC_73", "06029", 2, "三相交流2C高压", "其他告警", Once, P(12), Bit, 0},
    {"QPR2427K_AC_74", "06029", 2, "三相交流2A低压", "其他告警", Once, P(12), Bit, 1},
    {"QPR2427K_AC_75", "06029", 2, "三相交流2B低压", "其他告警", Once, P(12), Bit, 2},
    {"QPR2427K_AC_76", "06029", 2, "三相交流2C低压", "其他告警", Once, P(12), Bit, 3},
    {"QPR2427K_AC_77", "06029", 2, "三相交流2A缺相", "其他告警", Once, P(12), Bit, 4},
    {"QPR2427K_AC_78", "06029", 2, "三相交流2B缺相", "其他告警", Once, P(12), Bit, 5},
    {"QPR2427K_AC_79", "06029", 2, "三相交流2C缺相", "其他告警", Once, P(12), Bit, 6},
    {"QPR2427K_AC_80", "06029", 2, "三相交流2A过流", "其他告警", Once, P(12), Bit, 7},
    {"QPR2427K_AC_81", "06029", 2, "三相交流2B过流", "其他告警", Once, P(13), Bit, 0},
    {"QPR2427K_AC_82", "06029", 2, "三相交流2C过流", "其他告警", Once, P(13), Bit, 1},
    {"QPR2427K_AC_83", "06029", 2, "三相交流2低频", "其他告警", Once, P(13), Bit, 2},
    {"QPR2427K_AC_84", "06029", 2, "三相交流2高频", "其他告警", Once, P(13), Bit, 3},
    {"QPR2427K_AC_85", "06029", 2, "干节点输出状态", "其他告警", Once, P(14), Equals, 3},
    {"QPR2427K_AC_86", "06029", 2, "电池LVDS状态", "其他告警", Once, P(15), Bit, 0},
    {"QPR2427K_AC_87", "06029", 2, "负载LVDS状态", "其他告警", Once, P(15), Bit, 1},
    {"QPR2427K_AC_88", "06029", 2, "交流投入状态", "其他告警", Once, P(16), Equals, 3},
    {"QPR2427K_AC_89", "06029", 2, "系统状态", "其他告警", Once, P(17), Equals, 3},
    {"QPR2427K_AC_90", "06025", 2, "整流模块风扇告警", "整流模块1风扇告警", Once, P(18), Bit, 0},
    {"QPR2427K_AC_91", "06025", 2, "整流模块风扇告警", "整流模块2风扇告警", Once, P(18), Bit, 1},
    {"QPR2427K_AC_92", "06025", 2, "整流模块风扇告警", "整流模块3风扇告警", Once, P(18), Bit, 2},
    {"QPR2427K_AC_93", "06024", 2, "整流模块故障告警", "整流模块1故障告警", Once, P(18), Bit, 3},
    {"QPR2427K_AC_94", "06024", 2, "整流模块故障告警", "整流模块2故障告警", Once, P(18), Bit, 4},
    {"QPR2427K_AC_95", "06029", 2, "电池舱加热故障", "其他告警", Once, P(18), Bit, 5},
    {"QPR2427K_AC_96", "06029", 2, "门禁告警", "其他告警", Once, P(18), Bit, 6},
    {"QPR2427K_AC_97", "06022", 2, "防雷器故障告警", "交流防雷器断故障告警状态", Once, P(18), Bit, 7},
    {"QPR2427K_AC_98", "06029", 2, "交流空开断开", "其他告警", Once, P(19), Bit, 0},
    {"QPR2427K_AC_99", "06029", 2, "接口板CPU故障", "其他告警", Once, P(19), Bit, 1},
};
constexpr std::size_t kStatusRows = sizeof kSystemStatusRows / sizeof kSystemStatusRows[0];
static_assert(kStatusRows == 95);

// Every row tests a system-status byte, with a bit number that exists.
constexpr bool StatusRowsWellFormed() {
  for (const units::AlarmRow& r : kSystemStatusRows) {
    if (r.byte < P(0) || r.byte >= P(tele_c_qpr2427k_dc::ALERT_P_SIZE())) return false;
    if (r.level != 2) return false;
  }
  return true;
}
static_assert(StatusRowsWellFormed() && units::RowsFit(kSystemStatusRows, sizeof(tele_c_qpr2427k_dc)));
// The extension rows are exactly those on bytes 18 and 19.
static_assert(kSystemStatusRows[kBaseStatusRows - 1].byte < P(18) && kSystemStatusRows[kBaseStatusRows].byte == P(18));

}  // namespace dc
