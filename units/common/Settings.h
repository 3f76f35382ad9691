// The numbers a unit reads from its "appSetting" object, and the configuration
// the AC and DC units share: data id, those numbers, then the host base.
#pragma once
#include <cstddef>
#include <cstdlib>

#include "host/KLDSPDevice.h"
#include "host/json.h"
#include "units/common/RecordBytes.h"

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

// Stores the data id in the record's 4-byte field, reads the settings, then
// configures the host base and returns its result. Each rejected key is logged
// with `rejectedFormat` (id, key) once the base has the controller link.
template <std::size_t N>
bool InitUnit(KLDSPDevice& unit, unsigned char* dataIdField, KLDVDevice* parent, unsigned id,
              const Json::Value& config, const NumberSetting (&settings)[N],
              const char* rejectedFormat) {
  StoreU32LE(dataIdField, id);
  const char* rejected[N] = {};
  const std::size_t rejectedCount = ReadAppSettings(config, settings, rejected);
  const bool ok = unit.KLDSPDevice::InitV(parent, id, config);
  for (std::size_t k = 0; k < rejectedCount; ++k) unit.InfoLog(rejectedFormat, id, rejected[k]);
  return ok;
}

}  // namespace units
