// The numbers a unit reads from its "appSetting" object.
#pragma once
#include <cstddef>
#include <cstdlib>

#include "host/json.h"

namespace units {

struct NumberSetting {
  const char* key;  // key inside "appSetting"
  float* target;    // member it sets
};

// Reads every setting present in config["appSetting"] (numbers or numeric
// text); one whose value cannot be read as text keeps its member and its key
// goes to `rejected`. Returns how many were rejected.
template <std::size_t N>
std::size_t ReadAppSettings(const Json::Value& config, const NumberSetting (&settings)[N],
                            const char* (&rejected)[N]) {
  std::size_t count = 0;
  if (!config.isObject()) return 0;
  const Json::Value& app = config["appSetting"];
  if (!app.isObject()) return 0;
  for (const NumberSetting& s : settings) {
    const Json::Value& v = app[s.key];
    if (v.isNull()) continue;
    if (!v.isConvertibleTo(Json::stringValue)) {
      rejected[count++] = s.key;
      continue;
    }
    *s.target = static_cast<float>(std::atof(v.asString().c_str()));
  }
  return count;
}

}  // namespace units
