// One frame of a captured line as the reader found it: when and on which side
// it was seen, its header when readable, what is wrong with it, and what the
// pairing step learnt of it; the names of commands and return codes.
#pragma once
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace wire {

// Which way a frame went, when the capture says so.
enum class Direction : unsigned char { Unknown = 0, ToDevice = 1, FromDevice = 2 };
enum class Role : unsigned char { Unknown, Command, Reply };

// What is wrong with a frame, one bit each.
enum Fault : unsigned {
  kCutShort = 1u << 0,           // a new SOI came before the EOI
  kTooLong = 1u << 1,            // no EOI within the longest frame
  kUnterminated = 1u << 2,       // the capture ended inside the frame
  kTooShort = 1u << 3,           // fewer characters than a header and a checksum
  kNotHex = 1u << 4,             // a character other than 0-9 A-F between the markers
  kBadLengthChecksum = 1u << 5,  // LCHKSUM does not match LENID
  kLengthMismatch = 1u << 6,     // LENID disagrees with the characters received
  kBadChecksum = 1u << 7,        // CHKSUM does not match the characters
};

// What the pairing step found for a frame.
enum class Pair : unsigned char {
  None,          // not looked at: no readable header
  Paired,        // a command answered, or a reply to a command
  NoReply,       // a command no reply answered
  NoCommand,     // a reply no command asked for
};

struct Frame {
  std::uint64_t number = 0;     // from 1, in the order the frames began
  double time = std::numeric_limits<double>::quiet_NaN();  // seconds since the epoch of the SOI; NaN: unknown
  Direction direction = Direction::Unknown;
  unsigned stream = 0;          // which side of a capture that keeps sides apart
  std::uint64_t offset = 0;     // where its SOI is among the bytes of its side, from 0
  std::string text;             // the wire text from '~' up to the EOI (excluded)
  bool ended = false;           // an EOI closed it
  std::uint64_t garbageBefore = 0;  // bytes outside any frame just before it on its side
  unsigned faults = 0;          // Fault bits
  bool header = false;          // VER, ADR, CID1, CID2 and LENGTH were read
  unsigned char ver = 0, adr = 0, cid1 = 0, cid2 = 0;
  unsigned lenid = 0;           // LENID: characters of INFO
  std::vector<unsigned char> info;  // INFO's bytes, only when the checksum holds
  Role role = Role::Unknown;
  Pair pair = Pair::None;
  bool collision = false;       // a command that came while another awaited its reply
  std::uint64_t pairedWith = 0; // a paired frame: the number of its command or reply
  int commandCid2 = -1;         // a paired reply: its command's CID2
  double latency = std::numeric_limits<double>::quiet_NaN();  // a paired reply: seconds after its command

  bool Intact() const { return faults == 0; }
};

// "bad CHKSUM, cut short by a new SOI": every fault of the bits, or "ok".
std::string FaultText(unsigned faults);
// Short names of the faults, for JSON and CSV ("bad_checksum").
std::vector<const char*> FaultKeys(unsigned faults);
// What a command asks for ("rectifier analog values"); null for one the
// plug-in does not send.
const char* CommandName(unsigned char cid1, unsigned char cid2);
// The unit a CID1 addresses ("AC", "rectifier", "DC"), or null.
const char* UnitName(unsigned char cid1);
// What a return code means ("normal", "CHKSUM error").
const char* RtnText(unsigned char rtn);

}  // namespace wire
