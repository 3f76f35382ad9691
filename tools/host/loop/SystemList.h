// The power systems a settings file describes: the entries of its "systems"
// list, or the whole file as one system, as it always was.
#pragma once
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/json.h"

namespace runner {

struct SystemEntry {
  std::string name;                 // "systems[2]"; "" for a file without "systems"
  std::string id;                   // its "name" as the operator gave it, else "system<address>"; "" for one system
  std::optional<unsigned> address;  // its "address" (1 when absent); none when that is not 0..255
  Json::Value settings;             // the one system's settings object, as the plug-in takes it
};

// A "systems" list that cannot be read as one; the text says why in one line.
class SystemListError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The systems in `file`, in order. A file that is not an object, or has no
// "systems" member, is one entry holding the whole file (its checks are the
// single-system checks'). An entry's "name" (letters, digits, '-' and '_', at
// most 32) becomes its id in topics and labels and is taken out of the settings
// the plug-in sees. Throws SystemListError when "systems" is not a non-empty
// array of objects, has members beside it, or a name is not such a word.
std::vector<SystemEntry> ListSystems(const Json::Value& file);

// `where` within an entry ("acSetting[0].data_id"), named from the file's top.
std::string PlaceIn(const SystemEntry& entry, const std::string& where);

}  // namespace runner
