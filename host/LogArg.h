// A type-erased log argument: lets devices hand values to the host's logger
// without the plug-in formatting (or allocating) anything itself.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

#pragma GCC visibility push(default)

struct LogArg {
  enum class Kind : std::uint8_t { Signed, Unsigned, Float, Text };
  Kind kind;
  std::int64_t i = 0;
  std::uint64_t u = 0;
  double d = 0.0;
  std::string_view s;

  template <typename T, std::enable_if_t<std::is_integral_v<T> && std::is_signed_v<T> &&
                                             !std::is_same_v<T, char>, int> = 0>
  LogArg(T v) : kind(Kind::Signed), i(v) {}
  template <typename T, std::enable_if_t<std::is_integral_v<T> && std::is_unsigned_v<T> &&
                                             !std::is_same_v<T, bool>, int> = 0>
  LogArg(T v) : kind(Kind::Unsigned), u(v) {}
  LogArg(bool v) : kind(Kind::Unsigned), u(v ? 1 : 0) {}
  LogArg(float v) : kind(Kind::Float), d(v) {}
  LogArg(double v) : kind(Kind::Float), d(v) {}
  LogArg(const char* v) : kind(Kind::Text), s(v ? v : "") {}
  LogArg(const std::string& v) : kind(Kind::Text), s(v) {}
  LogArg(std::string_view v) : kind(Kind::Text), s(v) {}

  // The argument as the log line shows it ("{}" of fmt).
  std::string ToString() const;
};

#pragma GCC visibility pop
