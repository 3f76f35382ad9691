// The catalogue's tables, one row a field, and the decoder that reads them.
#include "tools/host/catalogue/Catalogue.h"

#include <fmt/format.h>

#include <cstdint>
#include <cstring>

#include "tools/host/catalogue/Labels.h"

#include "units/ac/tele_c_qpr2427k_ac.h"
#include "units/dc/tele_c_qpr2427k_dc.h"
#include "units/rc/tele_c_qpr2427k_rc.h"

namespace catalogue {
namespace {

using Ac = tele_c_qpr2427k_ac;
using AcChannel = tele_c_qpr2427k_ac_channel;
using Rc = tele_c_qpr2427k_rc;
using RcModule = tele_c_qpr2427k_rc_channel;
using Dc = tele_c_qpr2427k_dc;

constexpr auto M = Kind::Measurement;
constexpr auto S = Kind::State;
constexpr auto P = Kind::Setting;
constexpr auto F32 = Encoding::Float32;
constexpr auto U8 = Encoding::Byte;
constexpr int At(std::size_t offset) { return static_cast<int>(offset); }

// ---- AC distribution (5026) ----
constexpr Field kAcFields[] = {
    {"current_l1", "Mains L1 current", "A", "current", "qpr2427k_ac_current_amperes", "phase=\"L1\"", 1, M, F32, offsetof(Ac, ia)},
    {"current_l2", "Mains L2 current", "A", "current", "qpr2427k_ac_current_amperes", "phase=\"L2\"", 1, M, F32, offsetof(Ac, ib)},
    {"current_l3", "Mains L3 current", "A", "current", "qpr2427k_ac_current_amperes", "phase=\"L3\"", 1, M, F32, offsetof(Ac, ic)},
    {"current_l1_status", "Mains L1 current status", "", nullptr, "qpr2427k_ac_current_alert", "phase=\"L1\"", 0, S, U8, offsetof(Ac, ia_alert)},
    {"current_l2_status", "Mains L2 current status", "", nullptr, "qpr2427k_ac_current_alert", "phase=\"L2\"", 0, S, U8, offsetof(Ac, ib_alert)},
    {"current_l3_status", "Mains L3 current status", "", nullptr, "qpr2427k_ac_current_alert", "phase=\"L3\"", 0, S, U8, offsetof(Ac, ic_alert)},
};
constexpr Field kAcSwitch[] = {
    {"switch_{n}", "AC switch {n}", "", nullptr, "qpr2427k_ac_switch_state", "", 0, S, U8, 0},
};
constexpr Field kAcUserSwitch[] = {
    {"user_switch_{n}", "AC user switch {n}", "", nullptr, "qpr2427k_ac_user_switch_state", "", 0, S, U8, 0},
};
constexpr Field kAcChannel[] = {
    {"mains_{n}_voltage_l1", "Mains {n} L1 voltage", "V", "voltage", "qpr2427k_ac_voltage_volts", "phase=\"L1\"", 1, M, F32, offsetof(AcChannel, a)},
    {"mains_{n}_voltage_l2", "Mains {n} L2 voltage", "V", "voltage", "qpr2427k_ac_voltage_volts", "phase=\"L2\"", 1, M, F32, offsetof(AcChannel, b)},
    {"mains_{n}_voltage_l3", "Mains {n} L3 voltage", "V", "voltage", "qpr2427k_ac_voltage_volts", "phase=\"L3\"", 1, M, F32, offsetof(AcChannel, c)},
    {"mains_{n}_frequency", "Mains {n} frequency", "Hz", "frequency", "qpr2427k_ac_frequency_hertz", "", 2, M, F32, offsetof(AcChannel, f)},
    {"mains_{n}_voltage_l1_status", "Mains {n} L1 voltage status", "", nullptr, "qpr2427k_ac_voltage_status", "phase=\"L1\"", 0, S, U8, offsetof(AcChannel, a_alert)},
    {"mains_{n}_voltage_l2_status", "Mains {n} L2 voltage status", "", nullptr, "qpr2427k_ac_voltage_status", "phase=\"L2\"", 0, S, U8, offsetof(AcChannel, b_alert)},
    {"mains_{n}_voltage_l3_status", "Mains {n} L3 voltage status", "", nullptr, "qpr2427k_ac_voltage_status", "phase=\"L3\"", 0, S, U8, offsetof(AcChannel, c_alert)},
    {"mains_{n}_frequency_status", "Mains {n} frequency status", "", nullptr, "qpr2427k_ac_frequency_status", "", 0, S, U8, offsetof(AcChannel, f_alert)},
    {"mains_{n}_user_alarm_1", "Mains {n} user alarm 1", "", nullptr, "qpr2427k_ac_user_alarm_state", "slot=\"1\"", 0, S, U8, offsetof(AcChannel, user44), At(offsetof(AcChannel, p44)), 0},
};
constexpr Group kAcGroups[] = {
    {"switch", offsetof(Ac, airlock_count), Ac::AIRLOCK_MAX(), offsetof(Ac, airlock), 1, kAcSwitch, std::size(kAcSwitch)},
    {"user_switch", offsetof(Ac, p43), Ac::P40_43_SIZE(), offsetof(Ac, user43), 1, kAcUserSwitch, std::size(kAcUserSwitch)},
    {"mains", offsetof(Ac, channel_count), 0, sizeof(Ac), sizeof(AcChannel), kAcChannel, std::size(kAcChannel)},
};

// ---- Rectifiers (5027) ----
// The AC limits, the DC limits and the battery settings, in the order the
// parameter replies give them.
constexpr Field kRcFields[] = {
    {"ac_voltage_high_limit", "AC voltage high limit", "V", "voltage", "qpr2427k_setting_ac_voltage_high_volts", "", 1, P, F32, offsetof(Rc, ac_param[0])},
    {"ac_voltage_low_limit", "AC voltage low limit", "V", "voltage", "qpr2427k_setting_ac_voltage_low_volts", "", 1, P, F32, offsetof(Rc, ac_param[1])},
    {"ac_frequency_high_limit", "AC frequency high limit", "Hz", "frequency", "qpr2427k_setting_ac_frequency_high_hertz", "", 2, P, F32, offsetof(Rc, ac_param[2])},
    {"ac_frequency_low_limit", "AC frequency low limit", "Hz", "frequency", "qpr2427k_setting_ac_frequency_low_hertz", "", 2, P, F32, offsetof(Rc, ac_param[3])},
    {"ac_current_high_limit", "AC current high limit", "A", "current", "qpr2427k_setting_ac_current_high_amperes", "", 1, P, F32, offsetof(Rc, ac_param[4])},
    {"dc_voltage_high_limit", "DC voltage high limit", "V", "voltage", "qpr2427k_setting_dc_voltage_high_volts", "", 2, P, F32, offsetof(Rc, dc_param[0])},
    {"dc_voltage_low_limit", "DC voltage low limit", "V", "voltage", "qpr2427k_setting_dc_voltage_low_volts", "", 2, P, F32, offsetof(Rc, dc_param[1])},
    {"battery_float_voltage", "Battery float charge voltage", "V", "voltage", "qpr2427k_setting_battery_float_volts", "", 2, P, F32, offsetof(Rc, dc_param_user) + 0, At(offsetof(Rc, dc_param_p)), 0},
    {"battery_equalize_voltage", "Battery equalizing voltage", "V", "voltage", "qpr2427k_setting_battery_equalize_volts", "", 2, P, F32, offsetof(Rc, dc_param_user) + 4, At(offsetof(Rc, dc_param_p)), 1},
    {"battery_charge_current_limit", "Battery charge current limit", "C", nullptr, "qpr2427k_setting_battery_charge_current_limit_ratio", "", 2, P, F32, offsetof(Rc, dc_param_user) + 8, At(offsetof(Rc, dc_param_p)), 2},
    {"battery_capacity", "Battery capacity", "Ah", nullptr, "qpr2427k_setting_battery_capacity_coulombs", "", 0, P, F32, offsetof(Rc, dc_param_user) + 12, At(offsetof(Rc, dc_param_p)), 3},
    {"battery_temperature_compensation", "Battery temperature compensation", "mV/°C", nullptr, "qpr2427k_setting_battery_temperature_compensation_volts_per_celsius", "", 1, P, F32, offsetof(Rc, dc_param_user) + 16, At(offsetof(Rc, dc_param_p)), 4},
    {"output_voltage", "Rectifier output voltage", "V", "voltage", "qpr2427k_rectifier_output_voltage_volts", "", 2, M, F32, offsetof(Rc, rc_value)},
    {"modules", "Rectifier modules", "", nullptr, "qpr2427k_rectifier_modules", "", 0, M, U8, offsetof(Rc, channel_count)},
};
constexpr Field kRcModule[] = {
    {"rectifier_{n}_current", "Rectifier {n} output current", "A", "current", "qpr2427k_rectifier_current_amperes", "", 1, M, F32, offsetof(RcModule, value41)},
    {"rectifier_{n}_on_off", "Rectifier {n} on/off state", "", nullptr, "qpr2427k_rectifier_on_off_state", "", 0, S, U8, offsetof(RcModule, status43) + 0},
    {"rectifier_{n}_current_limit", "Rectifier {n} current-limit state", "", nullptr, "qpr2427k_rectifier_current_limit_state", "", 0, S, U8, offsetof(RcModule, status43) + 1},
    {"rectifier_{n}_charge_mode", "Rectifier {n} float/equalize/test state", "", nullptr, "qpr2427k_rectifier_charge_mode_state", "", 0, S, U8, offsetof(RcModule, status43) + 2},
    {"rectifier_{n}_fault", "Rectifier {n} fault", "", nullptr, "qpr2427k_rectifier_fault", "", 0, S, U8, offsetof(RcModule, status44)},
    {"rectifier_{n}_over_voltage_shutdown", "Rectifier {n} over-voltage shutdown", "", nullptr, "qpr2427k_rectifier_over_voltage_shutdown", "", 0, S, U8, offsetof(RcModule, user44) + 0, At(offsetof(RcModule, p44)), 0},
    {"rectifier_{n}_communication_interrupted", "Rectifier {n} communication interrupted", "", nullptr, "qpr2427k_rectifier_communication_interrupted", "", 0, S, U8, offsetof(RcModule, user44) + 1, At(offsetof(RcModule, p44)), 1},
    {"rectifier_{n}_module_fault", "Rectifier {n} module fault", "", nullptr, "qpr2427k_rectifier_module_fault", "", 0, S, U8, offsetof(RcModule, user44) + 2, At(offsetof(RcModule, p44)), 2},
};
constexpr Group kRcGroups[] = {
    {"rectifier", offsetof(Rc, channel_count), 0, sizeof(Rc), sizeof(RcModule), kRcModule, std::size(kRcModule)},
};

// ---- DC distribution (5028) ----
constexpr Field kDcFields[] = {
    {"dc_voltage", "DC output voltage", "V", "voltage", "qpr2427k_dc_voltage_volts", "", 2, M, F32, offsetof(Dc, v)},
    {"load_current", "DC load current", "A", "current", "qpr2427k_dc_current_amperes", "", 1, M, F32, offsetof(Dc, i)},
    {"dc_voltage_status", "DC voltage status", "", nullptr, "qpr2427k_dc_voltage_status", "", 0, S, U8, offsetof(Dc, volt_state)},
};
constexpr Field kDcBattery[] = {
    {"battery_{n}_current", "Battery {n} current", "A", "current", "qpr2427k_battery_current_amperes", "", 1, M, F32, 0},
};
constexpr Field kDcBranch[] = {
    {"branch_{n}_current", "Branch {n} current", "A", "current", "qpr2427k_branch_current_amperes", "", 1, M, F32, 0},
};
constexpr Field kDcUser[] = {
    {"user_value_{n}", "User value {n}", "", nullptr, "qpr2427k_dc_user_value", "", 2, M, F32, 0},
};
constexpr Field kDcFuse[] = {
    {"fuse_{n}_state", "Battery fuse {n} state", "", nullptr, "qpr2427k_battery_fuse_state", "", 0, S, U8, 0},
};
constexpr Field kDcStatus[] = {
    {"system_status_{n}", "System status byte {n}", "", nullptr, "qpr2427k_system_status", "", 0, S, U8, 0},
};
constexpr Group kDcGroups[] = {
    {"battery", offsetof(Dc, dc_m), Dc::M_SIZE(), offsetof(Dc, m_value), 4, kDcBattery, std::size(kDcBattery)},
    {"branch", offsetof(Dc, dc_n), Dc::N_SIZE(), offsetof(Dc, n_value), 4, kDcBranch, std::size(kDcBranch)},
    {"user_value", offsetof(Dc, p_count), Dc::P_SIZE(), offsetof(Dc, user_p), 4, kDcUser, std::size(kDcUser)},
    {"fuse", offsetof(Dc, alert_m), Dc::ALERT_M_SIZE(), offsetof(Dc, alert_m_state), 1, kDcFuse, std::size(kDcFuse)},
    {"status_byte", offsetof(Dc, alert_p), Dc::ALERT_P_SIZE(), offsetof(Dc, alert_p_state), 1, kDcStatus, std::size(kDcStatus)},
};

constexpr Record kAc{5026, "ac", "qpr2427k-ac", "AC distribution", sizeof(Ac), kAcFields, std::size(kAcFields),
                     kAcGroups, std::size(kAcGroups), offsetof(Ac, ttime)};
constexpr Record kRc{5027, "rc", "qpr2427k-rc", "Rectifiers", sizeof(Rc), kRcFields, std::size(kRcFields),
                     kRcGroups, std::size(kRcGroups), offsetof(Rc, ttime)};
constexpr Record kDc{5028, "dc", "qpr2427k-dc", "DC distribution", sizeof(Dc), kDcFields, std::size(kDcFields),
                     kDcGroups, std::size(kDcGroups), offsetof(Dc, ttime)};

// The words of state codes, by field key; codes past a row's words, or with
// no word, are said as numbers. Alert states: 1 below the lower limit, 2
// above the upper limit, 3 a fault (a blown fuse).
struct StateWords {
  const char* key;
  const char* words[4];
};
constexpr const char* kAlert[4] = {"normal", "low", "high", "fault"};
constexpr StateWords kStateWords[] = {
    {"rectifier_{n}_on_off", {"on", "off"}},
    {"rectifier_{n}_charge_mode", {"float", "equalize", "test"}},
    {"rectifier_{n}_fault", {"normal", "fault"}},
    {"rectifier_{n}_over_voltage_shutdown", {"normal", "alarm"}},
    {"rectifier_{n}_communication_interrupted", {"normal", "alarm"}},
    {"rectifier_{n}_module_fault", {"normal", "alarm"}},
    {"mains_{n}_user_alarm_1", {"normal", "alarm"}},
    {"fuse_{n}_state", {"normal", nullptr, nullptr, "blown"}},
};
constexpr const char* kAlertKeys[] = {"current_l1_status", "current_l2_status", "current_l3_status",
                                      "mains_{n}_voltage_l1_status", "mains_{n}_voltage_l2_status",
                                      "mains_{n}_voltage_l3_status", "mains_{n}_frequency_status", "dc_voltage_status"};

double Read(const Field& f, const unsigned char* at) {
  if (f.encoding == Encoding::Byte) return at[0];
  float v;
  static_assert(sizeof v == 4);
  std::memcpy(&v, at, sizeof v);  // little-endian, as received and as the board stores it
  return v;
}

// Whether the field's bytes lie inside the image and its count says it was received.
bool Present(const Field& f, const unsigned char* base, std::size_t room) {
  const std::size_t width = f.encoding == Encoding::Byte ? 1 : 4;
  if (f.offset + width > room) return false;
  if (f.countAt < 0) return true;
  const auto at = static_cast<std::size_t>(f.countAt);
  return at < room && base[at] > f.slot;
}

void Add(std::vector<Reading>& out, const Field& f, const Group* g, unsigned number, const unsigned char* base) {
  std::string labels = f.labels;
  if (g) {
    const std::string element = fmt::format("{}=\"{}\"", g->element, number);
    labels = labels.empty() ? element : element + "," + labels;
  }
  Reading r{&f, g, number, Numbered(f.key, number), Numbered(f.name, number), std::move(labels),
            Read(f, base + f.offset), f.unit, f.deviceClass ? f.deviceClass : ""};
  Labels::Active().Apply(r);
  out.push_back(std::move(r));
}

}  // namespace

std::string Numbered(const char* pattern, unsigned number) {
  std::string s = pattern;
  const auto at = s.find("{n}");
  if (at != std::string::npos) s.replace(at, 3, std::to_string(number));
  return s;
}

const std::vector<const Record*>& Records() {
  static const std::vector<const Record*> all{&kAc, &kRc, &kDc};
  return all;
}

const Record* RecordOfType(int type) {
  for (const Record* r : Records())
    if (r->type == type) return r;
  return nullptr;
}

const Record* RecordOfDevice(const std::string& deviceType) {
  for (const Record* r : Records())
    if (deviceType == r->deviceType) return r;
  return nullptr;
}

std::vector<Reading> Decode(const Record& record, const unsigned char* image, std::size_t length) {
  std::vector<Reading> out;
  if (!image || length < record.size) return out;
  for (std::size_t k = 0; k < record.fieldCount; ++k)
    if (Present(record.fields[k], image, length)) Add(out, record.fields[k], nullptr, 0, image);
  for (std::size_t gi = 0; gi < record.groupCount; ++gi) {
    const Group& g = record.groups[gi];
    unsigned count = image[g.countOffset];
    if (g.max && count > g.max) count = g.max;  // a count beyond the room is kept as received
    for (unsigned e = 0; e < count; ++e) {
      const std::size_t start = g.first + e * g.stride;
      if (start + g.stride > length) break;  // elements the image does not hold
      const unsigned char* base = image + start;
      for (std::size_t k = 0; k < g.fieldCount; ++k)
        if (Present(g.fields[k], base, g.stride)) Add(out, g.fields[k], &g, e + 1, base);
    }
  }
  return out;
}

std::string StateText(const Reading& r) {
  if (!r.field || r.field->kind != Kind::State) return {};
  const auto code = static_cast<unsigned>(r.value);
  const char* const* words = nullptr;
  for (const auto& row : kStateWords)
    if (std::strcmp(row.key, r.field->key) == 0) words = row.words;
  for (const char* key : kAlertKeys)
    if (std::strcmp(key, r.field->key) == 0) words = kAlert;
  if (words && code < 4 && words[code]) return words[code];
  return fmt::format("code {}", code);
}

std::string StampText(const Record& record, const unsigned char* image, std::size_t length) {
  if (!image || record.stampOffset + 7 > length) return {};
  const unsigned char* t = image + record.stampOffset;
  const unsigned year = t[0] | (t[1] << 8);
  if (year == 0) return {};
  return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}", year, t[2], t[3], t[4], t[5], t[6]);
}

}  // namespace catalogue
