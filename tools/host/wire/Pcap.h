// Frames as a libpcap file: link type DLT_USER0 (147), each record a
// direction byte (0 unknown, 1 to the device, 2 from it) and the frame's bytes.
#pragma once
#include <cstdio>
#include <string>

#include "tools/host/wire/Frame.h"

namespace wire {

class PcapWriter {
 public:
  static constexpr unsigned kLinkType = 147;
  // Writes the file header on `file` (owned by the caller).
  explicit PcapWriter(std::FILE* file);
  // One record: the frame's time (0 when unknown), its direction and its
  // bytes from '~', with the CR when the frame had one.
  void Write(const Frame& frame);
  bool ok() const { return ok_; }

 private:
  void Put(const void* data, std::size_t length);
  std::FILE* file_;
  std::string record_;
  bool ok_ = true;
};

}  // namespace wire
