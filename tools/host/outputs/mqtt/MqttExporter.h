// Publishes the runner's observations to an MQTT broker: availability, the
// line's health, one state message per unit and round, alarm states and
// edges, and Home Assistant discovery. Broker I/O runs on a thread of its own.
#pragma once
#include <memory>
#include <string>

#include "tools/host/outputs/mqtt/MqttUrl.h"
#include "tools/host/stream/Observation.h"

namespace runner {

struct MqttSettings {
  MqttUrl url;
  std::string ca;        // CA file for TLS; empty: the system's certificates
  std::string prefix;    // topics start with PREFIX/SITE/
  std::string site;
  std::string clientId;
};

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

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// The default site: this machine's name, made fit for a topic level.
std::string DefaultSite();

}  // namespace runner
