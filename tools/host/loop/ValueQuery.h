// The values the host asks the children for after a round or a cache restore:
// the AC unit's phase keys and each channel's keys, the DC unit's keys, and
// the rectifier unit's module count (from its image's length).
#pragma once
#include <cstddef>
#include <functional>
#include <memory>
#include <vector>

#include "host/KLDVDevice.h"
#include "tools/host/stream/Observation.h"

namespace runner {

// `imageLength` gives a child's latest image length (0: none yet).
ValuesRead QueryValues(const std::vector<std::shared_ptr<KLDVDevice>>& children, long long round,
                       const std::function<std::size_t(const KLDVDevice*)>& imageLength);

}  // namespace runner
