// Listen mode's matching: the command the plug-in would send is expected on
// the tapped line; the other master's same command (address, CID1, CID2, INFO)
// and the reply paired with it give the reply the plug-in is handed.
#pragma once
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tools/host/wire/Frame.h"

namespace wire {

class TapMatcher {
 public:
  struct Verdict {
    std::string reply;   // wire text of the reply to hand to the plug-in, with its CR; empty: none
    std::string notice;  // a line for the person watching, said once a kind; empty: none
    bool modelPassed = false;  // the model query is expected and the other master asks its address another command
  };

  // The plug-in's command, as its wire text ('~' to the checksum, CR allowed);
  // false when it cannot be read (nothing is expected then).
  bool Expect(const std::string& commandText);
  // Nothing expected any more (the exchange ended without a reply).
  void Clear() { expected_.reset(); }
  bool expecting() const { return expected_.has_value(); }
  // The model query is expected; `adr` is set to its address.
  bool ExpectingModel(unsigned char& adr) const;

  // One paired frame of the tap, in the order the pairing hands them on.
  Verdict Tapped(const Frame& frame);
  // An intact model reply with RTN 00, paired with its query (whoever asked for it).
  static bool IsModelReply(const Frame& frame);

  std::uint64_t matched() const { return matched_; }

 private:
  struct Command {
    unsigned char adr = 0, cid1 = 0, cid2 = 0;
    std::vector<unsigned char> info;
  };
  std::string Once(std::string key, std::string text);
  bool ExpectsModel() const;

  std::optional<Command> expected_;
  std::uint64_t matchedCommand_ = 0;  // number of the tapped command equal to the expected one
  std::uint64_t matched_ = 0;
  std::set<std::string> said_;
};

}  // namespace wire
