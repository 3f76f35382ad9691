// The host's YD/T 1363.3 command/response engine: frames commands, reassembles
// and checks replies, and hands each accepted reply to process_payload().
//
// Frame: '~' VER ADR CID1 CID2 LENGTH INFO CHKSUM CR, every field after '~' as
// upper-case ASCII hex. LENGTH = LCHKSUM (4 bits) | LENID (12 bits, the count of
// INFO characters); CHKSUM = two's complement of the sum of the characters
// between '~' and CHKSUM, modulo 65536.
//
// Engine settings (keys of the device's settings object):
//   "address"  the ADR byte of commands and of accepted replies, an integer
//              0..255 (default 1, also when a later InitSetting leaves it out)
//
// Receive path: bytes arrive in any chunks; garbage before '~' is dropped; a
// frame longer than kMaxFrameChars is dropped. A frame is rejected (reported to
// the controller, process_payload() not called) when it is not hex, its LENGTH
// or CHKSUM is wrong, its address is not ours, or no command awaits a reply.
// A well-formed reply with a non-zero return code (RTN) is rejected too: the
// exchange ends and the device's next RefreshStatus() repeats the command.
//
// No reply: the host calls process_error() when its time-out runs out; it drops
// any half-received frame and ends the exchange, so the next RefreshStatus()
// repeats the command. The engine itself keeps no timer and never retries on
// its own.
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "host/KLDSPDevice.h"

#pragma GCC visibility push(default)

// Frame codec, usable without a device.
namespace yd1363 {
constexpr unsigned char kSOI = 0x7E;
constexpr unsigned char kEOI = 0x0D;
// LCHKSUM for a LENID (0..4095).
unsigned LengthChecksum(unsigned lenid);
// CHKSUM of the characters between SOI and CHKSUM.
unsigned FrameChecksum(const char* text, std::size_t length);
// The byte written as the two upper-case hex characters at p; false when
// either is not one of 0-9 A-F.
bool ReadHexByte(const char* p, unsigned char& out);
// The most info bytes a frame can carry (LENID is 12 bits of hex characters).
constexpr std::size_t kMaxInfoBytes = 4095 / 2;
// Wire text of a frame from '~' to CR: VER ADR CID1 CID2/RTN with `info` bytes.
// Throws std::length_error when infoLength exceeds kMaxInfoBytes.
std::string Encode(unsigned char ver, unsigned char adr, unsigned char cid1, unsigned char cid2,
                   const unsigned char* info, std::size_t infoLength);

struct Decoded {
  unsigned char ver = 0, adr = 0, cid1 = 0, cid2 = 0;
  std::vector<unsigned char> info;
};
// Decodes the text between '~' and CR (both excluded). Returns an empty string
// on success, else the reason the frame is refused.
std::string Decode(const char* text, std::size_t length, Decoded& out);
}  // namespace yd1363

class PMBusProtocol : public KLDSPDevice {
 public:
  // The longest frame accepted: '~', 12 header chars, 4095 info chars, 4 checksum chars, CR.
  static constexpr std::size_t kMaxFrameChars = 1 + 12 + 4095 + 4 + 1;

  PMBusProtocol();
  ~PMBusProtocol() override;

  bool InitSetting(const Json::Value& settings) override;
  void Reset() override;

  // Frames and sends a command. A command with more than yd1363::kMaxInfoBytes
  // info bytes cannot be framed: it is logged and not sent.
  void write_pmbus_cmd(unsigned char cid1, unsigned char cid2);
  void write_pmbus_cmd(unsigned char cid1, unsigned char cid2, const unsigned char* info,
                       int length);

  // Receive path; returns the number of replies handed to process_payload().
  int process(unsigned char* data, unsigned length) override;
  virtual int process_payload() = 0;
  virtual void process_error();

  // Pause before a reply is handled (20 ms on the line); tests and tools set 0.
  void SetReplyPause(std::chrono::microseconds pause) { replyPause_ = pause; }
  std::chrono::microseconds ReplyPause() const { return replyPause_; }
  unsigned char Address() const { return address_; }

  // Counters of the receive path.
  struct Stats {
    std::uint64_t commands = 0, replies = 0, rejected = 0, timeouts = 0;
  };
  const Stats& GetStats() const { return stats_; }
  // Sleeps for the reply pause; the port device calls it first in process_payload().
  void PauseBeforeReply() const;

  // Decoded reply: [0] VER, [1] ADR, [2] CID1, [3] RTN, [4..5] LENID low byte
  // first, [6..] info bytes. Valid during process_payload().
  unsigned char* reply_ = nullptr;
  int step_ = 0;
  unsigned char version_ = 0x20;

 private:
  // True when the frame was handed to process_payload().
  bool HandleFrame();
  void Reject(const char* reason, std::string_view frame, unsigned char rtn = 0);

  unsigned char address_ = 1;
  std::chrono::microseconds replyPause_{20000};
  std::string rx_;                    // characters of the frame being received, from '~'
  bool inFrame_ = false;
  yd1363::Decoded rxDecoded_;         // reused, so a steady stream of replies does not allocate
  std::vector<unsigned char> replyBuf_;
  std::string txText_;                // reused command buffer
  Stats stats_;
};

#pragma GCC visibility pop
