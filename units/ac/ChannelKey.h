// Finds the channel part of an AC value key ("channel_" + number + "_" + one
// character) without running a regular expression on every query.
#pragma once
#include <cstdint>
#include <string_view>

namespace units::ac {

struct ChannelKey {
  std::int32_t number = 0;  // channel number, counted from 0; saturates at INT32_MAX
  char item = 0;            // the one character after the number's '_'
};

// Same result as searching the ECMAScript expression channel_(\d+)_(.+?) in
// `key`: the leftmost "channel_" followed by at least one ASCII digit, '_' and
// one character that is not a line terminator ('\n' or '\r' for char). Greedy
// digits cannot backtrack into a match, since a shorter run is followed by a digit.
inline bool FindChannelKey(std::string_view key, ChannelKey& out) {
  constexpr std::string_view kWord = "channel_";
  constexpr std::int64_t kMax = INT32_MAX;
  for (std::size_t at = key.find(kWord); at != std::string_view::npos; at = key.find(kWord, at + 1)) {
    std::size_t pos = at + kWord.size();
    const std::size_t digitsFrom = pos;
    std::int64_t n = 0;
    for (; pos < key.size() && key[pos] >= '0' && key[pos] <= '9'; ++pos) {
      n = n * 10 + (key[pos] - '0');
      if (n > kMax) n = kMax;
    }
    if (pos == digitsFrom || pos + 1 >= key.size() || key[pos] != '_') continue;
    const char item = key[pos + 1];
    if (item == '\n' || item == '\r') continue;
    out.number = static_cast<std::int32_t>(n);
    out.item = item;
    return true;
  }
  return false;
}

}  // namespace units::ac
