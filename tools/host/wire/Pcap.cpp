// The libpcap format written directly: a 24-byte file header, then per record
// a 16-byte header and the data, all in the machine's byte order (the magic
// number tells readers which).
#include "tools/host/wire/Pcap.h"

#include <cmath>
#include <cstdint>

#include "host/PMBusProtocol.h"

namespace wire {

PcapWriter::PcapWriter(std::FILE* file) : file_(file) {
  const std::uint32_t magic = 0xA1B2C3D4, snaplen = 65535, linktype = kLinkType;
  const std::uint16_t major = 2, minor = 4;
  const std::int32_t zone = 0;
  const std::uint32_t sigfigs = 0;
  Put(&magic, 4);
  Put(&major, 2);
  Put(&minor, 2);
  Put(&zone, 4);
  Put(&sigfigs, 4);
  Put(&snaplen, 4);
  Put(&linktype, 4);
}

void PcapWriter::Put(const void* data, std::size_t length) {
  if (ok_ && std::fwrite(data, 1, length, file_) != length) ok_ = false;
}

void PcapWriter::Write(const Frame& f) {
  record_.assign(1, static_cast<char>(f.direction));
  record_ += f.text;
  if (f.ended) record_ += static_cast<char>(yd1363::kEOI);
  double seconds = std::isfinite(f.time) && f.time > 0 ? f.time : 0;
  auto sec = static_cast<std::uint32_t>(seconds);
  auto usec = static_cast<std::uint32_t>(std::lround((seconds - sec) * 1e6));
  if (usec >= 1000000) ++sec, usec -= 1000000;
  const auto length = static_cast<std::uint32_t>(record_.size());
  const std::uint32_t header[4] = {sec, usec, length, length};
  Put(header, sizeof header);
  Put(record_.data(), record_.size());
}

}  // namespace wire
