// The tap's frames: read, paired, described, and matched against the
// plug-in's command; the model replies among them remembered.
#include "tools/host/loop/ListenTap.h"

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <algorithm>
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

void ListenTap::SetSystems(std::vector<unsigned char> addresses) {
  matchers_.assign(addresses.size(), wire::TapMatcher{});
  addresses_ = std::move(addresses);
}

void ListenTap::Said(const std::string& notice) {
  if (!notice.empty()) emit_(Stamped{WallMillis(), Notice{notice, true}});  // a problem: said when quiet too
}

// A command goes to the system at its address (with one system, to it); a
// reply to every system, and only the one whose matched command it answers takes it.
void ListenTap::Frame(wire::Frame&& f) {
  ++frames_;
  if (!f.Intact()) ++damaged_;
  emit_(FrameSeenOf(f));
  if (pcap_) pcap_->Write(f);
  const bool command = f.header && f.role == wire::Role::Command;
  bool taken = false;
  for (std::size_t k = 0; k < matchers_.size(); ++k) {
    if (command && !addresses_.empty() && f.adr != addresses_[k]) continue;
    wire::TapMatcher::Verdict v = matchers_[k].Tapped(f);
    // The other master is in its rounds: the model query will not come now.
    // The device's next command may be this very one.
    if (v.modelPassed && HandModel(k, true)) v = matchers_[k].Tapped(f);
    Said(v.notice);
    if (v.reply.empty()) continue;
    taken = true;
    reply_(k, v.reply, nullptr);
  }
  if (wire::TapMatcher::IsModelReply(f)) ModelSeen(f, taken);
  if (command && f.Intact() && !addresses_.empty()) Stranger(f);
}

void ListenTap::Stranger(const wire::Frame& f) {
  if (std::find(addresses_.begin(), addresses_.end(), f.adr) != addresses_.end() ||
      std::find(strangers_.begin(), strangers_.end(), f.adr) != strangers_.end() || strangers_.size() >= 64)
    return;
  strangers_.push_back(f.adr);
  Said(fmt::format("listen: the other master polls address {:02X} too; no system of the settings is there, "
                   "its replies reach no plug-in device",
                   f.adr));
}

std::uint64_t ListenTap::Matched() const {
  std::uint64_t n = 0;
  for (const auto& m : matchers_) n += m.matched();
  return n;
}

bool ListenTap::Unanswered(std::size_t system) {
  if (HandModel(system, false)) return true;
  matchers_.at(system).Clear();
  return false;
}

// The model query is expected and the model file holds a reply for its
// address: that reply is handed to the device.
bool ListenTap::HandModel(std::size_t system, bool masterInRounds) {
  unsigned char adr = 0;
  if (!models_ || !matchers_.at(system).ExpectingModel(adr)) return false;
  const ModelReply* r = models_->For(adr);
  if (!r) return false;
  const Remembered from{models_->path(), r->seen, masterInRounds};
  const std::string reply = r->frame + "\r";
  if (handed_[adr] != r->frame)
    Said(fmt::format("listen: model taken from {}, seen on the line at {}", from.file, LocalDateTime(r->seen)));
  handed_[adr] = r->frame;
  matchers_[system].Clear();
  reply_(system, reply, &from);
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
    Said(fmt::format("listen: the model reply on the line at {} differs from the one taken from {}; it is kept "
                    "there from now on, and the plug-in keeps the model it was given until the listener starts again",
                    LocalDateTime(seen), models_->path()));
    handed->second = f.text;  // said once for this reply
  }
  std::string text = models_->Remember(f.adr, ModelReply{f.text, seen});
  if (save_) save_(std::move(text));
}

std::string ListenTap::Summary() const {
  const auto& s = pairing_.stats();
  return fmt::format("tap: {} frames, {} damaged, {} paired, {} commands without reply, {} replies without command, "
                     "{} collisions, {} garbage bytes; {} replies handed to the plug-in",
                     frames_, damaged_, s.paired, s.noReply, s.noCommand, s.collisions, reader_.GarbageBytes(),
                     Matched());
}

}  // namespace runner
