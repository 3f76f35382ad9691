// The plant in NUT's words: variables from the plant summary and the
// catalogue's readings, the low-battery latch and freshness.
#include "tools/host/outputs/nut/NutModel.h"

#include <fmt/format.h>

#include <algorithm>
#include <vector>

#include "tools/host/catalogue/AlarmNames.h"
#include "tools/host/catalogue/Catalogue.h"
#include "tools/host/stream/EventJson.h"

namespace runner {
namespace {

constexpr int kAc = 5026, kRc = 5027, kDc = 5028;
constexpr unsigned char kModelQuery = 0x51;
// ups.alarm is cut near this length: each reply line stays well inside the
// 512 bytes a client reads at once.
constexpr std::size_t kAlarmTextMax = 200;

// Printable ASCII from a zero-padded field of the model reply, trailing spaces cut.
std::string Field(const std::vector<unsigned char>& info, std::size_t at, std::size_t width) {
  std::string s;
  for (std::size_t k = at; k < info.size() && k < at + width && info[k] != 0; ++k)
    if (info[k] >= ' ' && info[k] < 0x7f) s += static_cast<char>(info[k]);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

std::string Number(double v, int digits) { return fmt::format("{:.{}f}", v, digits); }

}  // namespace

void NutModel::Observe(const Stamped& o) {
  plant_.Observe(o);
  if (const auto* p = std::get_if<Published>(&o.what)) {
    const catalogue::Record* record = catalogue::RecordOfType(p->recordType);
    if (!record) return;
    auto& keep = readings_[p->recordType][p->dataId];
    keep.clear();
    for (const auto& r : catalogue::Decode(*record, p->image.data(), p->image.size())) keep[r.key] = r.value;
    // Not on an AC image: a round's AC image comes before its DC image, and
    // the mains back with the last round's voltage would clear the latch early.
    if (p->recordType == kDc || p->recordType == kRc) UpdateLowBattery();
  } else if (const auto* c = std::get_if<CommandSent>(&o.what)) {
    modelAsked_ = c->cid2 == kModelQuery;
  } else if (const auto* r = std::get_if<ReplyAccepted>(&o.what)) {
    bool ok = false;
    const auto info = FromHex(r->info, ok);
    if (modelAsked_ && r->rtn == 0 && ok && info.size() >= 12) {
      model_ = Field(info, 0, 10);
      maker_ = Field(info, 12, 20);
    }
    modelAsked_ = false;
  } else if (std::holds_alternative<ReplyMissing>(o.what)) {
    modelAsked_ = false;
  } else if (std::holds_alternative<RoundEnded>(o.what)) {
    lastRoundAt_ = o.t;
  } else if (const auto* h = std::get_if<HealthChanged>(&o.what)) {
    health_ = h->state;
  } else if (const auto* a = std::get_if<AlarmChange>(&o.what)) {
    alarms_.Apply(*a);
  }
}

bool NutModel::Fresh(Millis now) const {
  return health_ == Health::Online && lastRoundAt_ > 0 && now - lastRoundAt_ < kFreshFor &&
         plant_.State().dcVoltage.has_value();
}

std::optional<double> NutModel::Reading(int recordType, const std::string& key) const {
  const auto type = readings_.find(recordType);
  if (type == readings_.end() || type->second.empty()) return std::nullopt;
  const auto& first = type->second.begin()->second;
  const auto it = first.find(key);
  return it == first.end() ? std::nullopt : std::optional<double>(it->second);
}

std::optional<double> NutModel::LowBatteryV() const {
  if (lowBatteryV_) return lowBatteryV_;
  const auto limit = Reading(kRc, "dc_voltage_low_limit");
  return limit && *limit > 0 ? limit : std::nullopt;
}

// Low at or below the threshold; once low, it stays low until the mains is
// back and the voltage is above the threshold again, so that a battery whose
// voltage bounces up when the load drops does not undo a shutdown under way.
void NutModel::UpdateLowBattery() {
  const auto& s = plant_.State();
  const auto threshold = LowBatteryV();
  if (!threshold || !s.dcVoltage) return;
  const bool mainsBack = s.mainsPresent ? *s.mainsPresent : !s.onBattery.value_or(false);
  if (*s.dcVoltage <= *threshold) {
    low_ = true;
  } else if (low_ && mainsBack) {
    low_ = false;
    fsd_ = false;  // the shutdown's cause is over: a later failure starts afresh
  }
}

std::map<std::string, std::string> NutModel::Variables() const {
  std::map<std::string, std::string> v;
  const auto& s = plant_.State();
  if (!s.dcVoltage) return v;
  const std::string model = model_.empty() ? "QPR2427K" : model_;
  v["device.type"] = "ups";
  v["device.model"] = v["ups.model"] = model;
  if (!maker_.empty()) v["device.mfr"] = v["ups.mfr"] = maker_;
  v["driver.name"] = "qpr2427k-host";

  // On battery: the mains has failed, or the batteries discharge all the same
  // (rectifiers off or faulty).
  const bool mainsFailed = s.mainsPresent && !*s.mainsPresent;
  const bool onBattery = mainsFailed || s.onBattery.value_or(false);
  std::string status = fsd_ ? "FSD " : "";
  status += onBattery ? "OB" : "OL";
  if (low_) status += " LB";
  if (s.batteryCurrent && *s.batteryCurrent > catalogue::Plant::kBatteryDeadBandA) status += " CHRG";
  if (s.batteryCurrent && *s.batteryCurrent < -catalogue::Plant::kBatteryDeadBandA) status += " DISCHRG";
  if (!alarms_.List().empty()) status += " ALARM";
  v["ups.status"] = status;

  if (!alarms_.List().empty()) {
    std::vector<std::string> names;
    for (const auto& a : alarms_.List()) {
      std::string name = catalogue::EnglishAlarmName(a.alarm.key, a.alarm.text);
      if (name.empty()) name = a.alarm.key;
      if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
    }
    std::string text;
    std::size_t shown = 0;
    for (; shown < names.size() && text.size() < kAlarmTextMax; ++shown) text += (shown ? ", " : "") + names[shown];
    if (shown < names.size()) text += fmt::format(" (and {} more)", names.size() - shown);
    v["ups.alarm"] = text;
  }

  v["battery.voltage"] = v["output.voltage"] = Number(*s.dcVoltage, 2);
  if (s.loadCurrent) v["output.current"] = Number(*s.loadCurrent, 1);
  if (s.batteryCurrent) v["battery.current"] = Number(*s.batteryCurrent, 1);
  if (const auto low = LowBatteryV()) v["battery.voltage.low"] = Number(*low, 2);
  if (const auto high = Reading(kRc, "dc_voltage_high_limit")) v["battery.voltage.high"] = Number(*high, 2);
  if (const auto l1 = Reading(kAc, "mains_1_voltage_l1")) v["input.voltage"] = Number(*l1, 1);
  if (const auto f = Reading(kAc, "mains_1_frequency")) v["input.frequency"] = Number(*f, 2);
  if (const auto low = Reading(kRc, "ac_voltage_low_limit")) v["input.transfer.low"] = Number(*low, 1);
  if (const auto high = Reading(kRc, "ac_voltage_high_limit")) v["input.transfer.high"] = Number(*high, 1);

  // Estimates while the mains is off: charge from the ampere-hours drawn since
  // it failed, runtime from what is left at the present discharge current.
  const auto capacity = Reading(kRc, "battery_capacity");
  if (capacity && *capacity > 0) {
    v["battery.capacity"] = Number(*capacity, 0);
    if (mainsFailed) {
      const double left = std::max(0.0, *capacity - s.dischargedAh);
      v["battery.charge"] = Number(std::min(100.0, 100.0 * left / *capacity), 0);
      if (s.batteryCurrent && *s.batteryCurrent < -catalogue::Plant::kBatteryDeadBandA)
        v["battery.runtime"] = Number(left / -*s.batteryCurrent * 3600.0, 0);
    }
  }
  return v;
}

const char* NutModel::Describe(const std::string& name) {
  static const std::map<std::string, const char*> kText{
      {"battery.capacity", "Battery capacity (Ah)"},
      {"battery.charge", "Battery charge (percent), estimated from the Ah drawn since the mains failed"},
      {"battery.current", "Battery current (A), charging above 0"},
      {"battery.runtime", "Battery runtime (seconds), estimated at the present discharge current"},
      {"battery.voltage", "Battery voltage (V): the DC bus"},
      {"battery.voltage.high", "DC high-voltage limit (V)"},
      {"battery.voltage.low", "Low-battery threshold (V)"},
      {"device.mfr", "Device manufacturer"},
      {"device.model", "Device model"},
      {"device.type", "Device type"},
      {"driver.name", "Driver name"},
      {"input.frequency", "Input line frequency (Hz)"},
      {"input.transfer.high", "AC high-voltage limit (V)"},
      {"input.transfer.low", "AC low-voltage limit (V)"},
      {"input.voltage", "Input voltage (V), first mains channel L1"},
      {"output.current", "Output current (A): the DC load"},
      {"output.voltage", "Output voltage (V): the DC bus"},
      {"ups.alarm", "Active alarms"},
      {"ups.mfr", "UPS manufacturer"},
      {"ups.model", "UPS model"},
      {"ups.status", "UPS status"},
  };
  const auto it = kText.find(name);
  return it == kText.end() ? "Unavailable" : it->second;
}

}  // namespace runner
