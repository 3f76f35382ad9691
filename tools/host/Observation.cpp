// Clock and names shared by the observations and their observers.
#include "tools/host/Observation.h"

#include <chrono>

namespace runner {

Millis WallMillis() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
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
