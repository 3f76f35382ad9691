// The plant summary, from images decoded through the catalogue.
#include "tools/host/catalogue/Plant.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "tools/host/catalogue/Catalogue.h"

namespace catalogue {
namespace {

bool Starts(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }
bool Ends(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

}  // namespace

void Plant::Observe(const runner::Stamped& o) {
  if (const auto* p = std::get_if<runner::Published>(&o.what)) {
    if (p->recordType == 5026) Ac(o.t, p->dataId, p->image);
    else if (p->recordType == 5028) Dc(o.t, p->dataId, p->image);
    else if (p->recordType == 5027) Rc(p->image);
  } else if (const auto* c = std::get_if<runner::AlarmChange>(&o.what)) {
    active_.Apply(*c);
    state_.alarmsByLevel.clear();
    for (const auto& a : active_.List()) ++state_.alarmsByLevel[a.alarm.level];
  }
}

void Plant::Ac(runner::Millis t, unsigned dataId, const std::vector<unsigned char>& image) {
  bool mains = false;
  for (const auto& r : Decode(*RecordOfType(5026), image.data(), image.size()))
    if (r.group && r.field->kind == Kind::Measurement && std::string(r.field->unit) == "V" && r.value >= kMainsPresentV)
      mains = true;
  acHasMains_[dataId] = mains;
  bool any = false;
  for (const auto& [id, has] : acHasMains_) any = any || has;
  if (!state_.mainsPresent || *state_.mainsPresent != any) {
    if (state_.mainsPresent && !any) state_.dischargedAh = 0;  // a new failure: counted from now
    state_.mainsPresent = any;
    state_.mainsSince = t;
  }
}

void Plant::Dc(runner::Millis t, unsigned dataId, const std::vector<unsigned char>& image) {
  DcUnit now;
  now.at = t;
  for (const auto& r : Decode(*RecordOfType(5028), image.data(), image.size())) {
    if (r.key == "dc_voltage") now.v = r.value;
    else if (r.key == "load_current") now.load = r.value;
    else if (Starts(r.key, "battery_") && Ends(r.key, "_current")) now.battery += r.value, now.batteries = true;
  }
  // Discharge since this unit's last image (or since the mains failed, if
  // later), at this image's current.
  const auto last = dc_.find(dataId);
  if (last != dc_.end() && state_.mainsPresent && !*state_.mainsPresent && now.battery < 0) {
    const runner::Millis from = std::max(last->second.at, state_.mainsSince);
    if (t > from) state_.dischargedAh += -now.battery * static_cast<double>(t - from) / 3.6e6;
  }
  dc_[dataId] = now;

  double battery = 0, load = 0;
  bool batteries = false;
  for (const auto& [id, u] : dc_) {
    load += u.load;
    battery += u.battery;
    batteries = batteries || u.batteries;
  }
  state_.dcVoltage = dc_.begin()->second.v;
  state_.loadCurrent = load;
  if (!batteries) return;
  state_.batteryCurrent = battery;
  // Within the dead band the last state holds (none yet: not on battery).
  std::optional<bool> on;
  if (battery < -kBatteryDeadBandA) on = true;
  else if (battery > kBatteryDeadBandA || !state_.onBattery) on = false;
  if (on && (!state_.onBattery || *state_.onBattery != *on)) {
    state_.onBattery = on;
    state_.batterySince = t;
  }
}

void Plant::Rc(const std::vector<unsigned char>& image) {
  std::map<unsigned, std::pair<bool, bool>> modules;  // number -> (off, faulty)
  for (const auto& r : Decode(*RecordOfType(5027), image.data(), image.size())) {
    if (r.key == "modules") state_.rectifiers = static_cast<unsigned>(r.value);
    if (!r.group) continue;
    auto& m = modules[r.number];
    if (Ends(r.key, "_on_off")) m.first = r.value != 0;
    else if (Ends(r.key, "_fault") || Ends(r.key, "_module_fault")) m.second = m.second || r.value != 0;
  }
  state_.running = state_.off = state_.faulty = 0;
  for (const auto& [number, m] : modules) {
    if (m.second) ++state_.faulty;
    else if (m.first) ++state_.off;
    else ++state_.running;
  }
}

}  // namespace catalogue
