// Formats the MQTT exporter's messages on the loop thread. Discovery configs
// go out once per value key and alarm (again when the model reply names the
// maker), unit states once per round, alarm states and edges as they change.
#include "tools/host/outputs/mqtt/MqttFormatter.h"

#include <fmt/format.h>

#include <cstdint>
#include <memory>
#include <sstream>

#include "tools/host/stream/EventJson.h"

namespace runner {
namespace {

// What a value key measures, for Home Assistant. A key starting with '*'
// matches every key ending with the rest ("*_f": each channel's frequency).
struct ValueKind {
  const char* key;
  const char* deviceClass;  // null: none
  const char* unit;
  bool measurement;
};
constexpr ValueKind kValueKinds[] = {
    {"*_alert", nullptr, nullptr, false},  // a status code
    {"*_f", "frequency", "Hz", true},      {"*_a", "voltage", "V", true},
    {"*_b", "voltage", "V", true},         {"*_c", "voltage", "V", true},
    {"ia", "current", "A", true},          {"ib", "current", "A", true},
    {"ic", "current", "A", true},          {"i", "current", "A", true},
    {"v", "voltage", "V", true},           {"modules", nullptr, nullptr, true},
};

const ValueKind* KindOf(const std::string& key) {
  for (const auto& k : kValueKinds) {
    const std::string match = k.key;
    if (match[0] == '*' ? key.size() >= match.size() && key.compare(key.size() - match.size() + 1, std::string::npos,
                                                                   match, 1, std::string::npos) == 0
                        : key == match)
      return &k;
  }
  return nullptr;
}

// An alarm's topic level: its key and a hash of its text (texts may be in any
// script, so they are not spelled out; FNV-1a keeps the level the same across runs).
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

}  // namespace

MqttFormatter::MqttFormatter(const MqttSettings& settings, MqttQueue& queue)
    : s_(settings), topics_(settings), queue_(queue) {}

void MqttFormatter::Put(const std::string& topic, const Json::Value& payload, int qos, bool wakeUp) {
  queue_.Put(topic, Text(payload), qos, wakeUp);
}

void MqttFormatter::Edge(Json::Value payload) {
  payload["seq"] = static_cast<Json::UInt64>(++edgeSeq_);
  queue_.PutEdge(Text(payload));
}

std::string MqttFormatter::UnitLevel(const UnitId& u) const {
  return TopicLevel(fmt::format("{}-{}", u.deviceType, u.dataId));
}

std::string MqttFormatter::Node(const UnitId& u) const {
  return TopicLevel(fmt::format("{}_{}_{}", s_.prefix, s_.site, UnitLevel(u)));
}

std::string MqttFormatter::AlarmTopic(const AlarmCall& a) const {
  return fmt::format("{}/alarm/{}/{}", topics_.base, UnitLevel({a.dataId, a.deviceType}), AlarmLevel(a));
}

Json::Value MqttFormatter::Device(const UnitId& u) const {
  Json::Value d;
  d["identifiers"].append(Node(u));
  d["name"] = fmt::format("{} {} {}", s_.site, u.deviceType, u.dataId);
  if (!maker_.empty()) d["manufacturer"] = maker_;
  if (!model_.empty()) d["model"] = model_;
  if (!version_.empty()) d["sw_version"] = version_;
  return d;
}

void MqttFormatter::SensorConfig(const UnitId& u, const std::string& key) {
  Json::Value c;
  const std::string node = Node(u);
  c["name"] = key;
  c["unique_id"] = node + "_" + TopicLevel(key);
  c["state_topic"] = fmt::format("{}/unit/{}/state", topics_.base, UnitLevel(u));
  c["value_template"] = fmt::format("{{{{ value_json['values']['{}'] }}}}", key);
  if (const ValueKind* k = KindOf(key)) {
    if (k->deviceClass) c["device_class"] = k->deviceClass;
    if (k->unit) c["unit_of_measurement"] = k->unit;
    if (k->measurement) c["state_class"] = "measurement";
  }
  Availability(c, u);
  // Home Assistant shows the sensor unavailable if no state comes for as long
  // as the plug-in's own values answer after a round.
  c["expire_after"] = 61;
  c["device"] = Device(u);
  Put(fmt::format("homeassistant/sensor/{}/{}/config", node, TopicLevel(key)), c);
}

void MqttFormatter::AlarmConfig(const AlarmCall& a) {
  const UnitId u{a.dataId, a.deviceType};
  const std::string node = Node(u), object = AlarmLevel(a);
  Json::Value c;
  c["name"] = a.name.empty() ? a.key : a.name + (a.text.empty() ? "" : " " + a.text);
  c["unique_id"] = node + "_alarm_" + object;
  c["state_topic"] = AlarmTopic(a);
  c["value_template"] = "{{ 'ON' if value_json.active else 'OFF' }}";
  c["json_attributes_topic"] = AlarmTopic(a);
  c["device_class"] = "problem";
  Availability(c, u);
  c["device"] = Device(u);
  Put(fmt::format("homeassistant/binary_sensor/{}/{}/config", node, object), c);
}

std::string MqttFormatter::AvailabilityTopic(const std::string& unitLevel) const {
  return fmt::format("{}/availability/{}", topics_.base, unitLevel);
}

// Both the gateway's own status and the unit's freshness must say online.
void MqttFormatter::Availability(Json::Value& config, const UnitId& u) const {
  Json::Value gateway, unit;
  gateway["topic"] = topics_.status;
  unit["topic"] = AvailabilityTopic(UnitLevel(u));
  config["availability"].append(gateway);
  config["availability"].append(unit);
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

void MqttFormatter::Values(const ValuesRead& v, Millis t) {
  std::map<std::string, Json::Value> states;  // unit level: state
  const auto state = [&](const UnitId& u) -> Json::Value& {
    const std::string level = UnitLevel(u);
    units_.emplace(level, std::make_pair(u, std::set<std::string>()));
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
    }
    return st;
  };
  const auto value = [&](const UnitId& u, const std::string& key, Json::Value x) {
    state(u)["values"][key] = std::move(x);
    auto& keys = units_[UnitLevel(u)].second;
    if (keys.insert(key).second) SensorConfig(u, key);
  };
  for (const auto& r : v.rows) {
    const UnitId u{r.dataId, r.deviceType};
    value(u, r.key, r.ok ? Number(r.value) : Json::Value());
    if (!r.ok) state(u)["errors"][r.key] = r.error;
  }
  for (const auto& [id, count] : v.rectifierModules) value({id, "qpr2427k-rc"}, "modules", count);
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

void MqttFormatter::Observe(const Stamped& o) {
  ExpireStale(o.t);
  if (const auto* c = std::get_if<CommandSent>(&o.what)) {
    lastCid1_ = c->cid1, lastCid2_ = c->cid2;
  } else if (const auto* r = std::get_if<ReplyAccepted>(&o.what)) {
    // The model reply: 10 bytes of name, the version's 2 bytes, 20 bytes of maker.
    if (lastCid2_ != 0x51 || r->cid1 != lastCid1_ || r->info.size() < 64) return;
    model_ = PaddedText(r->info, 0, 10);
    version_ = fmt::format("{}.{}", std::stoi(r->info.substr(20, 2), nullptr, 16),
                           std::stoi(r->info.substr(22, 2), nullptr, 16));
    maker_ = PaddedText(r->info, 12, 20);
    for (const auto& [level, unit] : units_)  // devices named before the model came
      for (const auto& key : unit.second) SensorConfig(unit.first, key);
    for (const auto& [topic, a] : alarms_) AlarmConfig(a);
  } else if (const auto* e = std::get_if<RoundEnded>(&o.what)) {
    roundT_ = o.t, roundMs_ = e->ms;
  } else if (const auto* v = std::get_if<ValuesRead>(&o.what)) {
    Values(*v, o.t);
  } else if (const auto* a = std::get_if<AlarmCall>(&o.what)) {
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
    for (auto& [level, f] : fresh_) Availability(level, health_ == Health::Online && o.t - f.t < 61 * 1000);
  }
}

}  // namespace runner
