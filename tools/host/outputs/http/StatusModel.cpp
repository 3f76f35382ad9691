// The HTTP endpoint's view of the run: the observation stream kept as state,
// and that state as Prometheus text (a table of metric names) and as JSON.
#include "tools/host/outputs/http/StatusModel.h"

#include <fmt/format.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <optional>

#include "host/json.h"
#include "tools/host/catalogue/AlarmNames.h"
#include "tools/host/stream/EventJson.h"

namespace runner {
namespace {

// Metric names: one row per kind of value; the label says which phase or channel.
struct ValueMetric {
  const char* name;
  const char* help;
};
constexpr ValueMetric kAcCurrent{"qpr2427k_ac_current_amperes", "AC phase current"};
constexpr ValueMetric kAcCurrentAlert{"qpr2427k_ac_current_alert", "AC phase current alert value as the unit reports it"};
constexpr ValueMetric kAcVoltage{"qpr2427k_ac_voltage_volts", "AC voltage of a channel's phase"};
constexpr ValueMetric kAcFrequency{"qpr2427k_ac_frequency_hertz", "AC frequency of a channel"};
constexpr ValueMetric kDcVoltage{"qpr2427k_dc_voltage_volts", "DC bus voltage"};
constexpr ValueMetric kDcCurrent{"qpr2427k_dc_current_amperes", "DC load current"};
constexpr ValueMetric kOther{"qpr2427k_value", "a unit value without a metric of its own"};
constexpr const ValueMetric* kValueMetrics[] = {&kAcCurrent, &kAcCurrentAlert, &kAcVoltage, &kAcFrequency,
                                                &kDcVoltage, &kDcCurrent,      &kOther};

constexpr Health kHealthStates[] = {Health::Starting, Health::Online, Health::NoReply, Health::CommLost, Health::LineDown};

std::string Escape(const std::string& s) {
  std::string r;
  for (char c : s) {
    if (c == '\\') r += "\\\\";
    else if (c == '"') r += "\\\"";
    else if (c == '\n') r += "\\n";
    else r += c;
  }
  return r;
}

// The metric and the extra label (name, value) a unit's value key maps to.
struct Mapped {
  const ValueMetric* metric;
  std::string labels;
};
Mapped MapKey(const std::string& type, const std::string& key) {
  if (type == "qpr2427k-dc" && key == "v") return {&kDcVoltage, ""};
  if (type == "qpr2427k-dc" && key == "i") return {&kDcCurrent, ""};
  if (type == "qpr2427k-ac") {
    if (key.size() == 2 && key[0] == 'i' && key[1] >= 'a' && key[1] <= 'c')
      return {&kAcCurrent, fmt::format(",phase=\"{}\"", key[1])};
    if (key.size() == 8 && key.compare(2, 6, "_alert") == 0 && key[0] == 'i')
      return {&kAcCurrentAlert, fmt::format(",phase=\"{}\"", key[1])};
    if (key.rfind("channel_", 0) == 0) {
      const auto under = key.rfind('_');
      const std::string channel = key.substr(8, under - 8), what = key.substr(under + 1);
      if (what == "f") return {&kAcFrequency, fmt::format(",channel=\"{}\"", channel)};
      if (what.size() == 1 && what[0] >= 'a' && what[0] <= 'c')
        return {&kAcVoltage, fmt::format(",channel=\"{}\",phase=\"{}\"", channel, what)};
    }
  }
  return {&kOther, fmt::format(",key=\"{}\"", Escape(key))};
}

// A float's shortest text that reads back to it.
std::string Text(float v) { return fmt::format("{}", v); }
const char* KindName(catalogue::Kind k) {
  switch (k) {
    case catalogue::Kind::Measurement: return "measurement";
    case catalogue::Kind::State: return "state";
    case catalogue::Kind::Setting: return "setting";
  }
  return "";
}

Json::Value JsonNumber(float v) {
  if (!std::isfinite(v)) return Json::Value();
  return Json::Value(std::strtod(Text(v).c_str(), nullptr));
}

std::string Write(const Json::Value& v) {
  Json::StreamWriterBuilder b;
  b["indentation"] = "";
  b["precision"] = 9;
  return Json::writeString(b, v);
}

// [t, dc_v, dc_i, ac_a, ac_b, ac_c]; null where the value is missing.
Json::Value ChartPoint(const StatusModel::Point& p) {
  Json::Value row(Json::arrayValue);
  row.append(static_cast<Json::Int64>(p.t));
  for (double v : p.v) row.append(std::isfinite(v) ? JsonNumber(static_cast<float>(v)) : Json::Value());
  return row;
}

void Header(std::string& out, const char* name, const char* type, const char* help) {
  out += fmt::format("# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
}

}  // namespace

void StatusModel::Observe(const Stamped& o) {
  metricsFresh_ = statusFresh_ = false;
  if (pendingRound_ && !std::holds_alternative<ValuesRead>(o.what) && !std::holds_alternative<RoundEnded>(o.what))
    CountRound();
  plant_.Observe(o);
  if (std::holds_alternative<CommandSent>(o.what)) ++commands_;
  else if (std::holds_alternative<ReplyAccepted>(o.what)) ++replies_;
  else if (std::holds_alternative<FrameRejected>(o.what)) ++rejected_;
  else if (std::holds_alternative<ReplyMissing>(o.what)) ++timeouts_;
  else if (const auto* r = std::get_if<RoundEnded>(&o.what)) {
    CountRound();
    pendingRound_.emplace(*r, o.t);
  } else if (const auto* v = std::get_if<ValuesRead>(&o.what)) {
    CountRound();
    Values(o, *v);
  } else if (const auto* p = std::get_if<Published>(&o.what)) {
    if (const catalogue::Record* record = catalogue::RecordOfType(p->recordType)) {
      Unit& u = units_[{record->deviceType, p->dataId}];
      u.readings = catalogue::Decode(*record, p->image.data(), p->image.size());
      u.publishedAt = o.t;
    }
  } else if (const auto* a = std::get_if<AlarmCall>(&o.what)) {
    // Every alarm the units report has its sample from its first report, 0
    // until it is raised, so that sums over the metric work from the start.
    alarmSeen_.emplace(AlarmKey{a->deviceType, a->dataId, a->key, a->text}, AlarmState{a->code, a->level, false});
  } else if (const auto* c = std::get_if<AlarmChange>(&o.what)) {
    active_.Apply(*c);
    const auto& a = c->alarm;
    alarmSeen_[{a.deviceType, a.dataId, a.key, a.text}] = {a.code, a.level, c->raised};
  } else if (const auto* h = std::get_if<HealthChanged>(&o.what)) {
    health_ = h->state;
    healthMessage_ = h->message;
    healthSince_ = o.t;
  }
}

void StatusModel::CountRound() {
  if (!pendingRound_) return;
  ++rounds_;
  lastRoundAt_ = pendingRound_->second;
  const double s = pendingRound_->first.ms / 1000.0;
  durationSum_ += s;
  for (std::size_t k = 0; k < kBuckets.size(); ++k)
    if (s <= kBuckets[k]) {
      ++bucketCounts_[k];
      break;
    }
  pendingRound_.reset();
}

void StatusModel::Values(const Stamped& o, const ValuesRead& v) {
  std::map<UnitKey, Unit> fresh;
  for (const auto& r : v.rows) {
    Unit& u = fresh[{r.deviceType, r.dataId}];
    u.t = o.t;
    u.round = v.round;
    u.values.push_back({r.key, r.ok, r.value, r.error});
  }
  for (auto& [key, unit] : fresh) {
    Unit& kept = units_[key];
    kept.values = std::move(unit.values);
    kept.t = unit.t;
    kept.round = unit.round;
  }
  modules_ = v.rectifierModules;
  if (v.round == 0 || (!chart_.empty() && o.t - chart_.back().t < kChartStep)) return;
  // The chart follows the first DC unit and the first AC unit's first channel.
  const auto find = [&](const char* type, const std::string& key) -> double {
    for (const auto& r : v.rows)
      if (r.deviceType == type && r.key == key && r.ok) return r.value;
    return NAN;
  };
  Point p{o.t, {find("qpr2427k-dc", "v"), find("qpr2427k-dc", "i"), find("qpr2427k-ac", "channel_0_a"),
                find("qpr2427k-ac", "channel_0_b"), find("qpr2427k-ac", "channel_0_c")}};
  chart_.push_back(p);
  while (!chart_.empty() && chart_.front().t < o.t - kChartSpan) chart_.pop_front();
}

bool StatusModel::Fresh(Millis t, Millis now) const {
  return health_ == Health::Online && t > 0 && now - t < kFreshFor;
}

std::vector<bool> StatusModel::Freshness(Millis now) const {
  std::vector<bool> f;
  for (const auto& [key, unit] : units_) f.push_back(Fresh(unit.t, now));
  f.push_back(Fresh(lastRoundAt_, now));
  return f;
}

std::string StatusModel::Metrics(Millis now) const {
  // Kept until something is observed or a unit's values turn stale.
  std::vector<bool> freshness = Freshness(now);
  if (!metricsFresh_ || freshness != metricsFreshness_) metricsText_ = RenderMetrics(now);
  metricsFresh_ = true;
  metricsFreshness_ = std::move(freshness);
  return metricsText_;
}

std::string StatusModel::RenderMetrics(Millis now) const {
  std::string out;
  const std::string site = fmt::format("site=\"{}\"", Escape(site_));
  // Unit values, grouped by metric as the format wants; a stale unit's values
  // are not exported, so that a dashboard shows a gap, not the last number.
  std::map<const ValueMetric*, std::string> samples;
  for (const auto& [key, unit] : units_)
    for (const auto& v : unit.values) {
      if (!Fresh(unit.t, now)) break;
      if (!v.ok || !std::isfinite(v.value)) continue;
      const Mapped m = MapKey(key.first, v.key);
      samples[m.metric] += fmt::format("{}{{{},device_type=\"{}\",data_id=\"{}\"{}}} {}\n", m.metric->name, site,
                                       Escape(key.first), key.second, m.labels, Text(v.value));
    }
  for (const ValueMetric* m : kValueMetrics) {
    const auto it = samples.find(m);
    if (it == samples.end()) continue;
    Header(out, m->name, "gauge", m->help);
    out += it->second;
  }
  if (!units_.empty()) {
    Header(out, "qpr2427k_unit_last_update_timestamp_seconds", "gauge",
           "when the unit's values were last read (Unix time); they are exported for 61 s after, while health is online");
    for (const auto& [key, unit] : units_)
      out += fmt::format("qpr2427k_unit_last_update_timestamp_seconds{{{},device_type=\"{}\",data_id=\"{}\"}} {:.3f}\n",
                         site, Escape(key.first), key.second, unit.t / 1000.0);
  }
  const bool live = Fresh(lastRoundAt_, now);
  if (!modules_.empty() && live) {
    Header(out, "qpr2427k_rectifier_modules", "gauge", "rectifier modules the system reports");
    for (const auto& [id, n] : modules_)
      out += fmt::format("qpr2427k_rectifier_modules{{{},device_type=\"qpr2427k-rc\",data_id=\"{}\"}} {}\n", site, id, n);
  }
  if (!alarmSeen_.empty()) {
    Header(out, "qpr2427k_alarm_active", "gauge", "1 while the alarm is active, 0 after it cleared");
    for (const auto& [k, s] : alarmSeen_)
      out += fmt::format(
          "qpr2427k_alarm_active{{{},device_type=\"{}\",data_id=\"{}\",key=\"{}\",code=\"{}\",level=\"{}\",text=\"{}\",name=\"{}\"}} {}\n",
          site, Escape(std::get<0>(k)), std::get<1>(k), Escape(std::get<2>(k)), Escape(s.code), s.level,
          Escape(std::get<3>(k)), Escape(catalogue::EnglishAlarmName(std::get<2>(k), std::get<3>(k))), s.active ? 1 : 0);
  }
  const struct {
    const char* name;
    const char* help;
    unsigned long long value;
  } counters[] = {
      {"qpr2427k_commands_total", "commands sent", commands_},
      {"qpr2427k_replies_total", "replies accepted", replies_},
      {"qpr2427k_rejected_frames_total", "frames rejected", rejected_},
      {"qpr2427k_timeouts_total", "replies that did not come in time", timeouts_},
      {"qpr2427k_rounds_total", "complete polling rounds", rounds_},
  };
  for (const auto& c : counters) {
    Header(out, c.name, "counter", c.help);
    out += fmt::format("{}{{{}}} {}\n", c.name, site, c.value);
  }
  Header(out, "qpr2427k_round_duration_seconds", "histogram", "time from a round's first command to its end");
  unsigned long long cumulative = 0;
  for (std::size_t k = 0; k < kBuckets.size(); ++k) {
    cumulative += bucketCounts_[k];
    out += fmt::format("qpr2427k_round_duration_seconds_bucket{{{},le=\"{}\"}} {}\n", site, kBuckets[k], cumulative);
  }
  out += fmt::format("qpr2427k_round_duration_seconds_bucket{{{},le=\"+Inf\"}} {}\n", site, rounds_);
  out += fmt::format("qpr2427k_round_duration_seconds_sum{{{}}} {}\n", site, durationSum_);
  out += fmt::format("qpr2427k_round_duration_seconds_count{{{}}} {}\n", site, rounds_);
  if (lastRoundAt_) {
    Header(out, "qpr2427k_last_round_timestamp_seconds", "gauge", "when the last round ended (Unix time)");
    out += fmt::format("qpr2427k_last_round_timestamp_seconds{{{}}} {:.3f}\n", site, lastRoundAt_ / 1000.0);
  }
  const catalogue::PlantState& p = live ? plant_.State() : catalogue::PlantState{};
  const auto gauge = [&](const char* name, const char* help, const std::string& value) {
    Header(out, name, "gauge", help);
    out += fmt::format("{}{{{}}} {}\n", name, site, value);
  };
  if (p.mainsPresent) gauge("qpr2427k_mains_present", "1 while an AC channel has mains, 0 after it failed", *p.mainsPresent ? "1" : "0");
  if (p.onBattery) gauge("qpr2427k_on_battery", "1 while the batteries discharge", *p.onBattery ? "1" : "0");
  if (p.batteryCurrent)
    gauge("qpr2427k_plant_battery_current_amperes", "all batteries' current: charging above 0, discharging below",
          Text(static_cast<float>(*p.batteryCurrent)));
  if (p.mainsPresent)
    gauge("qpr2427k_discharged_since_mains_failure_coulombs",
          "estimate: the battery current integrated between rounds since the mains last failed (3600 C = 1 Ah)",
          fmt::format("{:.1f}", p.dischargedAh * 3600));
  if (p.rectifiers) {
    Header(out, "qpr2427k_rectifiers", "gauge", "rectifier modules running, off and faulty");
    for (const auto& [state, n] : {std::pair<const char*, unsigned>{"running", p.running}, {"off", p.off}, {"faulty", p.faulty}})
      out += fmt::format("qpr2427k_rectifiers{{{},state=\"{}\"}} {}\n", site, state, n);
  }
  Header(out, "qpr2427k_health", "gauge", "1 for the communication health state the runner is in");
  for (Health h : kHealthStates)
    out += fmt::format("qpr2427k_health{{{},state=\"{}\"}} {}\n", site, HealthName(h), h == health_ ? 1 : 0);
  return out;
}

std::string StatusModel::StatusJson(Millis now) const {
  if (!statusFresh_ || now < statusAt_ || now - statusAt_ >= kStatusReuse) {
    statusText_ = RenderStatus(now);
    statusAt_ = now;
    statusFresh_ = true;
  }
  return statusText_;
}

std::string StatusModel::RenderStatus(Millis now) const {
  Json::Value root(Json::objectValue);
  root["site"] = site_;
  root["t"] = static_cast<Json::Int64>(now);
  root["health"]["state"] = HealthName(health_);
  root["health"]["message"] = healthMessage_;
  root["health"]["since"] = static_cast<Json::Int64>(healthSince_);
  root["rounds"] = static_cast<Json::UInt64>(rounds_);
  root["last_round"] = lastRoundAt_ ? Json::Value(static_cast<Json::Int64>(lastRoundAt_)) : Json::Value();
  Json::Value& units = root["units"] = Json::Value(Json::arrayValue);
  for (const auto& [key, unit] : units_) {
    Json::Value u;
    u["device_type"] = key.first;
    u["data_id"] = key.second;
    u["round"] = static_cast<Json::Int64>(unit.round);
    u["t"] = static_cast<Json::Int64>(unit.t);
    u["age_s"] = (now - unit.t) / 1000.0;
    u["fresh"] = Fresh(unit.t, now);
    Json::Value& values = u["values"] = Json::Value(Json::arrayValue);
    for (const auto& v : unit.values) {
      Json::Value row;
      row["key"] = v.key;
      if (v.ok) row["value"] = JsonNumber(v.value);
      else row["error"] = v.error;
      values.append(row);
    }
    // The catalogue's reading of the last published image: every field, named.
    Json::Value& readings = u["readings"] = Json::Value(Json::arrayValue);
    for (const auto& r : unit.readings) {
      Json::Value row;
      row["key"] = r.key;
      row["name"] = r.name;
      row["unit"] = r.unit;
      row["value"] = r.field->encoding == catalogue::Encoding::Byte ? Json::Value(static_cast<unsigned>(r.value))
                                                                    : JsonNumber(static_cast<float>(r.value));
      row["precision"] = r.field->precision;
      row["kind"] = KindName(r.field->kind);
      if (r.field->kind == catalogue::Kind::State) row["text"] = catalogue::StateText(r);
      if (r.group) row["group"] = r.group->element, row["number"] = r.number;
      readings.append(row);
    }
    if (unit.publishedAt) u["published_t"] = static_cast<Json::Int64>(unit.publishedAt);
    units.append(u);
  }
  Json::Value& modules = root["rectifier_modules"] = Json::Value(Json::arrayValue);
  for (const auto& [id, n] : modules_) {
    Json::Value m;
    m["data_id"] = id;
    m["modules"] = n;
    modules.append(m);
  }
  Json::Value& alarms = root["alarms"] = Json::Value(Json::arrayValue);
  const auto& list = active_.List();
  for (auto it = list.rbegin(); it != list.rend(); ++it) {  // newest first
    Json::Value j = AlarmObject(it->alarm);
    j["english"] = catalogue::EnglishAlarmName(it->alarm.key, it->alarm.text);
    j["since"] = static_cast<Json::Int64>(it->since);
    alarms.append(j);
  }
  const catalogue::PlantState& p = plant_.State();
  Json::Value& plant = root["plant"] = Json::Value(Json::objectValue);
  const auto since = [](Millis t) { return static_cast<Json::Int64>(t); };
  if (p.mainsPresent) plant["mains"] = *p.mainsPresent ? "present" : "failed", plant["mains_since"] = since(p.mainsSince);
  if (p.onBattery) plant["on_battery"] = *p.onBattery, plant["on_battery_since"] = since(p.batterySince);
  if (p.batteryCurrent) plant["battery_current"] = JsonNumber(static_cast<float>(*p.batteryCurrent));
  if (p.mainsPresent) plant["discharged_ah_estimate"] = std::round(p.dischargedAh * 1000) / 1000;
  if (p.dcVoltage) plant["dc_voltage"] = JsonNumber(static_cast<float>(*p.dcVoltage));
  if (p.loadCurrent) plant["load_current"] = JsonNumber(static_cast<float>(*p.loadCurrent));
  if (p.rectifiers) {
    plant["rectifiers"]["modules"] = *p.rectifiers;
    plant["rectifiers"]["running"] = p.running;
    plant["rectifiers"]["off"] = p.off;
    plant["rectifiers"]["faulty"] = p.faulty;
  }
  Json::Value& levels = plant["active_alarms_by_level"] = Json::Value(Json::objectValue);
  for (const auto& [level, n] : p.alarmsByLevel) levels[std::to_string(level)] = n;
  // The newest chart point; the page asks /api/v1/chart once for the hour before.
  if (!chart_.empty()) root["chart_point"] = ChartPoint(chart_.back());
  return Write(root);
}

std::string StatusModel::ChartJson() const {
  Json::Value chart;
  for (const char* s : {"dc_v", "dc_i", "ac_a", "ac_b", "ac_c"}) chart["series"].append(s);
  chart["points"] = Json::Value(Json::arrayValue);
  for (const auto& p : chart_) chart["points"].append(ChartPoint(p));
  return Write(chart);
}

}  // namespace runner
