// A capture file read as chunks of line bytes with their time and side:
// raw bytes, socat -x -v or jpnevulator --ascii --timing-print dumps, or the
// runner's events file; the kind is told by the first line.
#pragma once
#include <cstdio>
#include <map>
#include <stdexcept>
#include <string>

#include "tools/host/wire/Frame.h"

namespace wire {

enum class CaptureFormat { Raw, Socat, Jpnevulator, Events };
const char* FormatName(CaptureFormat format);

// A capture that cannot be read: what() is one line, "FILE:LINE: why".
class CaptureError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct Chunk {
  std::string bytes;
  double time;          // seconds since the epoch, NaN when the capture has none
  Direction direction;
  unsigned stream;      // the side: socat's '>' 0 and '<' 1, jpnevulator's devices in order
};

class CaptureSource {
 public:
  // Reads `file` (owned by the caller) from its start; `name` names it in errors.
  CaptureSource(std::FILE* file, std::string name);
  CaptureFormat format() const { return format_; }
  // The next chunk; false at the end. Throws CaptureError.
  bool Next(Chunk& chunk);

  // The longest line of a text capture, and the size of a raw chunk.
  static constexpr std::size_t kMaxLine = 64 * 1024, kBlock = 64 * 1024;

 private:
  bool Fill();
  bool Line(std::string& line);
  [[noreturn]] void Fail(const std::string& why) const;
  bool NextDump(Chunk& chunk);
  bool NextEvent(Chunk& chunk);

  std::FILE* file_;
  std::string name_;
  std::string buffer_;
  std::size_t at_ = 0;
  bool eof_ = false;
  long long lineNumber_ = 0;
  CaptureFormat format_ = CaptureFormat::Raw;
  // The dump's current header: time and side of the hex lines under it.
  double time_ = 0;
  Direction direction_ = Direction::Unknown;
  unsigned stream_ = 0;
  bool inBlock_ = false;
  std::map<std::string, unsigned> devices_;  // jpnevulator's device names
};

}  // namespace wire
