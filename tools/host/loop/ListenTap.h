// Listen mode's side of the poll loop: the tapped line's bytes read into
// frames and paired, each frame an observation, and the reply to the command
// the plug-in expects handed to the plug-in; with several systems on the
// line, each system's device expects its own commands at its own address.
#pragma once
#include <cstddef>
#include <vector>
#include <functional>
#include <string>

#include "tools/host/loop/PcapOutput.h"
#include "tools/host/stream/Observation.h"
#include "tools/host/wire/FrameReader.h"
#include "tools/host/wire/Pairing.h"
#include "tools/host/wire/TapMatcher.h"

namespace runner {

class ListenTap {
 public:
  using Emit = std::function<void(Stamped)>;
  using Reply = std::function<void(const std::string& wireText)>;
  // `replyTimeoutMs`: a command with no reply after this is unanswered;
  // `pcap`: where every frame is written too (null: nowhere).
  ListenTap(unsigned replyTimeoutMs, Emit emit, Reply reply, PcapOutput* pcap = nullptr);

  // The plug-in sent `commandText` (swallowed by the line): expect it on the tap.
  void Expect(const std::string& commandText) { matchers_.front().Expect(commandText); }
  void Clear() { matchers_.front().Clear(); }
  // Several systems, driver k at addresses[k]: a tapped command goes to the
  // matcher of its address and its reply to `reply(k, ...)`.
  using SystemReply = std::function<void(std::size_t system, const std::string& wireText)>;
  void SetSystems(std::vector<unsigned char> addresses, SystemReply reply);
  void Expect(std::size_t system, const std::string& commandText) { matchers_.at(system).Expect(commandText); }
  void Clear(std::size_t system) { matchers_.at(system).Clear(); }
  // Bytes of the tap, seen at `wallSeconds`.
  void Bytes(const unsigned char* data, std::size_t length, double wallSeconds);
  // The line ended: frames still open or held are handed on.
  void Finish();
  // "frames 12, paired 6, ...": the tap's counts for the run's end.
  std::string Summary() const;

 private:
  void Frame(wire::Frame&& f);
  void Said(const std::string& notice);
  std::uint64_t Matched() const;

  Emit emit_;
  Reply reply_;
  SystemReply systemReply_;
  PcapOutput* pcap_;
  std::vector<wire::TapMatcher> matchers_ = std::vector<wire::TapMatcher>(1);
  std::vector<unsigned char> addresses_;  // empty: one system, every command goes to its matcher
  std::vector<unsigned char> strangers_;  // addresses of no system, said once each
  wire::Pairing pairing_;
  wire::FrameReader reader_;
  std::uint64_t frames_ = 0, damaged_ = 0;
};

}  // namespace runner
