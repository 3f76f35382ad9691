// One alarm row of any unit: the strings it reports, the byte it tests and
// whether it is reported once or once per channel, fuse or module.
#pragma once
#include <cstddef>
#include <cstdint>

namespace units {

// How a row tests its status byte.
enum class AlarmTest : std::uint8_t {
  Equals,  // the byte equals `arg`
  Bit,     // bit `arg` of the byte is set (bit 0 has the value 1)
};

inline constexpr bool AlarmActive(AlarmTest test, std::uint8_t arg, std::uint8_t byte) {
  return test == AlarmTest::Equals ? byte == arg : ((byte >> arg) & 1U) != 0;
}

// A per-item row is reported once for each item of a list (a channel, fuse or
// module), item after item, with the item's number from 1 between `prefix` and
// the row's text; key, code, level and name stay the row's own.
struct AlarmItems {
  const char* prefix;  // nullptr: the row is reported once, its text as it stands
};
inline constexpr AlarmItems kOnce{nullptr};

struct AlarmRow {
  const char* key;     // alarm key
  const char* code;    // alarm code
  int level;           // alarm level
  const char* name;    // alarm name
  const char* text;    // alarm text (after the item prefix and number of a per-item row)
  AlarmItems items;    // reported once, or once per item
  std::uint16_t byte;  // offset of the tested byte in the record (of a per-item row: in the item's record)
  AlarmTest test;      // how that byte is tested
  std::uint8_t arg;    // the value compared, or the bit number
};

// Equal texts (both null counts as equal), usable in constant expressions:
// two equal literals need not share an address.
inline constexpr bool SameText(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return a == nullptr && b == nullptr;
  while (*a != '\0' && *a == *b) ++a, ++b;
  return *a == *b;
}

// True when every row of a table is reported the same way (once, or per item
// with one prefix) and tests a byte inside a record of `size` bytes with a bit that exists.
template <std::size_t R>
constexpr bool RowsFit(const AlarmRow (&rows)[R], std::size_t size) {
  for (const AlarmRow& r : rows) {
    if (!SameText(r.items.prefix, rows[0].items.prefix)) return false;
    if (r.byte >= size) return false;
    if (r.test == AlarmTest::Bit && r.arg > 7) return false;
  }
  return true;
}

}  // namespace units
