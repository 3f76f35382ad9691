// Parses the --mqtt broker URL; user and password may be percent-encoded.
#include "tools/host/outputs/mqtt/MqttUrl.h"

#include <fmt/format.h>

#include <cctype>

#include "tools/host/outputs/mqtt/MqttSettings.h"
#include "tools/host/stream/RunError.h"

namespace runner {
namespace {

std::string Decode(const std::string& url, const std::string& part) {
  std::string out;
  for (std::size_t k = 0; k < part.size(); ++k) {
    if (part[k] != '%') {
      out += part[k];
      continue;
    }
    if (k + 2 >= part.size() || !std::isxdigit(static_cast<unsigned char>(part[k + 1])) ||
        !std::isxdigit(static_cast<unsigned char>(part[k + 2])))
      throw UsageError(fmt::format("--mqtt {}: a '%' must be followed by two hex digits", url));
    out += static_cast<char>(std::stoi(part.substr(k + 1, 2), nullptr, 16));
    k += 2;
  }
  return out;
}

}  // namespace

MqttUrl ParseMqttUrl(const std::string& url) {
  const auto bad = [&](const char* why) { return UsageError(fmt::format("--mqtt {}: {}", url, why)); };
  MqttUrl u;
  std::string rest;
  if (url.rfind("mqtt://", 0) == 0) rest = url.substr(7);
  else if (url.rfind("mqtts://", 0) == 0) rest = url.substr(8), u.tls = true;
  else throw bad("needs the form mqtt://[USER[:PASSWORD]@]HOST[:PORT] (or mqtts://)");
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (rest.find_first_of("/?#") != std::string::npos) throw bad("a broker URL has no path or query");
  const auto at = rest.rfind('@');
  if (at != std::string::npos) {
    const std::string login = rest.substr(0, at);
    rest = rest.substr(at + 1);
    const auto colon = login.find(':');
    u.user = Decode(url, login.substr(0, colon));
    if (colon != std::string::npos) u.password = Decode(url, login.substr(colon + 1));
    if (u.user.empty()) throw bad("the user before '@' is empty");
    if (const std::string fault = MqttTextFault(u.user); !fault.empty())
      throw UsageError(fmt::format("--mqtt {}: the user {}", url, fault));
    // A password is bytes to MQTT, but the client library takes it up to its first NUL.
    if (u.password && u.password->find('\0') != std::string::npos) throw bad("the password holds a NUL byte (%00)");
    if (u.password && u.password->size() > kMqttStringMax) throw bad("the password is longer than 65535 bytes");
  }
  std::string port;
  if (!rest.empty() && rest[0] == '[') {  // [IPv6 address]
    const auto close = rest.find(']');
    if (close == std::string::npos) throw bad("an IPv6 address needs its closing ']'");
    u.host = rest.substr(1, close - 1);
    const std::string after = rest.substr(close + 1);
    if (!after.empty() && after[0] != ':') throw bad("only ':PORT' may follow the host");
    if (!after.empty()) port = after.substr(1);
    if (after == ":") throw bad("the port after ':' is empty");
  } else {
    const auto colon = rest.find(':');
    u.host = rest.substr(0, colon);
    if (colon != std::string::npos) {
      port = rest.substr(colon + 1);
      if (port.empty()) throw bad("the port after ':' is empty");
    }
  }
  if (u.host.empty()) throw bad("the host is missing");
  u.port = u.tls ? 8883 : 1883;
  if (!port.empty()) {
    unsigned long v = 0;
    for (char c : port) {
      if (!std::isdigit(static_cast<unsigned char>(c)) || (v = v * 10 + static_cast<unsigned>(c - '0')) > 65535)
        throw bad("the port must be a number from 1 to 65535");
    }
    if (v == 0) throw bad("the port must be a number from 1 to 65535");
    u.port = static_cast<unsigned>(v);
  }
  return u;
}

}  // namespace runner
