// Several simulated power systems on one RS-485 line: each command frame goes
// to the system at its address, and a frame no system claims meets silence.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "tools/sim/FrameSplitter.h"
#include "tools/sim/Scenario.h"
#include "tools/sim/Simulator.h"

namespace sim {

class Bus {
 public:
  explicit Bus(BusScenario scenario);

  // Feeds received bytes; returns the replies of the systems addressed, in
  // order. With one system this is that system's own Feed, byte for byte.
  std::string Feed(const char* data, std::size_t length, double now);

  const std::vector<Simulator>& systems() const { return systems_; }
  // Frames with an address no system has, or none readable (with several
  // systems, a frame cut before its address cannot be told whose it is).
  std::uint64_t unclaimed() const { return unclaimed_; }

 private:
  void Route(std::string_view frame, double now, std::string& out);

  std::vector<Simulator> systems_;
  FrameSplitter splitter_;
  std::uint64_t unclaimed_ = 0;
};

}  // namespace sim
