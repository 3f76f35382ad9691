// Frame assembly per side of the line and the staged check of each frame,
// on the host engine's checksums.
#include "tools/host/wire/FrameReader.h"

#include "host/PMBusProtocol.h"

namespace wire {
namespace {

// Hex bytes of a frame's text, read forwards from one place, never past the
// end it was given.
class HexCursor {
 public:
  HexCursor(const char* text, std::size_t length) : at_(text), left_(length) {}
  bool Byte(unsigned char& out) {
    if (left_ < 2 || !yd1363::ReadHexByte(at_, out)) return false;
    at_ += 2;
    left_ -= 2;
    return true;
  }

 private:
  const char* at_;
  std::size_t left_;
};

constexpr std::size_t kHeaderChars = 12, kChecksumChars = 4;

}  // namespace

void CheckFrame(Frame& f) {
  // Markers were read by the reader: the text starts at '~', the EOI is not in it.
  const char* body = f.text.data() + 1;
  const std::size_t length = f.text.size() - 1;
  HexCursor header(body, length);
  unsigned char lenHi = 0, lenLo = 0;
  if (length < kHeaderChars + kChecksumChars) {
    f.faults |= kTooShort;
    if (length < kHeaderChars) return;
  }
  if (!header.Byte(f.ver) || !header.Byte(f.adr) || !header.Byte(f.cid1) || !header.Byte(f.cid2) ||
      !header.Byte(lenHi) || !header.Byte(lenLo)) {
    f.faults |= kNotHex;
    return;
  }
  f.header = true;
  f.lenid = (lenHi & 0x0Fu) << 8 | lenLo;
  if ((lenHi >> 4) != yd1363::LengthChecksum(f.lenid)) f.faults |= kBadLengthChecksum;
  if (f.faults & kTooShort) return;
  if (f.lenid % 2 != 0 || kHeaderChars + f.lenid + kChecksumChars != length) {
    f.faults |= kLengthMismatch;
    return;
  }
  HexCursor trailer(body + length - kChecksumChars, kChecksumChars);
  unsigned char c1 = 0, c2 = 0;
  if (!trailer.Byte(c1) || !trailer.Byte(c2)) {
    f.faults |= kNotHex;
    return;
  }
  if ((static_cast<unsigned>(c1) << 8 | c2) != yd1363::FrameChecksum(body, length - kChecksumChars))
    f.faults |= kBadChecksum;
  if (f.faults) return;
  HexCursor info(body + kHeaderChars, f.lenid);
  f.info.resize(f.lenid / 2);
  for (auto& b : f.info)
    if (!info.Byte(b)) {
      f.faults |= kNotHex;
      f.info.clear();
      return;
    }
}

FrameReader::FrameReader(Sink sink) : sink_(std::move(sink)) {}

void FrameReader::Close(Side& side, unsigned stream, unsigned faults, bool ended) {
  Frame f;
  f.number = next_++;
  f.time = side.time;
  f.direction = side.direction;
  f.stream = stream;
  f.offset = side.start;
  f.text.swap(side.text);
  f.ended = ended;
  f.garbageBefore = side.garbage;
  f.faults = faults;
  side.open = false;
  side.garbage = 0;
  CheckFrame(f);
  sink_(std::move(f));
  side.text.reserve(PMBusProtocol::kMaxFrameChars);
}

void FrameReader::Feed(const unsigned char* data, std::size_t length, double time, Direction direction,
                       unsigned stream) {
  if (stream >= kStreams) stream = kStreams - 1;
  Side& side = sides_[stream];
  for (std::size_t k = 0; k < length; ++k, ++side.seen) {
    const unsigned char ch = data[k];
    if (ch == yd1363::kSOI) {
      if (side.open) Close(side, stream, kCutShort, false);
      side.open = true;
      side.start = side.seen;
      side.time = time;
      side.direction = direction;
      side.text.assign(1, static_cast<char>(ch));
    } else if (!side.open) {
      ++side.garbage;
      ++garbage_;
    } else if (ch == yd1363::kEOI) {
      Close(side, stream, 0, true);
    } else if (side.text.size() + 1 >= PMBusProtocol::kMaxFrameChars) {
      Close(side, stream, kTooLong, false);
      ++side.garbage;  // what follows is garbage until the next SOI
      ++garbage_;
    } else {
      side.text += static_cast<char>(ch);
    }
  }
}

void FrameReader::Finish() {
  for (unsigned s = 0; s < kStreams; ++s)
    if (sides_[s].open) Close(sides_[s], s, kUnterminated, false);
}

}  // namespace wire
