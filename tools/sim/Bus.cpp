// The routing of each whole frame on the line by its address byte to the
// system that owns it.
#include "tools/sim/Bus.h"

namespace sim {
namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

Bus::Bus(BusScenario scenario) {
  systems_.reserve(scenario.systems.size());
  for (Scenario& s : scenario.systems) systems_.emplace_back(std::move(s));
}

std::string Bus::Feed(const char* data, std::size_t length, double now) {
  if (systems_.size() == 1) return systems_.front().Feed(data, length, now);
  std::string out;
  splitter_.Feed(
      data, length, [&](std::string_view frame) { Route(frame, now, out); },
      [&] { ++unclaimed_; });
  return out;
}

void Bus::Route(std::string_view frame, double now, std::string& out) {
  // "~" VER(2) ADR(2): the address is the fourth and fifth character.
  const int hi = frame.size() >= 5 ? HexDigit(frame[3]) : -1, lo = frame.size() >= 5 ? HexDigit(frame[4]) : -1;
  if (hi >= 0 && lo >= 0) {
    const int adr = hi << 4 | lo;
    for (Simulator& s : systems_)
      if (s.scenario().address == adr) {
        out += s.Answer(frame, now);
        return;
      }
  }
  ++unclaimed_;
}

}  // namespace sim
