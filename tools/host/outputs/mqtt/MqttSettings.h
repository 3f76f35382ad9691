// The MQTT exporter's settings and the topic names they give: the site's base
// topic, its availability topic and its edge topic; topic levels made of them.
#pragma once
#include <string>

#include "tools/host/outputs/mqtt/MqttUrl.h"

namespace runner {

struct MqttSettings {
  MqttUrl url;
  std::string ca;        // CA file for TLS; empty: the system's certificates
  std::string prefix;    // topics start with PREFIX/SITE/
  std::string site;
  std::string clientId;
};

struct MqttTopics {
  explicit MqttTopics(const MqttSettings& s)
      : base(s.prefix + "/" + s.site), status(base + "/status"), edges(base + "/edges") {}
  std::string base;    // PREFIX/SITE
  std::string status;  // "online" / "offline", retained; the will says "offline"
  std::string edges;   // alarm edges, in order, not retained
};

// A topic level or discovery id: letters, digits, '-' and '_' only.
std::string TopicLevel(const std::string& s);

// The default site: this machine's name, made fit for a topic level.
std::string DefaultSite();

}  // namespace runner
