// Listen mode's side of the poll loop: the tapped line's bytes read into
// frames and paired, each frame an observation, and the reply to the command
// the plug-in expects handed to the plug-in.
#pragma once
#include <cstddef>
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
  void Expect(const std::string& commandText) { matcher_.Expect(commandText); }
  void Clear() { matcher_.Clear(); }
  // Bytes of the tap, seen at `wallSeconds`.
  void Bytes(const unsigned char* data, std::size_t length, double wallSeconds);
  // The line ended: frames still open or held are handed on.
  void Finish();
  // "frames 12, paired 6, ...": the tap's counts for the run's end.
  std::string Summary() const;

 private:
  void Frame(wire::Frame&& f);

  Emit emit_;
  Reply reply_;
  PcapOutput* pcap_;
  wire::TapMatcher matcher_;
  wire::Pairing pairing_;
  wire::FrameReader reader_;
  std::uint64_t frames_ = 0, damaged_ = 0;
};

}  // namespace runner
