// The host's 7-byte time stamp.
#include "host/get_ttime.h"

ttime_t get_ttime(boost::posix_time::ptime local) {
  ttime_t t{};
  if (local.is_special()) return t;
  const auto date = local.date();
  const auto tod = local.time_of_day();
  const unsigned year = date.year();
  t[0] = static_cast<unsigned char>(year & 0xFF);
  t[1] = static_cast<unsigned char>(year >> 8);
  t[2] = static_cast<unsigned char>(date.month().as_number());
  t[3] = static_cast<unsigned char>(date.day().as_number());
  t[4] = static_cast<unsigned char>(tod.hours());
  t[5] = static_cast<unsigned char>(tod.minutes());
  t[6] = static_cast<unsigned char>(tod.seconds());
  return t;
}
