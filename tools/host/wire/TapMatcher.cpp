// Matching the tapped exchanges against the command the plug-in expects, and
// the notices for a master that asks otherwise.
#include "tools/host/wire/TapMatcher.h"

#include <fmt/format.h>

#include "host/PMBusProtocol.h"

namespace wire {

namespace {

std::string Code(unsigned char cid1, unsigned char cid2) { return fmt::format("{:02X}/{:02X}", cid1, cid2); }

constexpr unsigned char kModelUnit = 0x40, kModelQuery = 0x51;

}  // namespace

bool TapMatcher::Expect(const std::string& commandText) {
  expected_.reset();
  matchedCommand_ = 0;
  std::size_t length = commandText.size();
  while (length > 0 && (commandText[length - 1] == '\r' || commandText[length - 1] == '\n')) --length;
  if (length < 2 || commandText[0] != '~') return false;
  yd1363::Decoded d;
  if (!yd1363::Decode(commandText.data() + 1, length - 1, d).empty()) return false;
  expected_ = Command{d.adr, d.cid1, d.cid2, std::move(d.info)};
  return true;
}

bool TapMatcher::ExpectsModel() const {
  return expected_ && expected_->cid1 == kModelUnit && expected_->cid2 == kModelQuery;
}

bool TapMatcher::ExpectingModel(unsigned char& adr) const {
  if (!ExpectsModel()) return false;
  adr = expected_->adr;
  return true;
}

bool TapMatcher::IsModelReply(const Frame& f) {
  return f.header && f.role == Role::Reply && f.Intact() && f.pair == Pair::Paired && f.commandCid2 == kModelQuery &&
         f.cid1 == kModelUnit && f.cid2 == 0x00;
}

std::string TapMatcher::Once(std::string key, std::string text) {
  if (said_.size() >= 64 || !said_.insert(std::move(key)).second) return {};
  return text;
}

TapMatcher::Verdict TapMatcher::Tapped(const Frame& f) {
  Verdict v;
  if (!f.header) return v;
  if (f.role == Role::Reply) {
    if (matchedCommand_ != 0 && f.pair == Pair::Paired && f.pairedWith == matchedCommand_) {
      v.reply = f.text + "\r";
      matchedCommand_ = 0;
      expected_.reset();
      ++matched_;
    }
    return v;
  }
  if (f.role != Role::Command || !f.Intact() || !expected_) return v;
  const Command& e = *expected_;
  const std::string seen = Code(f.cid1, f.cid2), wanted = Code(e.cid1, e.cid2);
  if (f.adr != e.adr) {
    v.notice = Once(fmt::format("adr {}", f.adr),
                    fmt::format("listen: the other master polls address {:02X} too; only address {:02X}'s replies "
                                "reach the plug-in",
                                f.adr, e.adr));
    return v;
  }
  if (f.cid1 == e.cid1 && f.cid2 == e.cid2 && f.info == e.info) {
    matchedCommand_ = f.number;
    return v;
  }
  matchedCommand_ = 0;
  v.modelPassed = ExpectsModel();
  if (!CommandName(f.cid1, f.cid2))
    v.notice = Once("unknown " + seen, fmt::format("listen: the other master asks {}, a command the plug-in does not "
                                                   "send; its frames are decoded, not handed on",
                                                   seen));
  else if (v.modelPassed)
    v.notice = Once("model", fmt::format("listen: the plug-in waits for the model query ({}) that a master asks once, "
                                         "when it starts; the other master asks {} instead",
                                         wanted, seen));
  else if (f.cid1 == e.cid1 && f.cid2 == e.cid2)
    v.notice = Once("info " + seen, fmt::format("listen: the other master asks {} with other INFO than the plug-in; "
                                                "its replies are not handed on",
                                                seen));
  else
    v.notice = Once("order " + wanted + " " + seen,
                    fmt::format("listen: the other master asks {} where the plug-in's cycle asks {}; the plug-in "
                                "waits for the other master's next {}",
                                seen, wanted, wanted));
  return v;
}

}  // namespace wire
