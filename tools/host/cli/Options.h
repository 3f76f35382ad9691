// Command line of qpr2427k-host: parsing it into the run's options, the
// defaults' search order and the --help text.
#pragma once
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/host/loop/RunOptions.h"
#include "tools/host/stream/RunError.h"

namespace runner {

// Where the runner looks for the plug-in and the settings when --plugin or
// --config is not given, in search order. `shown` is what --help says for a
// place (a folder that depends on where the program runs is named, not given).
struct SearchPath {
  std::string path, shown;
};
struct SearchPaths {
  std::vector<SearchPath> plugins, configs;
};

// The first readable candidate, else the last one (so that the error names the
// place the user most likely meant). Empty when there is none.
std::string FirstReadable(const std::vector<SearchPath>& candidates);

// Parses argv; throws UsageError.
RunOptions ParseOptions(int argc, const char* const* argv);
// The --help text, with the search order of the defaults.
std::string UsageText(const SearchPaths& defaults);

}  // namespace runner
