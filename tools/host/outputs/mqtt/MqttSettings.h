// The MQTT exporter's settings and the topic names they give: the site's (or
// a system's) base topic, the connection's availability topic, the edge topic; topic levels made of them;
// what MQTT accepts as the text of a topic, client id or user name.
#pragma once
#include <cstddef>
#include <string>

#include "tools/host/outputs/mqtt/MqttUrl.h"

namespace runner {

struct MqttSettings {
  MqttUrl url;
  std::string ca;        // CA file for TLS; empty: the system's certificates
  std::string prefix;    // topics start with PREFIX/SITE/
  std::string site;
  std::string clientId;
  std::string pageUrl;   // the HTTP endpoint's page, for Home Assistant's devices; empty: none
};

// With several systems on the line each system's topics are a level below
// the site's (PREFIX/SITE/ID); the connection's status stays the site's.
struct MqttTopics {
  explicit MqttTopics(const MqttSettings& s, const std::string& systemLevel = "")
      : base(s.prefix + "/" + s.site + (systemLevel.empty() ? "" : "/" + systemLevel)),
        status(s.prefix + "/" + s.site + "/status"),
        edges(base + "/edges") {}
  std::string base;    // PREFIX/SITE, or PREFIX/SITE/ID for one of several systems
  std::string status;  // "online" / "offline", retained; the will says "offline"
  std::string edges;   // alarm edges, in order, not retained
};

// A topic level or discovery id: letters, digits, '-' and '_' only.
std::string TopicLevel(const std::string& s);

// MQTT strings are UTF-8 without NUL or control characters, 65535 bytes at most.
constexpr std::size_t kMqttStringMax = 65535;
// Why s cannot be such a string of at most maxBytes bytes ("holds a NUL byte"); empty if it can.
std::string MqttTextFault(const std::string& s, std::size_t maxBytes = kMqttStringMax);

// The default site: this machine's name, made fit for a topic level.
std::string DefaultSite();

}  // namespace runner
