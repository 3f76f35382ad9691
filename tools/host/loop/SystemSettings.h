// The power systems a settings file configures: the entries of its "systems"
// list, each one system's settings as a file with one system holds them, or
// the file itself as the only system.
#pragma once
#include <string>
#include <vector>

#include "host/json.h"

namespace runner {

struct SystemSettings {
  unsigned address = 1;   // the system's ADR byte ("address", default 1)
  std::string name;       // "name", else "address N"
  Json::Value settings;   // what the plug-in is given: the entry without "name"
};

// Throws RunError naming `path` when "systems" is not a non-empty list of
// objects, an address is not a whole number 0..255, or two systems share an address.
std::vector<SystemSettings> ListSystems(const Json::Value& file, const std::string& path);
// True when the file holds a "systems" list.
bool ListsSystems(const Json::Value& file);

}  // namespace runner
