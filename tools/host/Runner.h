// qpr2427k-host's run: load the plug-in, make and configure the port device,
// drive it on one reply source until the rounds are done, then finish the
// work, write the cache and flush the events.
#pragma once
#include <cstdio>
#include <string>
#include <vector>

#include "host/json.h"
#include "tools/host/Options.h"

namespace runner {

// A run that cannot start or go on; main() prints the text and exits with 1.
class RunError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Runs to the end; returns the exit status. `view` receives the human view;
// options.plugin and options.config must be set.
int Run(const Options& options, std::FILE* view);

// The cache file: each child's history image, by position, type and data id.
struct CacheEntry {
  unsigned index = 0;
  std::string deviceType;
  unsigned dataId = 0;
  std::vector<unsigned char> image;
};
Json::Value CacheToJson(const std::vector<CacheEntry>& entries);
// Throws RunError for a file that is not a cache file.
std::vector<CacheEntry> CacheFromJson(const Json::Value& root, const std::string& name);

}  // namespace runner
