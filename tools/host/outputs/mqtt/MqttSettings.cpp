// Topic levels made of names, and the default site.
#include "tools/host/outputs/mqtt/MqttSettings.h"

#include <unistd.h>

#include <cctype>

namespace runner {

std::string TopicLevel(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') c = '_';
  return out;
}

std::string DefaultSite() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || !name[0]) return "site";
  return TopicLevel(name);
}

}  // namespace runner
