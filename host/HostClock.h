// The host's local second clock, with a seam for tests: frozen or shifted time
// instead of sleeping. Devices read the time only through LocalSecondClock().
#pragma once
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <climits>

#pragma GCC visibility push(default)

namespace host_clock {
// The current local time at one-second resolution (or the frozen time).
boost::posix_time::ptime LocalSecondClock();
// Makes LocalSecondClock() return `at` until Release(); Advance() moves it.
void Freeze(boost::posix_time::ptime at);
void Advance(std::int64_t seconds);
void Release();
// Whole seconds from `then` to `now` (negative when `then` is later); a time
// never set counts as long ago.
inline std::int64_t ElapsedSeconds(boost::posix_time::ptime then, boost::posix_time::ptime now) {
  if (then.is_special() || now.is_special()) return INT64_MAX;
  const boost::posix_time::time_duration d = now - then;
  return static_cast<std::int64_t>(d.ticks() / d.ticks_per_second());
}
}  // namespace host_clock

#pragma GCC visibility pop
