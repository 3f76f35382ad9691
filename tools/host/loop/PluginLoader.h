// Loading the plug-in and the runner's JSON files.
#pragma once
#include <memory>
#include <string>

#include "host/KLDSPDevice.h"
#include "host/json.h"

namespace runner {

// The plug-in's port device ("qpr2427k"), made through its providers; throws RunError.
std::shared_ptr<KLDSPDevice> CreatePortDevice(const std::string& pluginPath);
// A JSON file, read through the input-file checks and parsed strictly (no
// text after the value, no key twice); throws RunError naming `what` and the path.
Json::Value ReadJson(const std::string& path, const char* what);
// JSON text read from `path`, parsed as ReadJson does; throws RunError.
Json::Value ParseJson(const std::string& text, const std::string& path, const char* what);

}  // namespace runner
