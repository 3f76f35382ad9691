// The tap's frames: read, paired, described, and matched against the
// plug-in's command.
#include "tools/host/loop/ListenTap.h"

#include <fmt/format.h>

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

void ListenTap::Frame(wire::Frame&& f) {
  ++frames_;
  if (!f.Intact()) ++damaged_;
  emit_(FrameSeenOf(f));
  if (pcap_) pcap_->Write(f);
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
