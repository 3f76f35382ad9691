// Which Home Assistant entity each catalogue field becomes, and the plant's
// and the gateway's entities; templates read the states the formatter writes.
#include "tools/host/outputs/mqtt/MqttEntities.h"

#include <fmt/format.h>

#include <cctype>
#include <cstring>

#include "tools/host/outputs/mqtt/MqttSettings.h"

namespace runner {
namespace {

// Rectifier module states shown as on/off entities: on while the byte is
// not 0, or (onWhenZero) while it is 0.
struct Flag {
  const char* fieldKey;     // the catalogue's key pattern
  const char* deviceClass;  // null: none
  bool onWhenZero;
};
constexpr Flag kFlags[] = {
    {"rectifier_{n}_on_off", "running", true},
    {"rectifier_{n}_current_limit", nullptr, false},
    {"rectifier_{n}_fault", "problem", false},
    {"rectifier_{n}_over_voltage_shutdown", "problem", false},
    {"rectifier_{n}_communication_interrupted", "problem", false},
    {"rectifier_{n}_module_fault", "problem", false},
};

bool GroupIs(const catalogue::Reading& r, const char* element) {
  return r.group && std::strcmp(r.group->element, element) == 0;
}

std::string ReadingOf(const std::string& key) { return fmt::format("value_json.readings['{}']", key); }

HaEntity Sensor(const std::string& object, const std::string& name, const std::string& value) {
  HaEntity e{"sensor", object, Json::Value(Json::objectValue)};
  e.config["name"] = name;
  e.config["value_template"] = "{{ " + value + " }}";
  return e;
}

// ON, OFF, or "None" (unknown to Home Assistant) while the member is null.
HaEntity Binary(const std::string& object, const std::string& name, const std::string& member) {
  HaEntity e{"binary_sensor", object, Json::Value(Json::objectValue)};
  e.config["name"] = name;
  e.config["value_template"] =
      fmt::format("{{{{ 'None' if value_json.{0} is none else ('ON' if value_json.{0} else 'OFF') }}}}", member);
  return e;
}

void Measured(Json::Value& c, const char* unit, const char* deviceClass, int precision) {
  if (unit && *unit) c["unit_of_measurement"] = unit;
  if (deviceClass && *deviceClass) c["device_class"] = deviceClass;
  c["state_class"] = "measurement";
  c["suggested_display_precision"] = precision;
}

}  // namespace

bool IsFuse(const catalogue::Reading& r) { return GroupIs(r, "fuse"); }

std::optional<HaEntity> ReadingEntity(const catalogue::Reading& r) {
  if (IsFuse(r) || GroupIs(r, "status_byte")) return std::nullopt;
  const std::string object = TopicLevel(r.key);
  for (const Flag& f : kFlags) {
    if (std::strcmp(f.fieldKey, r.field->key) != 0) continue;
    HaEntity e{"binary_sensor", object, Json::Value(Json::objectValue)};
    e.config["name"] = r.name;
    e.config["value_template"] =
        fmt::format("{{{{ 'ON' if {} {} 0 else 'OFF' }}}}", ReadingOf(r.key), f.onWhenZero ? "==" : "!=");
    if (f.deviceClass) e.config["device_class"] = f.deviceClass;
    return e;
  }
  HaEntity e = Sensor(object, r.name, ReadingOf(r.key));
  Json::Value& c = e.config;
  switch (r.field->kind) {
    case catalogue::Kind::Measurement:
      Measured(c, r.unit.c_str(), r.deviceClass.c_str(), r.field->precision);
      break;
    case catalogue::Kind::Setting:  // a limit the controller holds: looked at when something is wrong
      if (!r.unit.empty()) c["unit_of_measurement"] = r.unit;
      if (!r.deviceClass.empty()) c["device_class"] = r.deviceClass;
      c["suggested_display_precision"] = r.field->precision;
      c["entity_category"] = "diagnostic";
      break;
    case catalogue::Kind::State:  // a status code or switch byte, as received
      c["entity_category"] = "diagnostic";
      break;
  }
  return e;
}

HaEntity BlownFuses() {
  HaEntity e = Sensor("blown_fuses", "Blown fuses", "value_json.blown_fuses | count");
  e.config["state_class"] = "measurement";
  e.config["suggested_display_precision"] = 0;
  e.config["json_attributes_template"] = "{{ {'blown': value_json.blown_fuses} | tojson }}";
  return e;
}

std::vector<HaEntity> PlantEntities() {
  std::vector<HaEntity> out;
  out.push_back(Binary("mains_present", "Mains present", "mains_present"));
  out.back().config["device_class"] = "power";
  out.push_back(Binary("on_battery", "On battery", "on_battery"));
  out.push_back(Sensor("battery_current", "Battery current", "value_json.battery_current"));
  Measured(out.back().config, "A", "current", 1);
  out.push_back(Sensor("discharged_ah", "Discharged since the mains failed (estimate)",
                       "value_json.discharged_ah_estimate"));
  Measured(out.back().config, "Ah", nullptr, 2);
  out.push_back(Sensor("rectifiers_running", "Rectifiers running", "value_json.rectifiers_running"));
  Measured(out.back().config, nullptr, nullptr, 0);
  out.push_back(Sensor("rectifiers_faulty", "Rectifiers faulty", "value_json.rectifiers_faulty"));
  Measured(out.back().config, nullptr, nullptr, 0);
  return out;
}

std::vector<GatewayEntity> GatewayEntities() {
  HaEntity problem{"binary_sensor", "problem", Json::Value(Json::objectValue)};
  problem.config["name"] = "Communication problem";
  problem.config["device_class"] = "problem";
  // A run that ended normally is no communication problem (its entities are unavailable then).
  problem.config["value_template"] = "{{ 'OFF' if value_json.state in ('online', 'ended') else 'ON' }}";
  problem.config["json_attributes_template"] =
      "{{ {'state': value_json.state, 'message': value_json.message} | tojson }}";
  HaEntity last = Sensor("last_round", "Last round", "value_json.last_round");
  last.config["device_class"] = "timestamp";
  std::vector<GatewayEntity> out{{std::move(problem), true}, {std::move(last), false}};
  for (auto& g : out) g.entity.config["entity_category"] = "diagnostic";
  return out;
}

bool IsCatalogueName(const catalogue::Record& record, const std::string& name) {
  const auto matches = [&](const char* pattern) {
    const std::string p = pattern;
    const auto at = p.find("{n}");
    if (at == std::string::npos) return p == name;
    const std::string before = p.substr(0, at), after = p.substr(at + 3);
    if (name.size() <= before.size() + after.size() || name.compare(0, before.size(), before) != 0 ||
        name.compare(name.size() - after.size(), after.size(), after) != 0)
      return false;
    for (std::size_t k = before.size(); k < name.size() - after.size(); ++k)
      if (!std::isdigit(static_cast<unsigned char>(name[k]))) return false;
    return true;
  };
  for (std::size_t k = 0; k < record.fieldCount; ++k)
    if (matches(record.fields[k].name)) return true;
  for (std::size_t g = 0; g < record.groupCount; ++g)
    for (std::size_t k = 0; k < record.groups[g].fieldCount; ++k)
      if (matches(record.groups[g].fields[k].name)) return true;
  return false;
}

}  // namespace runner
