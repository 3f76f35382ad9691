// Publishes the runner's observations to an MQTT broker: availability, the
// line's health, one state message per unit and round, alarm states and
// edges, and Home Assistant discovery. Broker I/O runs on a thread of its own.
// Several systems on the line share the one connection, each with a formatter.
#pragma once
#include <map>
#include <memory>
#include <string>

#include "tools/host/outputs/mqtt/MqttSettings.h"
#include "tools/host/stream/Observation.h"

namespace runner {

class MqttClient;
class MqttFormatter;
class MqttQueue;

class MqttExporter : public Observer {
 public:
  // Alarm edges kept while the broker is away; the ones past this are counted and dropped.
  static constexpr std::size_t kEdgeLimit = 1000;

  explicit MqttExporter(MqttSettings settings);  // connects in the background
  ~MqttExporter() override;
  // Formats and queues; never waits for the broker.
  void Observe(const Stamped& o) override;
  // Publishes "offline", lets queued messages go for up to 2 s and disconnects.
  void Finish() override;

 private:
  const MqttSettings settings_;
  std::shared_ptr<MqttQueue> queue_;  // between the loop thread and the broker thread
  // The only system's (observations without a system), made at its first
  // observation but a line's notice; or one per system of several, by index.
  std::unique_ptr<MqttFormatter> only_;
  std::map<unsigned, std::unique_ptr<MqttFormatter>> systems_;
  std::unique_ptr<MqttClient> client_;  // null once finished
};

}  // namespace runner
