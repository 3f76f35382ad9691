// The subagent's state and the instances it answers for: the entity tree and
// its sensors from the catalogue's decode of each published image, the plant
// summary, health, rectifier modules and active alarms under the MIB's root.
#include "tools/host/outputs/snmp/SnmpModel.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <ctime>

#include "tools/host/catalogue/AlarmNames.h"

namespace runner {

const Oid kEntPhysicalTable{1, 3, 6, 1, 2, 1, 47, 1, 1, 1};
const Oid kEntPhySensorTable{1, 3, 6, 1, 2, 1, 99, 1, 1};

namespace {

using Type = SnmpValue::Type;
SnmpValue Int(std::int64_t v) { return {Type::Integer, v, {}, {}}; }
SnmpValue Gauge(std::int64_t v) { return {Type::Gauge, v, {}, {}}; }
SnmpValue Ticks(std::int64_t v) { return {Type::TimeTicks, v, {}, {}}; }
SnmpValue Text(std::string s) { return {Type::Octets, 0, std::move(s), {}}; }
SnmpValue Object(Oid o) { return {Type::Object, 0, {}, std::move(o)}; }

// ENTITY-MIB PhysicalClass and ENTITY-SENSOR-MIB's types.
enum PhysicalClass { kOther = 1, kChassis = 3, kPowerSupply = 6, kModule = 9, kSensor = 8, kBattery = 14 };
enum SensorType { kSensorOther = 1, kVoltsAc = 3, kVoltsDc = 4, kAmperes = 5, kHertz = 7, kCelsius = 8 };
constexpr int kScaleUnits = 9;
enum SensorStatus { kSensorOk = 1, kSensorUnavailable = 2, kSensorNonoperational = 3 };
// A float32 carries about 7 significant digits: a DC plant's volts and
// amperes (tens to a few thousand) keep every digit the plug-in gives with 3
// after the point, within the sensor value's ±10^9.
constexpr int kSensorPrecision = 3;
constexpr double kSensorMax = 1e9;

// The parts a unit's repeated groups stand for; other groups' readings hang
// from the unit itself.
struct PartKind {
  const char* element;
  const char* word;
  int physicalClass;
};
constexpr PartKind kParts[] = {{"mains", "Mains", kOther},
                               {"rectifier", "Rectifier", kPowerSupply},
                               {"battery", "Battery", kBattery},
                               {"branch", "Branch", kOther}};
const PartKind* PartOf(const catalogue::Group* g) {
  if (!g) return nullptr;
  for (const auto& p : kParts)
    if (std::string(g->element) == p.element) return &p;
  return nullptr;
}

int SensorTypeOf(const catalogue::Record& record, const std::string& unit) {
  if (unit == "V") return record.type == 5026 ? kVoltsAc : kVoltsDc;
  if (unit == "A") return kAmperes;
  if (unit == "Hz") return kHertz;
  if (unit == "°C") return kCelsius;
  return kSensorOther;
}

// A value in thousandths, for the MIB's scaled integers.
std::int64_t Milli(double v) { return std::llround(std::clamp(v * 1000, -2147483647.0, 2147483647.0)); }

bool Ends(const std::string& s, const char* tail) {
  const std::string t = tail;
  return s.size() >= t.size() && s.compare(s.size() - t.size(), t.size(), t) == 0;
}

}  // namespace

std::string DateAndTime(Millis t) {
  const std::time_t s = static_cast<std::time_t>(t / 1000);
  std::tm tm{};
  gmtime_r(&s, &tm);
  const int year = tm.tm_year + 1900;
  const char bytes[] = {static_cast<char>(year >> 8), static_cast<char>(year & 0xFF), static_cast<char>(tm.tm_mon + 1),
                        static_cast<char>(tm.tm_mday), static_cast<char>(tm.tm_hour), static_cast<char>(tm.tm_min),
                        static_cast<char>(tm.tm_sec), static_cast<char>((t % 1000) / 100), '+', 0, 0};
  return std::string(bytes, sizeof bytes);
}

void SnmpModel::Observe(const Stamped& o, std::vector<SnmpNotification>& out) {
  const std::size_t before = out.size();
  Take(o, out);
  // Several systems: whose notification it is follows its own objects.
  if (!id_.empty())
    for (std::size_t k = before; k < out.size(); ++k) out[k].varbinds.emplace_back(Join(root_, {1, 1, 12, 0}), Text(id_));
}

void SnmpModel::Take(const Stamped& o, std::vector<SnmpNotification>& out) {
  plant_.Observe(o);
  if (const auto* p = std::get_if<Published>(&o.what)) {
    const catalogue::Record* record = catalogue::RecordOfType(p->recordType);
    if (!record) return;
    Unit& u = units_[{p->dataId, p->recordType}];
    u.record = record;
    u.readings = catalogue::Decode(*record, p->image.data(), p->image.size());
    u.previous = u.at;
    u.at = o.t;
  } else if (const auto* c = std::get_if<AlarmChange>(&o.what)) {
    Alarms(*c, o.t, out);
  } else if (const auto* h = std::get_if<HealthChanged>(&o.what)) {
    health_ = h->state;
    healthMessage_ = h->message;
    healthSince_ = o.t;
    out.push_back({Join(root_, {0, 3}),
                   {{Join(root_, {1, 2, 1, 0}), Int(static_cast<int>(health_) + 1)},
                    {Join(root_, {1, 2, 2, 0}), Text(healthMessage_)}}});
  }
}

void SnmpModel::Alarms(const AlarmChange& c, Millis t, std::vector<SnmpNotification>& out) {
  const AlarmKey key{c.alarm.dataId, c.alarm.deviceType, c.alarm.key, c.alarm.text};
  if (c.raised) {
    Alarm& a = alarms_[key];
    a = {nextAlarm_++, c};
    if (a.change.since == 0) a.change.since = t;
    out.push_back({Join(root_, {0, 1}), AlarmVarbinds(a)});
    return;
  }
  const auto it = alarms_.find(key);
  if (it == alarms_.end()) return;
  out.push_back({Join(root_, {0, 2}), AlarmVarbinds(it->second)});
  alarms_.erase(it);
}

std::vector<std::pair<Oid, SnmpValue>> SnmpModel::AlarmVarbinds(const Alarm& a) const {
  const auto& call = a.change.alarm;
  const auto column = [&](std::uint32_t c) { return Join(root_, {1, 4, 1, c, a.index}); };
  return {{column(2), Text(call.key)},
          {column(3), Text(call.code)},
          {column(4), Int(call.level)},
          {column(5), Text(call.name)},
          {column(6), Text(call.text)},
          {column(7), Text(catalogue::EnglishAlarmName(call.key, call.text))},
          {column(8), Text(DateAndTime(a.change.since))},
          {column(9), Gauge(call.dataId)},
          {column(10), Text(call.deviceType)}};
}

std::uint32_t SnmpModel::IndexOf(const std::string& identity) const {
  const auto it = indexes_.find(identity);
  if (it != indexes_.end()) return it->second;
  const auto index = static_cast<std::uint32_t>(indexes_.size() + 1);
  indexes_.emplace(identity, index);
  return index;
}

MibView SnmpModel::View(Millis now, std::uint32_t uptimeCs) const {
  MibView v;
  // entPhysicalTable: the plant, its units, their parts and one sensor per measurement.
  std::map<std::uint32_t, unsigned> children;  // entity -> children so far (entPhysicalParentRelPos)
  const auto entity = [&](const std::string& identity, const std::string& descr, int cls, std::uint32_t parent) {
    const std::uint32_t i = IndexOf(identity);
    const auto col = [&](std::uint32_t c) { return Join(kEntPhysicalTable, {1, c, i}); };
    v[col(2)] = Text(descr);
    v[col(3)] = Object({0, 0});
    v[col(4)] = Int(parent);
    v[col(5)] = Int(cls);
    v[col(6)] = Int(parent ? static_cast<int>(++children[parent]) : -1);
    v[col(7)] = Text(descr);
    for (std::uint32_t c = 8; c <= 15; ++c) v[col(c)] = Text("");
    v[col(16)] = Int(cls == kPowerSupply || cls == kBattery ? 1 : 2);  // TruthValue: modules and batteries are replaceable
    v[col(17)] = Text(std::string(8, '\0'));  // manufacturing date unknown
    v[col(18)] = Text("");
    return i;
  };
  const std::uint32_t plant = entity("plant", "DC power system", kChassis, 0);
  std::map<const catalogue::Record*, unsigned> unitsOfRecord;
  for (const auto& [id, u] : units_) {
    const std::string unitId = fmt::format("unit:{}:{}", u.record->type, id.first);
    const std::uint32_t unit =
        entity(unitId, fmt::format("{} {}", u.record->title, ++unitsOfRecord[u.record]), kModule, plant);
    const bool fresh = health_ == Health::Online && u.at > 0 && now - u.at < kFreshFor;
    const std::int64_t stamp = std::max<std::int64_t>(0, std::int64_t{uptimeCs} - (now - u.at) / 10);
    std::map<std::pair<const catalogue::Group*, unsigned>, std::uint32_t> parts;
    for (const auto& r : u.readings) {
      if (r.field->kind != catalogue::Kind::Measurement) continue;
      std::uint32_t parent = unit;
      if (const PartKind* part = PartOf(r.group)) {
        auto& p = parts[{r.group, r.number}];
        if (!p)
          p = entity(fmt::format("{}:{}:{}", unitId, part->element, r.number), fmt::format("{} {}", part->word, r.number),
                     part->physicalClass, unit);
        parent = p;
      }
      const std::uint32_t s = entity(fmt::format("{}:{}", unitId, r.key), r.name, kSensor, parent);
      const auto col = [&](std::uint32_t c) { return Join(kEntPhySensorTable, {1, c, s}); };
      const double scaled = r.value * std::pow(10.0, kSensorPrecision);
      const bool finite = std::isfinite(scaled) && std::fabs(scaled) <= kSensorMax;
      v[col(1)] = Int(SensorTypeOf(*u.record, r.unit));
      v[col(2)] = Int(kScaleUnits);
      v[col(3)] = Int(kSensorPrecision);
      v[col(4)] = Int(finite ? std::llround(scaled) : 0);
      v[col(5)] = Int(!finite ? kSensorNonoperational : fresh ? kSensorOk : kSensorUnavailable);
      v[col(6)] = Text(r.unit);
      v[col(7)] = Ticks(stamp);
      v[col(8)] = Gauge(u.previous ? std::clamp<Millis>(u.at - u.previous, 0, 0xFFFFFFFF) : 0);
    }
  }

  // QPR2427K-MIB plant summary: values not yet known have no instance.
  const catalogue::PlantState& p = plant_.State();
  const auto plantOid = [&](std::uint32_t c) { return Join(root_, {1, 1, c, 0}); };
  v[plantOid(1)] = Int(!p.mainsPresent ? 1 : *p.mainsPresent ? 2 : 3);
  v[plantOid(2)] = Int(!p.onBattery ? 1 : *p.onBattery ? 2 : 3);
  if (p.batteryCurrent) v[plantOid(3)] = Int(Milli(*p.batteryCurrent));
  v[plantOid(4)] = Int(Milli(p.dischargedAh));
  if (p.dcVoltage) v[plantOid(5)] = Int(Milli(*p.dcVoltage));
  if (p.loadCurrent) v[plantOid(6)] = Int(Milli(*p.loadCurrent));
  if (p.rectifiers) v[plantOid(7)] = Gauge(*p.rectifiers);
  v[plantOid(8)] = Gauge(p.running);
  v[plantOid(9)] = Gauge(p.off);
  v[plantOid(10)] = Gauge(p.faulty);
  v[plantOid(11)] = Gauge(static_cast<std::int64_t>(alarms_.size()));
  if (!id_.empty()) v[plantOid(12)] = Text(id_);

  // Health.
  v[Join(root_, {1, 2, 1, 0})] = Int(static_cast<int>(health_) + 1);
  v[Join(root_, {1, 2, 2, 0})] = Text(healthMessage_);
  if (healthSince_) v[Join(root_, {1, 2, 3, 0})] = Text(DateAndTime(healthSince_));

  // Rectifier modules, numbered on across rectifier units in data id order.
  std::uint32_t first = 0;
  for (const auto& [id, u] : units_) {
    if (u.record->type != 5027) continue;
    struct Module {
      double current = 0;
      bool off = false, faulty = false, hasCurrent = false;
      int mode = -1;
    };
    std::map<unsigned, Module> modules;
    for (const auto& r : u.readings) {
      if (!r.group) continue;
      Module& m = modules[r.number];
      if (Ends(r.key, "_current")) m.current = r.value, m.hasCurrent = true;
      else if (Ends(r.key, "_on_off")) m.off = r.value != 0;
      else if (Ends(r.key, "_fault") || Ends(r.key, "_module_fault")) m.faulty = m.faulty || r.value != 0;
      else if (Ends(r.key, "_charge_mode")) m.mode = static_cast<int>(r.value);
    }
    for (const auto& [number, m] : modules) {
      const std::uint32_t index = first + number;  // a lambda may not capture a structured binding
      const auto col = [&](std::uint32_t c) { return Join(root_, {1, 3, 1, c, index}); };
      if (m.hasCurrent) v[col(2)] = Int(Milli(m.current));
      v[col(3)] = Int(m.faulty ? 3 : m.off ? 2 : 1);
      v[col(4)] = Int(m.mode >= 0 && m.mode <= 2 ? m.mode + 1 : 4);
    }
    if (!modules.empty()) first += modules.rbegin()->first;
  }

  // Active alarms by the number each got when it was raised.
  for (const auto& [key, a] : alarms_)
    for (auto& [oid, value] : AlarmVarbinds(a)) v[oid] = value;
  return v;
}

}  // namespace runner
