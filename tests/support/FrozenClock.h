// Freezes the host's local clock at a given time for the life of the object,
// so tests move time themselves (host_clock::Advance) and never wait for it.
#pragma once
#include <boost/date_time/posix_time/posix_time.hpp>

#include "host/HostClock.h"

namespace testing_support {

class FrozenClock {
 public:
  explicit FrozenClock(boost::posix_time::ptime at) { host_clock::Freeze(at); }
  ~FrozenClock() { host_clock::Release(); }
  FrozenClock(const FrozenClock&) = delete;
  FrozenClock& operator=(const FrozenClock&) = delete;
};

}  // namespace testing_support
