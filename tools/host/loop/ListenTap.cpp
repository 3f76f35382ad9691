// The tap's frames: read, paired, described, and matched against the
// plug-in's command; the model replies among them remembered.
#include "tools/host/loop/ListenTap.h"

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <cmath>
#include <ctime>

#include "tools/host/loop/FrameSeenOf.h"

namespace runner {
namespace {

std::string LocalDateTime(Millis wall) {
  return fmt::format("{:%Y-%m-%d %H:%M:%S}", fmt::localtime(static_cast<std::time_t>(wall / 1000)));
}

}  // namespace

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
  wire::TapMatcher::Verdict v = matcher_.Tapped(f);
  if (v.model) ModelSeen(f, !v.reply.empty());
  // The other master is in its rounds: the model query will not come now.
  // The plug-in's next command may be this very one.
  if (v.modelPassed && HandRemembered()) v = matcher_.Tapped(f);
  if (!v.notice.empty()) Say(v.notice);
  if (!v.reply.empty()) reply_(v.reply, nullptr);
}

bool ListenTap::HandRemembered() {
  unsigned char adr = 0;
  if (!models_ || !matcher_.ExpectingModel(adr)) return false;
  const ModelReply* r = models_->For(adr);
  if (!r) return false;
  const Remembered from{models_->path(), r->seen};
  const std::string reply = r->frame + "\r";
  if (handed_[adr] != r->frame)
    Say(fmt::format("listen: model taken from {}, seen on the line at {}", from.file, LocalDateTime(r->seen)));
  handed_[adr] = r->frame;
  matcher_.Clear();
  reply_(reply, &from);
  return true;
}

// A model reply on the line is the one remembered from now on; one that
// differs from the remembered reply the plug-in was given, and that the
// plug-in does not take now, is said.
void ListenTap::ModelSeen(const wire::Frame& f, bool takenNow) {
  if (!models_) return;
  const Millis seen = std::isnan(f.time) ? WallMillis() : static_cast<Millis>(std::llround(f.time * 1000.0));
  const auto handed = handed_.find(f.adr);
  if (takenNow && handed != handed_.end()) handed_.erase(handed);
  else if (handed != handed_.end() && handed->second != f.text) {
    Say(fmt::format("listen: the model reply on the line at {} differs from the one taken from {}; it is kept "
                    "there from now on, and the plug-in keeps the model it was given until the listener starts again",
                    LocalDateTime(seen), models_->path()));
    handed->second = f.text;  // said once for this reply
  }
  std::string text = models_->Remember(f.adr, ModelReply{f.text, seen});
  if (save_) save_(std::move(text));
}

void ListenTap::Say(std::string text) {
  emit_(Stamped{WallMillis(), Notice{std::move(text), true}});  // said when quiet too
}

std::string ListenTap::Summary() const {
  const auto& s = pairing_.stats();
  return fmt::format("tap: {} frames, {} damaged, {} paired, {} commands without reply, {} replies without command, "
                     "{} collisions, {} garbage bytes; {} replies handed to the plug-in",
                     frames_, damaged_, s.paired, s.noReply, s.noCommand, s.collisions, reader_.GarbageBytes(),
                     matcher_.matched());
}

}  // namespace runner
