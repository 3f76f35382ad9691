// The MQTT exporter's loop-thread side: turns observations into messages
// (Home Assistant discovery configs, unit and plant states, alarm states and
// edges, the line's health) and puts them on the queue to the broker thread.
// One formatter per power system: with several on the line each has its
// topics, devices and unique ids under its id, its devices via the gateway's.
#pragma once
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "host/json.h"
#include "tools/host/catalogue/Plant.h"
#include "tools/host/outputs/mqtt/MqttEntities.h"
#include "tools/host/outputs/mqtt/MqttQueue.h"
#include "tools/host/outputs/mqtt/MqttSettings.h"
#include "tools/host/stream/Observation.h"

namespace runner {

class MqttFormatter {
 public:
  // `system` null: the run's only system, with the site's topics and devices as they always were.
  MqttFormatter(const MqttSettings& settings, MqttQueue& queue, const SystemRef* system = nullptr);
  void Observe(const Stamped& o);
  // The run is over: the health topic says "ended" (retained), so that no
  // reader takes the last state for the present one.
  void Ended(Millis t);

 private:
  struct UnitId {
    unsigned dataId = 0;
    std::string deviceType;
  };
  // A Home Assistant device: its node id, name and where its entities read.
  struct DeviceId {
    std::string node, name, stateTopic, availability;  // availability: "" for the gateway's status only
  };
  struct Unit {
    UnitId id;
    std::set<std::string> valueKeys;         // the plug-in's value keys seen
    std::map<std::string, HaEntity> entities;  // object id: entity, configured
    Json::Value readings = Json::Value(Json::objectValue);  // the last image's, by catalogue key
    Json::Value blownFuses;                  // fuse numbers; null: the unit has no fuses
  };

  void Put(const std::string& topic, const Json::Value& payload, int qos = 1, bool wakeUp = true);
  void Edge(Json::Value payload);
  std::string UnitLevel(const UnitId& u) const;
  std::string Node(const std::string& level) const;
  std::string GatewayNode() const;
  DeviceId UnitDevice(const UnitId& u) const;
  DeviceId PlantDevice() const;
  DeviceId GatewayDevice() const;
  Json::Value Device(const DeviceId& d) const;
  // A name not yet given to another entity of the device: else told apart by `otherwise`.
  std::string UniqueName(const std::string& node, const std::string& object, const std::string& name,
                         const std::string& otherwise);
  void Config(const DeviceId& d, const HaEntity& e, const std::string& stateTopic);
  void AlarmConfig(const AlarmCall& a);
  std::string AlarmTopic(const AlarmCall& a) const;
  Json::Value AlarmState(const AlarmCall& a, bool active, Millis since, Millis t) const;
  void Image(const Published& p);
  void Values(const ValuesRead& v, Millis t);
  void PlantState(long long round, Millis t);
  void Discover();  // every config again (the model reply names the maker)
  // A unit is available while health is online and its values are under
  // 61 s old; its availability topic says so, retained, on each change.
  std::string AvailabilityTopic(const std::string& unitLevel) const;
  void Availability(const std::string& unitLevel, bool online);
  void Availability(Json::Value& config, const std::string& level) const;
  void ExpireStale(Millis now);

  const MqttSettings s_;
  const std::string id_;     // the system's id as a topic level; "" for the only system
  const std::string title_;  // what device names start with: "SITE" or "SITE ID"
  const MqttTopics topics_;
  MqttQueue& queue_;
  unsigned char lastCid1_ = 0, lastCid2_ = 0;
  std::string maker_, model_, version_;
  Millis roundT_ = 0;
  double roundMs_ = 0;
  std::map<std::string, Unit> units_;       // level: unit
  std::map<std::string, AlarmCall> alarms_;  // topic: first call seen
  // The alarms (unit, key, text) already seen: the plug-in evaluates every one
  // each round, and finding it here costs no topic to format.
  struct AlarmSeen {
    unsigned dataId;
    std::string deviceType, key, text;
  };
  struct AlarmOrder {
    using is_transparent = void;
    template <class A, class B>
    bool operator()(const A& a, const B& b) const {
      return std::tie(a.dataId, a.deviceType, a.key, a.text) < std::tie(b.dataId, b.deviceType, b.key, b.text);
    }
  };
  std::set<AlarmSeen, AlarmOrder> alarmsSeen_;
  std::map<std::string, std::map<std::string, std::string>> names_;  // node: name: object id
  catalogue::Plant plant_;
  bool plantSeen_ = false, gatewaySaid_ = false;
  unsigned long long edgeSeq_ = 0;
  Health health_ = Health::Starting;
  std::string lastHealthMessage_;
  struct Fresh {
    Millis t = 0;        // the unit's last values from a round
    bool online = false;  // what its availability topic says
    bool said = false;
  };
  std::map<std::string, Fresh> fresh_;  // unit level (or "plant"): its freshness
};

}  // namespace runner
