// The channel key matcher gives what searching channel_(\d+)_(.+?) with
// std::regex gives, over tricky keys and many generated ones.
#include <gtest/gtest.h>

#include <climits>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "units/ac/ChannelKey.h"

namespace {

struct Found {
  bool match = false;
  std::int32_t number = 0;
  char item = 0;
  bool operator==(const Found& o) const {
    return match == o.match && (!match || (number == o.number && item == o.item));
  }
};

std::ostream& operator<<(std::ostream& os, const Found& f) {
  if (!f.match) return os << "no match";
  return os << "n=" << f.number << " x=" << static_cast<int>(static_cast<unsigned char>(f.item));
}

// The reference: the regular expression, the number through a wide conversion
// clamped to the largest int32.
Found ByRegex(const std::string& key) {
  static const std::regex re("channel_(\\d+)_(.+?)", std::regex::ECMAScript);
  std::smatch m;
  Found f;
  if (!std::regex_search(key, m, re)) return f;
  f.match = true;
  std::string digits = m[1].str();
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
  f.number = digits.size() > 10 ? INT32_MAX
                                : static_cast<std::int32_t>(std::min<long long>(std::stoll(digits), INT32_MAX));
  EXPECT_EQ(m[2].length(), 1) << "the lazy group takes one character";
  f.item = m[2].str()[0];
  return f;
}

Found ByMatcher(const std::string& key) {
  units::ac::ChannelKey k;
  Found f;
  f.match = units::ac::FindChannelKey(key, k);
  if (f.match) f.number = k.number, f.item = k.item;
  return f;
}

TEST(ChannelKey, TrickyKeys) {
  const std::string keys[] = {
      "channel_0_a", "channel_1_f", "channel_12_b", "channel_0_freq", "channel_0_ia",
      "xchannel_3_c", "channelchannel_4_a", "channel_channel_5_a", "channel_6channel_7_a",
      "channel_8__", "channel__9_a", "channel_10_", "channel_11", "channel_", "channel",
      "", "_0_a", "Channel_1_a", "CHANNEL_1_A", "channel_1_\n", "channel_1_\r",
      "channel_1_\nchannel_2_a", "channel_1_\t", "channel_1_ ", std::string("channel_1_\0", 11),
      std::string("channel_\0_1_a", 13), "channel_1_\xE2\x80\xA8", "channel_\xD9\xA3_a",
      "channel_2147483647_a", "channel_2147483648_a", "channel_4294967297_a",
      "channel_99999999999999999999999_a", "channel_000000000000000000007_c",
      "channel_-1_a", "channel_+1_a", "channel_1e3_a", "channel_ 1_a", "channel_1 _a",
      "channel_1_a_channel_2_b", "a.channel_3_c.d", "channe_1_a", "channel_1_é",
      "\nchannel_2_f", "channel_\n3_a", "channel_3\n_a", "channel_00_0", "channel_1_1",
  };
  for (const std::string& key : keys) {
    SCOPED_TRACE(testing::PrintToString(key));
    EXPECT_EQ(ByMatcher(key), ByRegex(key));
  }
  // Spot checks that the reference itself reads as intended.
  EXPECT_EQ(ByRegex("channel_0_freq"), (Found{true, 0, 'f'}));
  EXPECT_EQ(ByRegex("channel_4294967297_a"), (Found{true, INT32_MAX, 'a'}));
  EXPECT_EQ(ByRegex("channel_6channel_7_a"), (Found{true, 7, 'a'}));
  EXPECT_FALSE(ByRegex("channel_1_\n").match);
}

TEST(ChannelKey, GeneratedKeys) {
  // Keys spliced from pieces that sit near the matcher's decisions.
  const std::vector<std::string> pieces = {
      "channel_", "channel_", "channel", "chan", "nel_", "_", "_", "0", "1", "7", "09",
      "2147483647", "2147483648", "99999999999", "a", "b", "c", "f", "x", "\n", "\r",
      std::string(1, '\0'), "\xE2\x80\xA8", "\xC3\xA9", " ", "-", "channel_1_", "_a"};
  std::mt19937 rng(20261208);
  std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
  std::uniform_int_distribution<int> count(0, 7);
  std::uniform_int_distribution<int> byte(0, 255);
  int matched = 0;
  for (int k = 0; k < 20000; ++k) {
    std::string key;
    for (int n = count(rng); n > 0; --n) key += pieces[pick(rng)];
    if (k % 2 == 0) {  // every other key is shaped like a channel key, then spliced
      key += "channel_" + std::to_string(rng() % 1000) + pieces[pick(rng)] + pieces[pick(rng)];
      for (int n = count(rng) / 2; n > 0; --n) key += pieces[pick(rng)];
    }
    if (k % 5 == 0 && !key.empty()) key[k % key.size()] = static_cast<char>(byte(rng));
    const Found want = ByRegex(key);
    matched += want.match;
    ASSERT_EQ(ByMatcher(key), want) << testing::PrintToString(key);
  }
  // The generator reaches both outcomes often.
  EXPECT_GT(matched, 3000);
  EXPECT_LT(matched, 17000);
}

}  // namespace
