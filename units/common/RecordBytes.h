// Helpers for the packed telemetry records: little-endian words, 4-byte
// values kept as received, and the no-value marker.
#pragma once
#include <cstdint>
#include <cstring>

namespace units {

// 4-byte values in replies are IEEE 754 singles, least significant byte first.
using Value4 = unsigned char[4];

// 0.0 and -0.1 (0xBDCCCCCD) as stored in a record.
constexpr unsigned char kZeroValue[4] = {0x00, 0x00, 0x00, 0x00};
constexpr unsigned char kMinusTenthValue[4] = {0xCD, 0xCC, 0xCC, 0xBD};

// Four equal non-zero bytes stand for "no value".
inline bool IsNoValueMarker(const unsigned char* b) {
  return b[0] != 0 && b[0] == b[1] && b[1] == b[2] && b[2] == b[3];
}

// Copies a received 4-byte value into a record field, or `replacement` for the marker.
inline void StoreValue(unsigned char* field, const unsigned char* wire,
                       const unsigned char* replacement) {
  std::memcpy(field, IsNoValueMarker(wire) ? replacement : wire, 4);
}

inline void StoreU32LE(unsigned char* field, std::uint32_t v) {
  field[0] = static_cast<unsigned char>(v);
  field[1] = static_cast<unsigned char>(v >> 8);
  field[2] = static_cast<unsigned char>(v >> 16);
  field[3] = static_cast<unsigned char>(v >> 24);
}

inline std::uint32_t LoadU32LE(const unsigned char* field) {
  return static_cast<std::uint32_t>(field[0]) | static_cast<std::uint32_t>(field[1]) << 8 |
         static_cast<std::uint32_t>(field[2]) << 16 | static_cast<std::uint32_t>(field[3]) << 24;
}

// The float a record field holds (little-endian on the wire and on the target).
inline float LoadFloat(const unsigned char* field) {
  const std::uint32_t bits = LoadU32LE(field);
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

}  // namespace units
