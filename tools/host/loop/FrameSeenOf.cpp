// Reads what the pairing step and the reply layouts say of a frame into a
// FrameSeen: the problem member joins every fault, the pairing's complaint
// and what the values could not say.
#include "tools/host/loop/FrameSeenOf.h"

#include <fmt/format.h>

#include <cmath>

#include "tools/host/wire/FrameText.h"

namespace runner {

Stamped FrameSeenOf(const wire::Frame& f) {
  const wire::Meaning m = wire::MeaningOf(f);
  FrameSeen s;
  // A tapped line has one stream: a frame's side is then its role, known once its header is read.
  s.command = f.direction == wire::Direction::ToDevice ||
              (f.direction == wire::Direction::Unknown && f.role == wire::Role::Command);
  s.sideKnown = f.direction != wire::Direction::Unknown || f.role != wire::Role::Unknown;
  s.header = f.header;
  s.ok = f.Intact();
  if (f.header) {
    const bool reply = f.role == wire::Role::Reply;
    s.adr = f.adr;
    s.cid1 = f.cid1;
    s.cid2 = reply ? f.commandCid2 : f.cid2;
    if (reply) s.rtn = f.cid2;
    s.len = f.lenid / 2;
    s.name = wire::CommandText(f);
  }
  if (f.role == wire::Role::Reply && std::isfinite(f.latency)) s.latencyMs = f.latency * 1e3;
  const auto add = [&s](const std::string& p) {
    if (!p.empty()) s.problem += (s.problem.empty() ? "" : "; ") + p;
  };
  if (!s.ok) add(wire::FaultText(f.faults));
  if (f.pair == wire::Pair::NoReply || f.pair == wire::Pair::NoCommand || f.collision) add(wire::PairText(f));
  if (f.garbageBefore) add(fmt::format("{} garbage bytes before", f.garbageBefore));
  add(m.problem);
  s.summary = m.summary;
  s.frame = f.text;
  s.line = wire::FrameLine(f, m);
  const Millis t = std::isfinite(f.time) ? static_cast<Millis>(std::llround(f.time * 1e3)) : WallMillis();
  return Stamped{t, std::move(s)};
}

}  // namespace runner
