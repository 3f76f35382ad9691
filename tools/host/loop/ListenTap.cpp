// The tap's frames: read, paired, described, and matched against the
// plug-in's command.
#include "tools/host/loop/ListenTap.h"

#include <fmt/format.h>

#include <cmath>

namespace runner {

TappedFrame Describe(const wire::Frame& f) {
  TappedFrame t;
  t.ok = f.Intact();
  std::string problem = t.ok ? "" : wire::FaultText(f.faults);
  const auto add = [&problem](const std::string& p) { problem += (problem.empty() ? "" : "; ") + p; };
  if (f.header) {
    t.header = true;
    t.addr = f.adr;
    t.cid1 = f.cid1;
    t.len = f.lenid / 2;
    if (f.role == wire::Role::Reply) {
      t.dir = "reply";
      t.rtn = f.cid2;
      t.cid2 = f.commandCid2;
      if (std::isfinite(f.latency)) t.latencyMs = f.latency * 1e3;
    } else {
      t.dir = "command";
      t.cid2 = f.cid2;
    }
  }
  if (f.pair == wire::Pair::NoReply) add("command without reply");
  if (f.pair == wire::Pair::NoCommand) add("reply without command");
  if (f.collision) add("two masters: a command while another awaited its reply");
  if (f.garbageBefore) add(fmt::format("{} garbage bytes before", f.garbageBefore));
  t.problem = std::move(problem);
  return t;
}

ListenTap::ListenTap(unsigned replyTimeoutMs, Emit emit, Reply reply)
    : emit_(std::move(emit)),
      reply_(std::move(reply)),
      pairing_([this](wire::Frame&& f) { Frame(std::move(f)); }, replyTimeoutMs / 1000.0),
      reader_([this](wire::Frame&& f) { pairing_.Add(std::move(f)); }) {}

void ListenTap::Bytes(const unsigned char* data, std::size_t length, double wallSeconds) {
  reader_.Feed(data, length, wallSeconds);
}

void ListenTap::Finish() {
  reader_.Finish();
  pairing_.Finish();
}

void ListenTap::Frame(wire::Frame&& f) {
  ++frames_;
  if (!f.Intact()) ++damaged_;
  const Millis t = std::isfinite(f.time) ? static_cast<Millis>(std::llround(f.time * 1e3)) : WallMillis();
  emit_(Stamped{t, Describe(f)});
  const wire::TapMatcher::Verdict v = matcher_.Tapped(f);
  if (!v.notice.empty()) emit_(Stamped{WallMillis(), Notice{v.notice, true}});  // a problem: said when quiet too
  if (!v.reply.empty()) reply_(v.reply);
}

std::string ListenTap::Summary() const {
  const auto& s = pairing_.stats();
  return fmt::format("tap: {} frames, {} damaged, {} paired, {} commands without reply, {} replies without command, "
                     "{} collisions, {} garbage bytes; {} replies handed to the plug-in",
                     frames_, damaged_, s.paired, s.noReply, s.noCommand, s.collisions, reader_.GarbageBytes(),
                     matcher_.matched());
}

}  // namespace runner
