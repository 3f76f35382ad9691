// The English alarm names, one row per alarm row of the plug-in's units: the
// AC unit's per-channel and phase-current rows, the DC unit's voltage, fuse
// and system-status rows, the rectifier unit's module row and the port
// device's model check.
#include "tools/host/catalogue/AlarmNames.h"

#include <cctype>
#include <cstring>

namespace catalogue {
namespace {

struct AlarmName {
  const char* key;
  const char* english;
};

constexpr AlarmName kNames[] = {
    {"AC_0", "Mains {n} L1 voltage low"},
    {"AC_1", "Mains {n} L2 voltage low"},
    {"AC_2", "Mains {n} L3 voltage low"},
    {"AC_3", "Mains {n} frequency low"},
    {"AC_4", "Mains {n} L1 voltage high"},
    {"AC_5", "Mains {n} L2 voltage high"},
    {"AC_6", "Mains {n} L3 voltage high"},
    {"AC_7", "Mains {n} frequency high"},
    {"AC_8", "Mains {n} L1 phase lost"},
    {"AC_9", "Mains {n} L2 phase lost"},
    {"AC_10", "Mains {n} L3 phase lost"},
    {"AC_12", "Mains L1 current below limit"},
    {"AC_13", "Mains L2 current below limit"},
    {"AC_14", "Mains L3 current below limit"},
    {"AC_15", "Mains L1 current above limit"},
    {"AC_16", "Mains L2 current above limit"},
    {"AC_17", "Mains L3 current above limit"},
    {"AC_18", "Mains L1 current missing"},
    {"AC_19", "Mains L2 current missing"},
    {"AC_20", "Mains L3 current missing"},
    {"DC_0", "DC output voltage low"},
    {"DC_1", "DC output voltage high"},
    {"DC_3", "Battery fuse {n} blown"},
    {"RC_0", "Rectifier {n} fault"},
    {"QPR2427K_RC_0", "Rectifier {n} over-voltage shutdown"},
    {"QPR2427K_RC_1", "Rectifier {n} communication interrupted"},
    {"QPR2427K_RC_2", "Rectifier {n} module fault"},
    {"device_model", "Power system model not supported"},
    {"QPR2427K_AC_0", "Rectifier current limiting"},
    {"QPR2427K_AC_1", "On battery (status byte 2)"},
    {"QPR2427K_AC_2", "Battery 1 fuse fault"},
    {"QPR2427K_AC_3", "Output voltage high (status byte 4)"},
    {"QPR2427K_AC_4", "Output voltage low (status byte 4)"},
    {"QPR2427K_AC_5", "Single-phase mains 1 voltage high"},
    {"QPR2427K_AC_6", "Single-phase mains 1 voltage low"},
    {"QPR2427K_AC_7", "Single-phase mains 1 failed"},
    {"QPR2427K_AC_8", "High-voltage shutdown"},
    {"QPR2427K_AC_11", "On battery (status byte 5)"},
    {"QPR2427K_AC_12", "Ambient temperature high"},
    {"QPR2427K_AC_13", "Battery 1 temperature high"},
    {"QPR2427K_AC_14", "Battery 1 charge over-current"},
    {"QPR2427K_AC_15", "Battery current limiting"},
    {"QPR2427K_AC_16", "Load fuse 1 fault"},
    {"QPR2427K_AC_17", "Battery disconnect tripped"},
    {"QPR2427K_AC_18", "Load disconnect tripped"},
    {"QPR2427K_AC_19", "Cell over-voltage"},
    {"QPR2427K_AC_20", "Cell under-voltage"},
    {"QPR2427K_AC_21", "Cell drift high"},
    {"QPR2427K_AC_22", "Cell drift low"},
    {"QPR2427K_AC_23", "Battery test failed"},
    {"QPR2427K_AC_24", "Surge protector fault (status byte 6)"},
    {"QPR2427K_AC_25", "DC panel communication interrupted"},
    {"QPR2427K_AC_26", "Mains input interrupted"},
    {"QPR2427K_AC_27", "DC detector 1 alarm"},
    {"QPR2427K_AC_30", "Battery string midpoint voltage abnormal"},
    {"QPR2427K_AC_31", "Load fuse 2 fault"},
    {"QPR2427K_AC_32", "Three-phase mains 1 failed"},
    {"QPR2427K_AC_33", "Three-phase mains 2 failed"},
    {"QPR2427K_AC_34", "Module shutdown"},
    {"QPR2427K_AC_35", "Rectifier fan alarm"},
    {"QPR2427K_AC_36", "Module current limiting"},
    {"QPR2427K_AC_37", "Battery temperature sensor failed"},
    {"QPR2427K_AC_38", "Single-phase mains 1 over-current"},
    {"QPR2427K_AC_39", "Battery disconnect out of control"},
    {"QPR2427K_AC_40", "Load disconnect out of control"},
    {"QPR2427K_AC_41", "Forced close"},
    {"QPR2427K_AC_42", "Battery disconnect in manual mode"},
    {"QPR2427K_AC_43", "Load disconnect in manual mode"},
    {"QPR2427K_AC_44", "Single-phase mains 2 voltage high"},
    {"QPR2427K_AC_45", "Single-phase mains 2 voltage low"},
    {"QPR2427K_AC_46", "Single-phase mains 2 failed"},
    {"QPR2427K_AC_47", "Battery discharge imbalance"},
    {"QPR2427K_AC_48", "Module critical alarm"},
    {"QPR2427K_AC_49", "Switch-in signal fault"},
    {"QPR2427K_AC_50", "Generator start failed"},
    {"QPR2427K_AC_51", "Module other alarm"},
    {"QPR2427K_AC_52", "Controller fault"},
    {"QPR2427K_AC_54", "Battery fault"},
    {"QPR2427K_AC_55", "I/O detector board alarm"},
    {"QPR2427K_AC_56", "Fuse detector board alarm"},
    {"QPR2427K_AC_57", "Three-phase mains 1 L1 voltage high"},
    {"QPR2427K_AC_58", "Three-phase mains 1 L2 voltage high"},
    {"QPR2427K_AC_59", "Three-phase mains 1 L3 voltage high"},
    {"QPR2427K_AC_60", "Three-phase mains 1 L1 voltage low"},
    {"QPR2427K_AC_61", "Three-phase mains 1 L2 voltage low"},
    {"QPR2427K_AC_62", "Three-phase mains 1 L3 voltage low"},
    {"QPR2427K_AC_63", "Three-phase mains 1 L1 phase lost"},
    {"QPR2427K_AC_64", "Three-phase mains 1 L2 phase lost"},
    {"QPR2427K_AC_65", "Three-phase mains 1 L3 phase lost"},
    {"QPR2427K_AC_66", "Three-phase mains 1 L1 over-current"},
    {"QPR2427K_AC_67", "Three-phase mains 1 L2 over-current"},
    {"QPR2427K_AC_68", "Three-phase mains 1 L3 over-current"},
    {"QPR2427K_AC_69", "Three-phase mains 1 frequency low"},
    {"QPR2427K_AC_70", "Three-phase mains 1 frequency high"},
    {"QPR2427K_AC_71", "Three-phase mains 2 L1 voltage high"},
    {"QPR2427K_AC_72", "Three-phase mains 2 L2 voltage high"},
    {"QPR2427K_AC_73", "Three-phase mains 2 L3 voltage high"},
    {"QPR2427K_AC_74", "Three-phase mains 2 L1 voltage low"},
    {"QPR2427K_AC_75", "Three-phase mains 2 L2 voltage low"},
    {"QPR2427K_AC_76", "Three-phase mains 2 L3 voltage low"},
    {"QPR2427K_AC_77", "Three-phase mains 2 L1 phase lost"},
    {"QPR2427K_AC_78", "Three-phase mains 2 L2 phase lost"},
    {"QPR2427K_AC_79", "Three-phase mains 2 L3 phase lost"},
    {"QPR2427K_AC_80", "Three-phase mains 2 L1 over-current"},
    {"QPR2427K_AC_81", "Three-phase mains 2 L2 over-current"},
    {"QPR2427K_AC_82", "Three-phase mains 2 L3 over-current"},
    {"QPR2427K_AC_83", "Three-phase mains 2 frequency low"},
    {"QPR2427K_AC_84", "Three-phase mains 2 frequency high"},
    {"QPR2427K_AC_85", "Dry contact output state"},
    {"QPR2427K_AC_86", "Battery disconnect state"},
    {"QPR2427K_AC_87", "Load disconnect state"},
    {"QPR2427K_AC_88", "AC switch-in state"},
    {"QPR2427K_AC_89", "System state"},
    {"QPR2427K_AC_90", "Rectifier 1 fan alarm"},
    {"QPR2427K_AC_91", "Rectifier 2 fan alarm"},
    {"QPR2427K_AC_92", "Rectifier 3 fan alarm"},
    {"QPR2427K_AC_93", "Rectifier 1 fault (status)"},
    {"QPR2427K_AC_94", "Rectifier 2 fault (status)"},
    {"QPR2427K_AC_95", "Battery cabinet heater fault"},
    {"QPR2427K_AC_96", "Door alarm"},
    {"QPR2427K_AC_97", "Surge protector fault (status byte 19)"},
    {"QPR2427K_AC_98", "AC breaker open"},
    {"QPR2427K_AC_99", "Interface board CPU fault"},
};

}  // namespace

std::string EnglishAlarmName(const std::string& key, const std::string& text) {
  for (const auto& row : kNames) {
    if (key != row.key) continue;
    std::string name = row.english;
    const auto at = name.find("{n}");
    if (at == std::string::npos) return name;
    std::size_t k = 0;
    while (k < text.size() && !std::isdigit(static_cast<unsigned char>(text[k]))) ++k;
    std::size_t end = k;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    return name.replace(at, 3, k < end ? text.substr(k, end - k) : std::string("?"));
  }
  return {};
}

}  // namespace catalogue
