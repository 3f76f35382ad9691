// The readiness and age test every unit's Get_Value makes first.
#pragma once
#include <stdexcept>

#include "host/HostClock.h"
#include "host/KLDVDevice.h"

namespace units {

constexpr const char* kNotReady = "数据未就绪";
constexpr const char* kTimedOut = "数据已超时";
constexpr const char* kNotProvided = "数据未提供";
constexpr const char* kChannelOutOfRange = "通道参数越界";
// Values answer for 60 seconds after the last round or restore.
constexpr long long kMaxAgeSeconds = 61;

// Throws "not ready" before the first round or restore, "timed out" once the
// data is 61 seconds old (a negative age passes).
inline void ThrowUnlessFresh(const KLDVDevice& dev) {
  if (!dev.dataReady_) throw std::out_of_range(kNotReady);
  if (host_clock::ElapsedSeconds(dev.lastUpdate_, host_clock::LocalSecondClock()) >= kMaxAgeSeconds)
    throw std::out_of_range(kTimedOut);
}

}  // namespace units
