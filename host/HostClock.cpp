// The host's local second clock and its test seam (atomics: devices may read
// the clock from several threads while a test moves it).
#include "host/HostClock.h"

#include <atomic>
#include <boost/date_time/posix_time/posix_time.hpp>

namespace host_clock {
namespace {
using boost::posix_time::ptime;
const ptime kEpoch(boost::gregorian::date(1970, 1, 1));
std::atomic<bool> frozen{false};
std::atomic<std::int64_t> frozenSeconds{0};  // seconds since kEpoch
}  // namespace

ptime LocalSecondClock() {
  if (frozen.load(std::memory_order_acquire)) {
    // Split in days and seconds: `long` is 32 bits on the target.
    const std::int64_t s = frozenSeconds.load();
    const std::int64_t days = (s >= 0 ? s : s - 86399) / 86400;
    return kEpoch + boost::gregorian::days(static_cast<long>(days)) +
           boost::posix_time::seconds(static_cast<long>(s - days * 86400));
  }
  return boost::posix_time::second_clock::local_time();
}

void Freeze(ptime at) {
  frozenSeconds.store(ElapsedSeconds(kEpoch, at));
  frozen.store(true, std::memory_order_release);
}

void Advance(std::int64_t seconds) { frozenSeconds.fetch_add(seconds); }

void Release() { frozen.store(false, std::memory_order_release); }
}  // namespace host_clock
