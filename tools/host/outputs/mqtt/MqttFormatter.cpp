// Formats the MQTT exporter's messages on the loop thread. Discovery configs
// go out once per entity the catalogue's readings, the plant and the gateway
// give, and per alarm (again when the model reply names the maker); unit and
// plant states once per round, alarm states and edges as they change.
// A system of several has its own level below the site and its own devices;
// only the connection's status and the gateway device are shared.
#include "tools/host/outputs/mqtt/MqttFormatter.h"

#include <fmt/format.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <sstream>

#include "tools/host/catalogue/AlarmNames.h"
#include "tools/host/stream/EventJson.h"

#ifndef QPR_VERSION
#error "QPR_VERSION must be set by the build"
#endif

namespace runner {
namespace {

// An alarm's topic level: its key and a hash of its text (texts may be in any
// script, so they are not spelled out; FNV-1a keeps the level the same across runs).
// The DC unit's alarm of one battery fuse (state 3), one per fuse.
constexpr const char* kFuseAlarmKey = "DC_3";

std::string AlarmLevel(const AlarmCall& a) {
  std::uint32_t h = 2166136261u;
  for (unsigned char c : a.text) h = (h ^ c) * 16777619u;
  return fmt::format("{}-{:08x}", TopicLevel(a.key), h);
}

std::string Text(const Json::Value& v) {
  static const std::unique_ptr<Json::StreamWriter> writer = [] {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["precision"] = 9;
    b["emitUTF8"] = true;
    return std::unique_ptr<Json::StreamWriter>(b.newStreamWriter());
  }();
  std::ostringstream s;
  writer->write(v, &s);
  return s.str();
}

// Zero- or space-padded text from the hex of a reply's info.
std::string PaddedText(const std::string& hex, std::size_t from, std::size_t bytes) {
  std::string out;
  for (std::size_t k = from; k < from + bytes && 2 * k + 1 < hex.size(); ++k) {
    const char c = static_cast<char>(std::stoi(hex.substr(2 * k, 2), nullptr, 16));
    if (c == '\0') break;
    out += c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

// "2026-12-09T18:20:01.123+00:00": a time Home Assistant's timestamp sensors read.
std::string IsoTime(Millis t) {
  const std::time_t seconds = static_cast<std::time_t>(t / 1000);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}+00:00", utc.tm_year + 1900, utc.tm_mon + 1,
                     utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(t % 1000));
}

Json::Value Optional(const std::optional<double>& v) {
  return v ? Number(static_cast<float>(*v)) : Json::Value();
}
Json::Value Optional(const std::optional<bool>& v) { return v ? Json::Value(*v) : Json::Value(); }

}  // namespace

MqttFormatter::MqttFormatter(const MqttSettings& settings, MqttQueue& queue, const SystemRef* system)
    : s_(settings),
      id_(system ? TopicLevel(system->id) : ""),
      title_(system ? settings.site + " " + system->id : settings.site),
      topics_(settings, id_),
      queue_(queue) {}

void MqttFormatter::Put(const std::string& topic, const Json::Value& payload, int qos, bool wakeUp) {
  queue_.Put(topic, Text(payload), qos, wakeUp);
}

void MqttFormatter::Edge(Json::Value payload) {
  payload["seq"] = static_cast<Json::UInt64>(++edgeSeq_);
  queue_.PutEdge(topics_.edges, Text(payload));
}

std::string MqttFormatter::UnitLevel(const UnitId& u) const {
  return TopicLevel(fmt::format("{}-{}", u.deviceType, u.dataId));
}

std::string MqttFormatter::Node(const std::string& level) const {
  return TopicLevel(fmt::format("{}_{}_{}", s_.prefix, s_.site, id_.empty() ? level : id_ + "_" + level));
}

std::string MqttFormatter::GatewayNode() const { return TopicLevel(fmt::format("{}_{}_gateway", s_.prefix, s_.site)); }

std::string MqttFormatter::AlarmTopic(const AlarmCall& a) const {
  return fmt::format("{}/alarm/{}/{}", topics_.base, UnitLevel({a.dataId, a.deviceType}), AlarmLevel(a));
}

MqttFormatter::DeviceId MqttFormatter::UnitDevice(const UnitId& u) const {
  const std::string level = UnitLevel(u);
  const catalogue::Record* r = catalogue::RecordOfDevice(u.deviceType);
  return {Node(level), fmt::format("{} {} {}", title_, r ? r->title : u.deviceType.c_str(), u.dataId),
          fmt::format("{}/unit/{}/state", topics_.base, level), level};
}

MqttFormatter::DeviceId MqttFormatter::PlantDevice() const {
  return {Node("plant"), title_ + " power system", topics_.base + "/plant/state", "plant"};
}

MqttFormatter::DeviceId MqttFormatter::GatewayDevice() const {
  return {GatewayNode(), s_.site + " gateway", topics_.base + "/plant/state", ""};
}

Json::Value MqttFormatter::Device(const DeviceId& d) const {
  Json::Value v;
  v["identifiers"].append(d.node);
  v["name"] = d.name;
  if (d.availability.empty()) {  // the gateway: this program
    v["model"] = "qpr2427k-host";
    v["sw_version"] = QPR_VERSION;
  } else {
    if (!maker_.empty()) v["manufacturer"] = maker_;
    if (!model_.empty()) v["model"] = model_;
    if (!version_.empty()) v["sw_version"] = version_;
    if (!id_.empty()) v["via_device"] = GatewayNode();  // one of the systems the gateway polls
  }
  if (!s_.pageUrl.empty()) v["configuration_url"] = s_.pageUrl;
  return v;
}

std::string MqttFormatter::UniqueName(const std::string& node, const std::string& object, const std::string& name,
                                      const std::string& otherwise) {
  auto& taken = names_[node];
  for (const std::string& n : {name, name + " (" + otherwise + ")", name + " (" + object + ")"}) {
    const auto [at, fresh] = taken.emplace(n, object);
    if (fresh || at->second == object) return n;
  }
  return name + " (" + object + ")";  // only if the object id itself is taken twice: never
}

void MqttFormatter::Config(const DeviceId& d, const HaEntity& e, const std::string& stateTopic) {
  Json::Value c = e.config;
  c["name"] = UniqueName(d.node, e.object, c["name"].asString(), e.object);
  c["unique_id"] = d.node + "_" + e.object;
  c["state_topic"] = stateTopic;
  if (c.isMember("json_attributes_template")) c["json_attributes_topic"] = stateTopic;
  Availability(c, d.availability);
  // Home Assistant shows a unit's or the plant's entity unavailable if no
  // state comes for as long as the plug-in's own values answer after a round.
  if (!d.availability.empty()) c["expire_after"] = 61;
  c["device"] = Device(d);
  c["origin"]["name"] = "qpr2427k-host";
  c["origin"]["sw_version"] = QPR_VERSION;
  Put(fmt::format("homeassistant/{}/{}/{}/config", e.component, d.node, e.object), c);
}

void MqttFormatter::AlarmConfig(const AlarmCall& a) {
  const DeviceId d = UnitDevice({a.dataId, a.deviceType});
  HaEntity e{"binary_sensor", AlarmLevel(a), Json::Value(Json::objectValue)};
  // A fuse's alarm is shown by the unit's one "Blown fuses" sensor, not by an
  // entity per fuse; a config an older version left for it is taken back.
  if (a.deviceType == "qpr2427k-dc" && a.key == kFuseAlarmKey) {
    if (!id_.empty()) return;  // no older version configured a system of several
    queue_.Put(fmt::format("homeassistant/binary_sensor/{}/{}/config", d.node, e.object), "", 1, false);
    return;
  }
  std::string name = catalogue::EnglishAlarmName(a.key, a.text);
  const catalogue::Record* record = catalogue::RecordOfDevice(a.deviceType);
  if (name.empty()) name = a.name.empty() ? a.key : a.name + (a.text.empty() ? "" : " " + a.text);
  else if (record && IsCatalogueName(*record, name)) name += " alarm";  // beside the reading of that name
  e.config["name"] = UniqueName(d.node, e.object, name, a.text);
  e.config["value_template"] = "{{ 'ON' if value_json.active else 'OFF' }}";
  e.config["device_class"] = "problem";
  Json::Value c = e.config;
  c["unique_id"] = d.node + "_alarm_" + e.object;
  c["state_topic"] = AlarmTopic(a);
  c["json_attributes_topic"] = AlarmTopic(a);  // key, code, level, the plug-in's name and text
  Availability(c, d.availability);
  c["device"] = Device(d);
  c["origin"]["name"] = "qpr2427k-host";
  c["origin"]["sw_version"] = QPR_VERSION;
  Put(fmt::format("homeassistant/binary_sensor/{}/{}/config", d.node, e.object), c);
}

std::string MqttFormatter::AvailabilityTopic(const std::string& unitLevel) const {
  return fmt::format("{}/availability/{}", topics_.base, unitLevel);
}

// The gateway's own status and, but for its own entities, the freshness of
// the unit's (or the plant's) values must all say online.
void MqttFormatter::Availability(Json::Value& config, const std::string& level) const {
  Json::Value gateway;
  gateway["topic"] = topics_.status;
  config["availability"].append(gateway);
  if (!level.empty()) {
    Json::Value unit;
    unit["topic"] = AvailabilityTopic(level);
    config["availability"].append(unit);
  }
  config["availability_mode"] = "all";
  config["payload_available"] = "online";
  config["payload_not_available"] = "offline";
}

void MqttFormatter::Availability(const std::string& unitLevel, bool online) {
  Fresh& f = fresh_[unitLevel];
  if (f.said && f.online == online) return;
  f.online = online;
  f.said = true;
  queue_.Put(AvailabilityTopic(unitLevel), online ? "online" : "offline", 1);
}

void MqttFormatter::ExpireStale(Millis now) {
  for (auto& [level, f] : fresh_)
    if (f.online && now - f.t >= 61 * 1000) Availability(level, false);
}

Json::Value MqttFormatter::AlarmState(const AlarmCall& a, bool active, Millis since, Millis t) const {
  Json::Value v = AlarmObject(a);
  v["active"] = active;
  v["since"] = active ? Json::Value(static_cast<Json::Int64>(since)) : Json::Value();
  v["t"] = static_cast<Json::Int64>(t);
  return v;
}

// A unit's published image: its readings for the next state, and an entity
// for each one not configured yet (a count that grew brings new ones).
void MqttFormatter::Image(const Published& p) {
  const catalogue::Record* record = catalogue::RecordOfType(p.recordType);
  if (!record) return;
  const UnitId id{p.dataId, record->deviceType};
  Unit& unit = units_[UnitLevel(id)];
  unit.id = id;
  unit.readings = Json::Value(Json::objectValue);
  unit.blownFuses = Json::Value();
  const DeviceId d = UnitDevice(id);
  const auto configure = [&](const HaEntity& e) {
    if (unit.entities.emplace(e.object, e).second) Config(d, e, d.stateTopic);
  };
  for (const auto& r : catalogue::Decode(*record, p.image.data(), p.image.size())) {
    unit.readings[r.key] = r.field->encoding == catalogue::Encoding::Byte ? Json::Value(static_cast<int>(r.value))
                                                                          : Number(static_cast<float>(r.value));
    if (IsFuse(r)) {
      if (unit.blownFuses.isNull()) unit.blownFuses = Json::Value(Json::arrayValue), configure(BlownFuses());
      if (r.value != 0) unit.blownFuses.append(r.number);
    } else if (!unit.entities.count(TopicLevel(r.key))) {  // its entity's object id: not built again each round
      if (auto e = ReadingEntity(r)) configure(*e);
    }
  }
}

void MqttFormatter::Values(const ValuesRead& v, Millis t) {
  std::map<std::string, Json::Value> states;  // unit level: state
  const auto state = [&](const UnitId& u) -> Json::Value& {
    const std::string level = UnitLevel(u);
    Unit& unit = units_[level];
    unit.id = u;
    Json::Value& st = states[level];
    if (st.isNull()) {
      st["data_id"] = u.dataId;
      st["device_type"] = u.deviceType;
      st["round"] = static_cast<Json::Int64>(v.round);
      st["t"] = static_cast<Json::Int64>(v.round ? roundT_ : t);
      // How old the oldest reply behind these values is: the round's length
      // plus the time since it ended (values restored from a cache: unknown).
      st["age_ms"] = v.round ? Json::Value(static_cast<Json::Int64>(t - roundT_ + static_cast<Millis>(roundMs_)))
                             : Json::Value();
      st["values"] = Json::Value(Json::objectValue);
      if (v.round) {  // the last published image's readings, by catalogue key
        st["readings"] = unit.readings;
        if (!unit.blownFuses.isNull()) st["blown_fuses"] = unit.blownFuses;
      }
    }
    return st;
  };
  const auto value = [&](const UnitId& u, const std::string& key, Json::Value x) {
    state(u)["values"][key] = std::move(x);
    Unit& unit = units_[UnitLevel(u)];
    // A sensor an earlier version configured per value key: removed, since
    // the catalogue's entities show the same (an empty retained config).
    if (unit.valueKeys.insert(key).second && !unit.entities.count(TopicLevel(key)) && id_.empty())
      queue_.Put(fmt::format("homeassistant/sensor/{}/{}/config", Node(UnitLevel(u)), TopicLevel(key)), "", 1, false);
  };
  for (const auto& r : v.rows) {
    const UnitId u{r.dataId, r.deviceType};
    value(u, r.key, r.ok ? Number(r.value) : Json::Value());
    if (!r.ok) state(u)["errors"][r.key] = r.error;
  }
  for (const auto& [id, count] : v.rectifierModules) value({id, "qpr2427k-rc"}, "modules", count);
  if (v.round)
    for (const auto& [level, unit] : units_)
      if (!unit.readings.empty()) state(unit.id);
  for (auto& [level, st] : states) {
    Put(fmt::format("{}/unit/{}/state", topics_.base, level), st, 0, false);
    if (v.round == 0) {
      Availability(level, false);  // restored from a cache: not current
    } else {
      fresh_[level].t = t;
      Availability(level, health_ == Health::Online);
    }
  }
  queue_.Wake();  // once for the round's states
}

// The plant summed up after each round, with the round's time for the
// gateway's "last round" sensor.
void MqttFormatter::PlantState(long long round, Millis t) {
  const DeviceId d = PlantDevice();
  if (!plantSeen_) {
    plantSeen_ = true;
    for (const auto& e : PlantEntities()) Config(d, e, d.stateTopic);
  }
  const catalogue::PlantState& p = plant_.State();
  Json::Value st;
  st["mains_present"] = Optional(p.mainsPresent);
  st["on_battery"] = Optional(p.onBattery);
  st["battery_current"] = Optional(p.batteryCurrent);
  st["discharged_ah_estimate"] = std::round(p.dischargedAh * 1000) / 1000;
  st["dc_voltage"] = Optional(p.dcVoltage);
  st["load_current"] = Optional(p.loadCurrent);
  st["rectifier_modules"] = p.rectifiers ? Json::Value(*p.rectifiers) : Json::Value();
  st["rectifiers_running"] = p.running;
  st["rectifiers_off"] = p.off;
  st["rectifiers_faulty"] = p.faulty;
  st["round"] = static_cast<Json::Int64>(round);
  st["t"] = static_cast<Json::Int64>(t);
  st["last_round"] = IsoTime(t);
  Put(d.stateTopic, st, 0, false);
  fresh_[d.availability].t = t;
  Availability(d.availability, health_ == Health::Online);
}

void MqttFormatter::Discover() {
  const DeviceId gateway = GatewayDevice();
  for (auto g : GatewayEntities()) {
    if (!id_.empty()) {  // each system's pair on the one gateway: "hall-a communication problem"
      std::string name = g.entity.config["name"].asString();
      name[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(name[0])));
      g.entity.config["name"] = title_.substr(s_.site.size() + 1) + " " + name;
      g.entity.object = TopicLevel(g.entity.object + "_" + id_);
    }
    Config(gateway, g.entity, g.healthTopic ? topics_.base + "/health" : gateway.stateTopic);
  }
  if (plantSeen_) {
    const DeviceId d = PlantDevice();
    for (const auto& e : PlantEntities()) Config(d, e, d.stateTopic);
  }
  for (const auto& [level, unit] : units_) {
    const DeviceId d = UnitDevice(unit.id);
    for (const auto& [object, e] : unit.entities) Config(d, e, d.stateTopic);
  }
  for (const auto& [topic, a] : alarms_) AlarmConfig(a);
}

void MqttFormatter::Observe(const Stamped& o) {
  if (!gatewaySaid_) {
    gatewaySaid_ = true;
    Discover();
  }
  ExpireStale(o.t);
  plant_.Observe(o);
  if (const auto* c = std::get_if<CommandSent>(&o.what)) {
    lastCid1_ = c->cid1, lastCid2_ = c->cid2;
  } else if (const auto* r = std::get_if<ReplyAccepted>(&o.what)) {
    // The model reply: 10 bytes of name, the version's 2 bytes, 20 bytes of maker.
    if (lastCid2_ != 0x51 || r->cid1 != lastCid1_ || r->info.size() < 64) return;
    model_ = PaddedText(r->info, 0, 10);
    version_ = fmt::format("{}.{}", std::stoi(r->info.substr(20, 2), nullptr, 16),
                           std::stoi(r->info.substr(22, 2), nullptr, 16));
    maker_ = PaddedText(r->info, 12, 20);
    Discover();  // devices named before the model came
  } else if (const auto* p = std::get_if<Published>(&o.what)) {
    Image(*p);
  } else if (const auto* e = std::get_if<RoundEnded>(&o.what)) {
    roundT_ = o.t, roundMs_ = e->ms;
    PlantState(e->round, o.t);
  } else if (const auto* v = std::get_if<ValuesRead>(&o.what)) {
    Values(*v, o.t);
  } else if (const auto* a = std::get_if<AlarmCall>(&o.what)) {
    if (alarmsSeen_.count(*a)) return;
    alarmsSeen_.insert({a->dataId, a->deviceType, a->key, a->text});
    const std::string topic = AlarmTopic(*a);
    if (alarms_.count(topic)) return;
    alarms_.emplace(topic, *a);
    AlarmConfig(*a);
    // Its state from the first call; an edge (below) follows if it is active.
    Put(topic, AlarmState(*a, false, 0, o.t));
  } else if (const auto* ch = std::get_if<AlarmChange>(&o.what)) {
    Json::Value st = AlarmState(ch->alarm, ch->raised, ch->since, o.t);
    Put(AlarmTopic(ch->alarm), st);
    st["change"] = ch->raised ? "raised" : "cleared";
    Edge(std::move(st));
  } else if (const auto* h = std::get_if<HealthChanged>(&o.what)) {
    Json::Value v;
    v["state"] = HealthName(h->state);
    v["previous"] = HealthName(h->previous);
    v["message"] = h->message;
    v["t"] = static_cast<Json::Int64>(o.t);
    Put(topics_.base + "/health", v);
    health_ = h->state;
    lastHealthMessage_ = h->message;
    for (auto& [level, f] : fresh_) Availability(level, health_ == Health::Online && o.t - f.t < 61 * 1000);
  }
}

void MqttFormatter::Ended(Millis t) {
  Json::Value v;
  v["state"] = "ended";
  v["previous"] = HealthName(health_);
  v["message"] = "the run ended; last: " + lastHealthMessage_;
  v["t"] = static_cast<Json::Int64>(t);
  Put(topics_.base + "/health", v);
}

}  // namespace runner
