// qpr2427k-host's run: load the plug-in, make and configure the port device,
// drive it on one reply source until the rounds are done, then finish the
// work, write the cache and flush the observers.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

#include "host/json.h"
#include "tools/host/outputs/cache/CacheFile.h"
#include "tools/host/outputs/events/EventLog.h"
#include "tools/host/loop/RunOptions.h"
#include "tools/host/stream/RunError.h"

namespace runner {

// Runs to the end; returns the exit status. `view` receives the human view,
// `events` the event stream; options.plugin and options.config must be set.
int Run(const RunOptions& options, std::FILE* view, EventLog& events);

}  // namespace runner
