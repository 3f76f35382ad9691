// The line's framing (from '~' to CR) and the routing of each frame by its
// address byte to the system that owns it.
#include "tools/sim/Bus.h"

#include "host/PMBusProtocol.h"

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
  rx_.reserve(PMBusProtocol::kMaxFrameChars);
}

std::string Bus::Feed(const char* data, std::size_t length, double now) {
  if (systems_.size() == 1) return systems_.front().Feed(data, length, now);
  std::string out;
  for (std::size_t k = 0; k < length; ++k) {
    const char ch = data[k];
    if (ch == '~') {
      rx_.assign(1, ch);
      inFrame_ = true;
    } else if (!inFrame_) {
      continue;  // noise between frames
    } else if (ch == '\r') {
      inFrame_ = false;
      Route(now, out);
    } else if (rx_.size() >= PMBusProtocol::kMaxFrameChars) {
      inFrame_ = false;  // far too long for a command: nobody answers it
      ++unclaimed_;
    } else {
      rx_ += ch;
    }
  }
  return out;
}

void Bus::Route(double now, std::string& out) {
  // "~" VER(2) ADR(2): the address is the fourth and fifth character.
  const int hi = rx_.size() >= 5 ? HexDigit(rx_[3]) : -1, lo = rx_.size() >= 5 ? HexDigit(rx_[4]) : -1;
  if (hi >= 0 && lo >= 0) {
    const int adr = hi << 4 | lo;
    for (Simulator& s : systems_)
      if (s.scenario().address == adr) {
        out += s.Answer(rx_, now);
        return;
      }
  }
  ++unclaimed_;
}

}  // namespace sim
