// The MQTT exporter's loop-thread side: turns observations into messages
// (Home Assistant discovery configs, unit states, alarm states and edges,
// the line's health) and puts them on the queue to the broker thread.
#pragma once
#include <map>
#include <set>
#include <string>
#include <utility>

#include "host/json.h"
#include "tools/host/outputs/mqtt/MqttQueue.h"
#include "tools/host/outputs/mqtt/MqttSettings.h"
#include "tools/host/stream/Observation.h"

namespace runner {

class MqttFormatter {
 public:
  MqttFormatter(const MqttSettings& settings, MqttQueue& queue);
  void Observe(const Stamped& o);

 private:
  struct UnitId {
    unsigned dataId = 0;
    std::string deviceType;
  };

  void Put(const std::string& topic, const Json::Value& payload, int qos = 1, bool wakeUp = true);
  void Edge(Json::Value payload);
  std::string UnitLevel(const UnitId& u) const;
  std::string Node(const UnitId& u) const;
  Json::Value Device(const UnitId& u) const;
  void SensorConfig(const UnitId& u, const std::string& key);
  void AlarmConfig(const AlarmCall& a);
  std::string AlarmTopic(const AlarmCall& a) const;
  Json::Value AlarmState(const AlarmCall& a, bool active, Millis since, Millis t) const;
  void Values(const ValuesRead& v, Millis t);
  // A unit is available while health is online and its values are under
  // 61 s old; its availability topic says so, retained, on each change.
  std::string AvailabilityTopic(const std::string& unitLevel) const;
  void Availability(const std::string& unitLevel, bool online);
  void Availability(Json::Value& config, const UnitId& u) const;
  void ExpireStale(Millis now);

  const MqttSettings s_;
  const MqttTopics topics_;
  MqttQueue& queue_;
  unsigned char lastCid1_ = 0, lastCid2_ = 0;
  std::string maker_, model_, version_;
  Millis roundT_ = 0;
  double roundMs_ = 0;
  std::map<std::string, std::pair<UnitId, std::set<std::string>>> units_;  // level: unit, keys configured
  std::map<std::string, AlarmCall> alarms_;                                  // topic: first call seen
  unsigned long long edgeSeq_ = 0;
  Health health_ = Health::Starting;
  struct Fresh {
    Millis t = 0;        // the unit's last values from a round
    bool online = false;  // what its availability topic says
    bool said = false;
  };
  std::map<std::string, Fresh> fresh_;  // unit level: its freshness
};

}  // namespace runner
