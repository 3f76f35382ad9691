// The runner's other jobs: --check-config (settings problems, the plug-in's
// own verdict) and --discover (settings that match the system on the line).
#pragma once
#include <cstdio>

#include "tools/host/cli/Options.h"

namespace runner {

// Prints every problem of options.checkConfig and of options.labels when given;
// 0 when both are clean, 1 when not.
int CheckConfig(const RunOptions& options, std::FILE* out);
// Prints matching settings on `out` and what was found on standard error; 0,
// or throws RunError when the system does not answer.
int DiscoverSystem(const RunOptions& options, std::FILE* out);

}  // namespace runner
