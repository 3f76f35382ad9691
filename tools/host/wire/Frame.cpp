// Names of what a frame carries: faults, the commands of the plug-in's round,
// the units and the return codes.
#include "tools/host/wire/Frame.h"

namespace wire {
namespace {

struct FaultRow {
  Fault bit;
  const char* key;
  const char* text;
};
constexpr FaultRow kFaults[] = {
    {kCutShort, "cut_short", "cut short by a new SOI"},
    {kTooLong, "too_long", "no EOI within the longest frame"},
    {kUnterminated, "unterminated", "no EOI before the capture ended"},
    {kTooShort, "too_short", "too short"},
    {kNotHex, "not_hex", "not hex"},
    {kBadLengthChecksum, "bad_length_checksum", "bad LCHKSUM"},
    {kLengthMismatch, "length_mismatch", "LENID does not match the length"},
    {kBadChecksum, "bad_checksum", "bad CHKSUM"},
};

struct CommandRow {
  unsigned char cid1, cid2;
  const char* name;
};
constexpr CommandRow kCommands[] = {
    {0x40, 0x41, "AC analog values"},         {0x40, 0x43, "AC switch status"},
    {0x40, 0x44, "AC alarm status"},          {0x40, 0x46, "AC parameters"},
    {0x40, 0x51, "model"},                    {0x41, 0x41, "rectifier analog values"},
    {0x41, 0x43, "rectifier switch status"},  {0x41, 0x44, "rectifier alarm status"},
    {0x42, 0x41, "DC analog values"},         {0x42, 0x44, "DC alarm status"},
    {0x42, 0x46, "DC parameters"},
};

}  // namespace

std::string FaultText(unsigned faults) {
  std::string text;
  for (const auto& row : kFaults)
    if (faults & row.bit) text += (text.empty() ? "" : ", ") + std::string(row.text);
  return text.empty() ? "ok" : text;
}

std::vector<const char*> FaultKeys(unsigned faults) {
  std::vector<const char*> keys;
  for (const auto& row : kFaults)
    if (faults & row.bit) keys.push_back(row.key);
  return keys;
}

const char* CommandName(unsigned char cid1, unsigned char cid2) {
  for (const auto& row : kCommands)
    if (row.cid1 == cid1 && row.cid2 == cid2) return row.name;
  return nullptr;
}

const char* UnitName(unsigned char cid1) {
  switch (cid1) {
    case 0x40: return "AC";
    case 0x41: return "rectifier";
    case 0x42: return "DC";
    default: return nullptr;
  }
}

const char* RtnText(unsigned char rtn) {
  switch (rtn) {
    case 0x00: return "normal";
    case 0x01: return "VER error";
    case 0x02: return "CHKSUM error";
    case 0x03: return "LCHKSUM error";
    case 0x04: return "CID2 invalid";
    case 0x05: return "command format error";
    case 0x06: return "invalid data";
    default: return rtn >= 0x80 && rtn <= 0xEF ? "device-defined error" : "unknown return code";
  }
}

}  // namespace wire
