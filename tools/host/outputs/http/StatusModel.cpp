// The HTTP endpoint's view of the run: the observation stream kept as state,
// and that state as Prometheus text (the catalogue's metrics and the runner's
// own) and as JSON.
#include "tools/host/outputs/http/StatusModel.h"

#include <fmt/format.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <optional>
#include <regex>
#include <sstream>
#include <string_view>

#include "host/json.h"
#include "tools/host/catalogue/AlarmNames.h"
#include "tools/host/stream/EventJson.h"

namespace runner {
namespace {

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

// [t, then the value of each of kChartSeries]; null where it is missing.
Json::Value ChartPoint(const StatusModel::Point& p) {
  Json::Value row(Json::arrayValue);
  row.append(static_cast<Json::Int64>(p.t));
  for (double v : p.v) row.append(std::isfinite(v) ? JsonNumber(static_cast<float>(v)) : Json::Value());
  return row;
}

void Header(std::string& out, const std::string& name, const char* type, const std::string& help) {
  out += fmt::format("# HELP {} {}\n# TYPE {} {}\n", name, help, name, type);
}

// Catalogue units that are not Prometheus base units: the factor to the base
// unit the metric's name says, and how its HELP names it.
struct BaseUnit {
  const char* unit;
  double factor;
  const char* help;
};
constexpr BaseUnit kBaseUnits[] = {
    {"Ah", 3600, "C, 3600 C = 1 Ah"},
    {"mV/°C", 0.001, "V/°C"},
    {"C", 1, "C rate: the current as a fraction of the capacity in Ah"},
};
const BaseUnit* BaseOf(const catalogue::Field& f) {
  for (const BaseUnit& b : kBaseUnits)
    if (std::string_view(f.unit) == b.unit) return &b;
  return nullptr;
}

// A metric's HELP: the field's name without the element's number and the
// fixed labels' values ("Mains {n} L1 voltage": "Mains voltage"), and its unit.
std::string MetricHelp(const catalogue::Field& f) {
  std::vector<std::string> dropped{"{n}"};
  static const std::regex label(R"re(="([^"]*)")re");
  const std::string labels = f.labels;
  for (std::sregex_iterator it(labels.begin(), labels.end(), label), end; it != end; ++it) dropped.push_back((*it)[1]);
  std::string help;
  std::istringstream words(f.name);
  for (std::string w; words >> w;)
    if (std::find(dropped.begin(), dropped.end(), w) == dropped.end()) help += (help.empty() ? "" : " ") + w;
  const BaseUnit* base = BaseOf(f);
  if (base) help += fmt::format(" ({})", base->help);
  else if (*f.unit) help += fmt::format(" ({})", f.unit);
  if (f.kind == catalogue::Kind::State) {
    // The codes the catalogue has words for: "0 normal, 1 low, ...".
    std::string codes;
    catalogue::Reading r;
    r.field = &f;
    for (unsigned code = 0; code < 4; ++code) {
      r.value = code;
      const std::string text = catalogue::StateText(r);
      if (text.rfind("code ", 0) != 0) codes += fmt::format("{}{} {}", codes.empty() ? "" : ", ", code, text);
    }
    help += codes.empty() ? ", as the unit reports it" : ", as the unit reports it: " + codes;
  }
  return help;  // catalogue text: no backslash or line break to escape
}

}  // namespace

StatusModel::StatusModel(std::string site, const SystemRef* system) : site_(std::move(site)) {
  if (system) system_ = *system;
  siteLabels_ = fmt::format("{}site=\"{}\"", system ? fmt::format("system=\"{}\",", Escape(system->id)) : "", Escape(site_));
}

void StatusModel::Observe(const Stamped& o) {
  metricsFresh_ = statusFresh_ = false;
  if (pendingRound_ && !std::holds_alternative<ValuesRead>(o.what) && !std::holds_alternative<RoundEnded>(o.what))
    CountRound();
  if (!std::holds_alternative<Published>(o.what)) plant_.Observe(o);
  if (const auto* c = std::get_if<CommandSent>(&o.what)) {
    ++commands_;
    lastCid1_ = c->cid1, lastCid2_ = c->cid2;
  } else if (const auto* r = std::get_if<ReplyAccepted>(&o.what)) {
    ++replies_;
    ModelReply(*r);
  } else if (std::holds_alternative<FrameRejected>(o.what)) ++rejected_;
  else if (std::holds_alternative<ReplyMissing>(o.what)) ++timeouts_;
  else if (const auto* r = std::get_if<RoundEnded>(&o.what)) {
    CountRound();
    pendingRound_.emplace(*r, o.t);
  } else if (const auto* v = std::get_if<ValuesRead>(&o.what)) {
    CountRound();
    Values(o, *v);
  } else if (const auto* p = std::get_if<Published>(&o.what)) {
    // A unit's second image before a round's end was seen (one lost on the
    // way): the round before is over, take its images.
    const auto same = [p](const Stamped& s) { return std::get<Published>(s.what).dataId == p->dataId; };
    if (std::any_of(pendingImages_.begin(), pendingImages_.end(), same)) TakeImages();
    pendingImages_.push_back(o);
  } else if (const auto* a = std::get_if<AlarmCall>(&o.what)) {
    // Every alarm the units report has its sample from its first report, 0
    // until it is raised, so that sums over the metric work from the start.
    const AlarmKey key{a->deviceType, a->dataId, a->key, a->text};
    if (alarmSeen_.emplace(key, AlarmState{a->code, a->level, false}).second) alarmsChanged_ = true;
  } else if (const auto* c = std::get_if<AlarmChange>(&o.what)) {
    active_.Apply(*c);
    const auto& a = c->alarm;
    alarmSeen_[{a.deviceType, a.dataId, a.key, a.text}] = {a.code, a.level, c->raised};
    alarmsChanged_ = true;
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
  TakeImages();
}

void StatusModel::TakeImages() {
  for (const Stamped& o : pendingImages_) {
    plant_.Observe(o);
    const auto& p = std::get<Published>(o.what);
    if (const catalogue::Record* record = catalogue::RecordOfType(p.recordType)) {
      Unit& u = units_[{record->deviceType, p.dataId}];
      u.readings = catalogue::Decode(*record, p.image.data(), p.image.size());
      u.publishedAt = o.t;
      readingsChanged_ = true;
    }
  }
  pendingImages_.clear();
}

// The model reply: 10 bytes of name (zero-padded or space-padded), the
// version's 2 bytes, 20 bytes of maker.
void StatusModel::ModelReply(const ReplyAccepted& r) {
  if (lastCid2_ != 0x51 || r.cid1 != lastCid1_ || r.info.size() < 64) return;
  bool ok = false;
  const std::vector<unsigned char> info = FromHex(r.info.substr(0, 20), ok);
  if (!ok) return;
  std::string name(info.begin(), std::find(info.begin(), info.end(), '\0'));
  while (!name.empty() && name.back() == ' ') name.pop_back();
  systemModel_ = name;
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
  // The plant's DC figures, and the mains voltages of the first AC unit that has published.
  const catalogue::PlantState& plant = plant_.State();
  const auto number = [](const std::optional<double>& x) { return x ? *x : NAN; };
  Point p{o.t, {number(plant.dcVoltage), number(plant.batteryCurrent), number(plant.loadCurrent), NAN, NAN, NAN}};
  for (const auto& [key, unit] : units_) {
    if (key.first != "qpr2427k-ac" || unit.readings.empty()) continue;
    for (const auto& r : unit.readings)
      for (int phase = 0; phase < 3; ++phase)
        if (r.key == fmt::format("mains_1_voltage_l{}", phase + 1)) p.v[3 + phase] = r.value;
    break;
  }
  chart_.push_back(p);
  while (!chart_.empty() && chart_.front().t < o.t - kChartSpan) chart_.pop_front();
}

bool StatusModel::Fresh(Millis t, Millis now) const {
  return health_ == Health::Online && t > 0 && now - t < kFreshFor;
}

std::vector<bool> StatusModel::Freshness(Millis now) const {
  std::vector<bool> f;
  for (const auto& [key, unit] : units_) f.push_back(Fresh(unit.Latest(), now));
  f.push_back(Fresh(lastRoundAt_, now));
  return f;
}

std::string StatusModel::Metrics(Millis now) const {
  // Kept until something is observed or a unit's values turn stale.
  std::vector<bool> freshness = Freshness(now);
  if (freshness != metricsFreshness_) readingsChanged_ = true;
  if (!metricsFresh_ || freshness != metricsFreshness_) metricsText_ = RenderMetrics(now);
  metricsFresh_ = true;
  metricsFreshness_ = std::move(freshness);
  return metricsText_;
}

std::string StatusModel::RenderMetrics(Millis now) const {
  std::string out;
  const std::string& site = siteLabels_;
  Header(out, "qpr2427k_info", "gauge",
         "1, labelled with the gateway's version and the power system's model (empty until the system named it)");
  out += fmt::format("qpr2427k_info{{{},version=\"{}\",model=\"{}\"}} 1\n", site, Escape(QPR_VERSION),
                     Escape(systemModel_));
  if (readingsChanged_) {
    readingsText_.clear();
    RenderReadings(readingsText_, now);
    readingsChanged_ = false;
  }
  out += readingsText_;
  if (!units_.empty()) {
    Header(out, "qpr2427k_unit_last_update_timestamp_seconds", "gauge",
           "when the unit last reported its values or its image (Unix time); they are exported for 61 s after, while health is online");
    for (const auto& [key, unit] : units_)
      out += fmt::format("qpr2427k_unit_last_update_timestamp_seconds{{{},device_type=\"{}\",data_id=\"{}\"}} {:.3f}\n",
                         site, Escape(key.first), key.second, unit.Latest() / 1000.0);
  }
  const bool live = Fresh(lastRoundAt_, now);
  if (alarmsChanged_) {
    alarmsText_.clear();
    RenderAlarms(alarmsText_);
    alarmsChanged_ = false;
  }
  out += alarmsText_;
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

void StatusModel::RenderAlarms(std::string& out) const {
  const std::string& site = siteLabels_;
  if (!alarmSeen_.empty()) {
    Header(out, "qpr2427k_alarm_active", "gauge", "1 while the alarm is active, 0 before it was raised and after it cleared");
    for (const auto& [k, s] : alarmSeen_)
      out += fmt::format(
          "qpr2427k_alarm_active{{{},device_type=\"{}\",data_id=\"{}\",key=\"{}\",code=\"{}\",level=\"{}\",text=\"{}\",name=\"{}\"}} {}\n",
          site, Escape(std::get<0>(k)), std::get<1>(k), Escape(std::get<2>(k)), Escape(s.code), s.level,
          Escape(std::get<3>(k)), Escape(catalogue::EnglishAlarmName(std::get<2>(k), std::get<3>(k))), s.active ? 1 : 0);
  }
}

void StatusModel::RenderReadings(std::string& out, Millis now) const {
  // Every reading of every fresh unit, one family per catalogue metric, its
  // samples together as the format wants, families in catalogue order; a
  // stale unit has no samples, so that a dashboard shows a gap, not the last number.
  struct Family {
    const catalogue::Field* field;  // the first field of the family: its HELP
    std::string samples;
  };
  std::vector<Family> families;
  std::map<std::string_view, std::size_t> at;
  const std::string& site = siteLabels_;
  for (const auto& [key, unit] : units_) {
    if (!Fresh(unit.Latest(), now)) continue;
    for (const auto& r : unit.readings) {
      const BaseUnit* base = BaseOf(*r.field);
      const double value = r.value * (base ? base->factor : 1);
      if (!std::isfinite(value)) continue;
      const auto [it, added] = at.emplace(r.field->metric, families.size());
      if (added) families.push_back({r.field, {}});
      families[it->second].samples +=
          fmt::format("{}{{{},data_id=\"{}\"{}{}}} {}\n", r.field->metric, site, key.second, r.labels.empty() ? "" : ",",
                      r.labels, Text(static_cast<float>(value)));
    }
  }
  for (const Family& f : families) {
    Header(out, f.field->metric, "gauge", MetricHelp(*f.field));
    out += f.samples;
  }
}

std::string StatusModel::StatusJson(Millis now) const {
  if (!statusFresh_ || now < statusAt_ || now - statusAt_ >= kStatusReuse) {
    statusText_ = RenderStatus(now);
    statusAt_ = now;
    statusFresh_ = true;
  }
  return statusText_;
}

std::string StatusModel::RenderStatus(Millis now) const { return Write(StatusValue(now)); }

Json::Value StatusModel::StatusValue(Millis now) const {
  Json::Value root(Json::objectValue);
  if (system_) {
    root["id"] = system_->id;
    root["address"] = system_->address;
    root["name"] = system_->name;
  }
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
    u["t"] = static_cast<Json::Int64>(unit.Latest());
    u["age_s"] = (now - unit.Latest()) / 1000.0;
    u["fresh"] = Fresh(unit.Latest(), now);
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
  return root;
}

std::string StatusModel::ChartJson() const { return Write(ChartValue()); }

Json::Value StatusModel::ChartValue() const {
  Json::Value chart;
  if (system_) {
    chart["id"] = system_->id;
    chart["address"] = system_->address;
    chart["name"] = system_->name;
  }
  for (const char* s : kChartSeries) chart["series"].append(s);
  chart["points"] = Json::Value(Json::arrayValue);
  for (const auto& p : chart_) chart["points"].append(ChartPoint(p));
  return chart;
}

}  // namespace runner
