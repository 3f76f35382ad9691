// The frame reader: bytes of a line with their times, in any chunks, become
// frames with their faults; bytes outside frames are counted as garbage.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "tools/host/wire/Frame.h"

namespace wire {

class FrameReader {
 public:
  using Sink = std::function<void(Frame&&)>;
  // Sides a capture may keep apart (socat's two directions, jpnevulator's
  // devices); bytes of a higher stream number share the last one.
  static constexpr unsigned kStreams = 8;

  explicit FrameReader(Sink sink);
  // Bytes seen at `time` (seconds since the epoch, NaN when unknown) on one
  // side of the line. A frame takes the time of the chunk its SOI came in.
  void Feed(const unsigned char* data, std::size_t length, double time, Direction direction = Direction::Unknown,
            unsigned stream = 0);
  // The end of the capture: a frame still open is handed on as unterminated.
  void Finish();

  std::uint64_t GarbageBytes() const { return garbage_; }

 private:
  struct Side {
    std::string text;  // from '~', while a frame is open
    bool open = false;
    double time = 0;
    Direction direction = Direction::Unknown;
    std::uint64_t garbage = 0;  // garbage since this side's last frame
    std::uint64_t seen = 0;     // bytes of this side so far
    std::uint64_t start = 0;    // the open frame's SOI among them
  };
  void Close(Side& side, unsigned stream, unsigned faults, bool ended);

  Sink sink_;
  std::array<Side, kStreams> sides_;
  std::uint64_t garbage_ = 0;
  std::uint64_t next_ = 1;
};

// Reads a frame's text in stages: the header (VER, ADR, CID1, CID2, LENGTH),
// LCHKSUM against LENID, LENID against the characters there, CHKSUM, and only
// then INFO. Sets the frame's header fields, info and fault bits.
void CheckFrame(Frame& frame);

}  // namespace wire
