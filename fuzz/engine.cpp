// Fuzz target for the protocol engine's receive path: arbitrary bytes, cut into
// chunks chosen by the input, fed to process() while a command awaits a reply.
//
// Input: byte 0 mod 8 = n, then n chunk bytes, then the stream. A chunk byte b
// gives a chunk of (b & 0x7F) + 1 bytes; with the high bit set the exchange
// times out (process_error()) and a new command is sent before that chunk. The
// chunk bytes are used in turn; n = 0 feeds the stream in one chunk.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "host/KLDController.h"
#include "host/PMBusProtocol.h"

namespace {

const unsigned char kGroup = 0xFF;

// Checks every accepted reply against the one frame that encodes it.
class CheckingController : public KLDController {
 public:
  void OnProtocolEvent(KLDVDevice&, const ProtocolEvent& e) override {
    if (e.kind != ProtocolEvent::Kind::Reply) return;
    // An accepted frame is canonical: re-encoding its fields gives its text back.
    const std::string again = yd1363::Encode(static_cast<unsigned char>(Hex(e.frame, 1)),
                                             static_cast<unsigned char>(Hex(e.frame, 3)), e.cid1,
                                             e.rtn, e.info, e.infoLen);
    if (e.rtn != 0 || again.compare(0, again.size() - 1, e.frame) != 0) std::abort();
  }

 private:
  static unsigned Hex(std::string_view s, std::size_t at) {
    return static_cast<unsigned>(std::strtoul(std::string(s.substr(at, 2)).c_str(), nullptr, 16));
  }
};

// Reads every byte the reply layout promises, then re-opens the exchange.
class FuzzDevice : public PMBusProtocol {
 public:
  int payloads = 0;
  unsigned sum = 0;

  int process_payload() override {
    if (!reply_ || RefreshStatus() != 1) std::abort();  // the exchange ends before the payload
    const unsigned lenid = reply_[4] | reply_[5] << 8;
    if (lenid % 2 != 0) std::abort();
    for (unsigned k = 0; k < 6 + lenid / 2; ++k) sum += reply_[k];
    ++payloads;
    write_pmbus_cmd(0x40, 0x41, &kGroup, 1);
    return 1;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t n = data[0] % 8;
  if (size < 1 + n) return 0;
  const std::uint8_t* chunks = data + 1;
  const std::uint8_t* stream = data + 1 + n;
  std::size_t left = size - 1 - n;

  auto controller = std::make_shared<CheckingController>();
  auto device = std::make_shared<FuzzDevice>();
  device->Init(controller, 1, Json::Value());
  device->SetReplyPause(std::chrono::microseconds(0));
  device->write_pmbus_cmd(0x40, 0x41, &kGroup, 1);

  int handled = 0;
  for (std::size_t c = 0; left > 0; ++c) {
    std::size_t take = left;
    if (n > 0) {
      const std::uint8_t b = chunks[c % n];
      take = std::min<std::size_t>(left, (b & 0x7Fu) + 1);
      if (b & 0x80u) {
        device->process_error();
        if (device->RefreshStatus() != 1) std::abort();
        device->write_pmbus_cmd(0x41, 0x41);
      }
    }
    // A heap copy of exactly this chunk, so a read past it is caught.
    std::vector<unsigned char> chunk(stream, stream + take);
    handled += device->process(chunk.data(), static_cast<unsigned>(chunk.size()));
    stream += take;
    left -= take;
  }
  if (handled != device->payloads) std::abort();
  return 0;
}
