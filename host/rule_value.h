// One pending threshold rule, as the host's batch threshold service takes it.
#pragma once
#include <cstdint>
#include <string>

#pragma GCC visibility push(default)

struct rule_value {
  unsigned char kind = 0;   // rule kind
  std::string key;          // alarm key
  std::string code;         // alarm code
  std::uint32_t value = 0;  // measured value, as raw bits
  std::uint32_t limit = 0;  // limit, as raw bits
  std::string name;         // alarm name
  std::string text;         // alarm text
  std::uint32_t slot = 0;   // alarm slot
};

#pragma GCC visibility pop
