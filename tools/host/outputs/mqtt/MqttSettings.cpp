// Topic levels made of names, the default site, and what MQTT strings may hold.
#include "tools/host/outputs/mqtt/MqttSettings.h"

#include <fmt/format.h>
#include <mosquitto.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

namespace runner {

std::string TopicLevel(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') c = '_';
  return out;
}

std::string MqttTextFault(const std::string& s, std::size_t maxBytes) {
  if (s.size() > maxBytes) return fmt::format("is {} bytes long, more than the {} it may have", s.size(), maxBytes);
  if (s.find('\0') != std::string::npos) return "holds a NUL byte";
  if (std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }))
    return "holds a control character (a newline, a tab, ...)";
  // The library's own check: well-formed UTF-8, no surrogates, no C1 controls.
  if (mosquitto_validate_utf8(s.data(), static_cast<int>(s.size())) != MOSQ_ERR_SUCCESS)
    return "is not UTF-8 text (or holds a control character)";
  return {};
}

std::string DefaultSite() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || !name[0]) return "site";
  return TopicLevel(name);
}

}  // namespace runner
