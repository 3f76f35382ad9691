// The tap's frames: read, paired, described, and matched against the
// plug-in's command.
#include "tools/host/loop/ListenTap.h"

#include <fmt/format.h>

#include <algorithm>

#include "tools/host/loop/FrameSeenOf.h"

namespace runner {

ListenTap::ListenTap(unsigned replyTimeoutMs, Emit emit, Reply reply, PcapOutput* pcap)
    : emit_(std::move(emit)),
      reply_(std::move(reply)),
      pcap_(pcap),
      pairing_([this](wire::Frame&& f) { Frame(std::move(f)); }, replyTimeoutMs / 1000.0),
      reader_([this](wire::Frame&& f) { pairing_.Add(std::move(f)); }) {}

void ListenTap::Bytes(const unsigned char* data, std::size_t length, double wallSeconds) {
  reader_.Feed(data, length, wallSeconds);
}

void ListenTap::Finish() {
  reader_.Finish();
  pairing_.Finish();
}

void ListenTap::SetSystems(std::vector<unsigned char> addresses, SystemReply reply) {
  matchers_.assign(addresses.size(), wire::TapMatcher{});
  addresses_ = std::move(addresses);
  systemReply_ = std::move(reply);
}

void ListenTap::Said(const std::string& notice) {
  if (!notice.empty()) emit_(Stamped{WallMillis(), Notice{notice, true}});  // a problem: said when quiet too
}

void ListenTap::Frame(wire::Frame&& f) {
  ++frames_;
  if (!f.Intact()) ++damaged_;
  emit_(FrameSeenOf(f));
  if (pcap_) pcap_->Write(f);
  if (addresses_.empty()) {
    const wire::TapMatcher::Verdict v = matchers_.front().Tapped(f);
    Said(v.notice);
    if (!v.reply.empty()) reply_(v.reply);
    return;
  }
  // A command goes to the system at its address; a reply to every system,
  // and only the one whose matched command it answers takes it.
  for (std::size_t k = 0; k < matchers_.size(); ++k) {
    if (f.header && f.role == wire::Role::Command && f.adr != addresses_[k]) continue;
    const wire::TapMatcher::Verdict v = matchers_[k].Tapped(f);
    Said(v.notice);
    if (!v.reply.empty()) systemReply_(k, v.reply);
  }
  if (f.header && f.role == wire::Role::Command && f.Intact() &&
      std::find(addresses_.begin(), addresses_.end(), f.adr) == addresses_.end() &&
      std::find(strangers_.begin(), strangers_.end(), f.adr) == strangers_.end() && strangers_.size() < 64) {
    strangers_.push_back(f.adr);
    Said(fmt::format("listen: the other master polls address {:02X} too; no system of the settings is there, "
                     "its replies reach no plug-in device",
                     f.adr));
  }
}

std::uint64_t ListenTap::Matched() const {
  std::uint64_t n = 0;
  for (const auto& m : matchers_) n += m.matched();
  return n;
}

std::string ListenTap::Summary() const {
  const auto& s = pairing_.stats();
  return fmt::format("tap: {} frames, {} damaged, {} paired, {} commands without reply, {} replies without command, "
                     "{} collisions, {} garbage bytes; {} replies handed to the plug-in",
                     frames_, damaged_, s.paired, s.noReply, s.noCommand, s.collisions, reader_.GarbageBytes(),
                     Matched());
}

}  // namespace runner
