// The broker address of --mqtt: mqtt://[USER[:PASSWORD]@]HOST[:PORT] or
// mqtts://..., parsed and checked so that a bad one is refused at start.
#pragma once
#include <optional>
#include <string>

namespace runner {

struct MqttUrl {
  bool tls = false;
  std::string user;
  std::optional<std::string> password;
  std::string host;
  unsigned port = 0;  // 1883, or 8883 with TLS, when the URL names none
};

// Throws UsageError  naming what is wrong.
MqttUrl ParseMqttUrl(const std::string& url);

}  // namespace runner
