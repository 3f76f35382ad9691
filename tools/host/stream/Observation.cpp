// Clock and names shared by the observations and their observers.
#include "tools/host/stream/Observation.h"

#include <fmt/chrono.h>

#include <chrono>
#include <ctime>

namespace runner {

Millis WallMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

std::string LocalClock(Millis wall) {
  return fmt::format("{:%H:%M:%S}", fmt::localtime(static_cast<std::time_t>(wall / 1000)));
}

const char* HealthName(Health h) {
  switch (h) {
    case Health::Starting: return "starting";
    case Health::Online: return "online";
    case Health::NoReply: return "no reply";
    case Health::CommLost: return "comm lost";
    case Health::LineDown: return "line down";
  }
  return "?";
}

}  // namespace runner
