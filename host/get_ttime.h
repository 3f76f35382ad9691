// The host's 7-byte time stamp: year (2 bytes, little-endian), month (1-12),
// day (1-31), hour, minute, second, taken from a local date-time.
#pragma once
#include <array>
#include <boost/date_time/posix_time/posix_time_types.hpp>

#pragma GCC visibility push(default)

using ttime_t = std::array<unsigned char, 7>;
ttime_t get_ttime(boost::posix_time::ptime local);

#pragma GCC visibility pop
