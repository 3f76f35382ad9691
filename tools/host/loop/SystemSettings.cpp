// Splits a settings file into the systems it configures.
#include "tools/host/loop/SystemSettings.h"

#include <fmt/format.h>

#include <map>

#include "tools/host/stream/RunError.h"

namespace runner {

bool ListsSystems(const Json::Value& file) { return file.isObject() && file.isMember("systems"); }

std::vector<SystemSettings> ListSystems(const Json::Value& file, const std::string& path) {
  if (!ListsSystems(file)) {
    const Json::Value& adr = file["address"];
    return {{adr.isUInt() && adr.asUInt() <= 255 ? adr.asUInt() : 1u, "", file}};
  }
  const Json::Value& list = file["systems"];
  if (!list.isArray() || list.empty())
    throw RunError(fmt::format("{}: \"systems\" must be a list of at least one system's settings", path));
  std::vector<SystemSettings> systems;
  std::map<unsigned, std::size_t> byAddress;
  for (Json::ArrayIndex k = 0; k < list.size(); ++k) {
    const Json::Value& entry = list[k];
    const std::string where = fmt::format("{}: system {} of \"systems\"", path, k + 1);
    if (!entry.isObject()) throw RunError(where + " must be an object");
    SystemSettings s;
    s.settings = entry;
    const Json::Value& adr = entry["address"];
    if (!adr.isNull()) {
      if (!adr.isUInt() || adr.asUInt() > 255) throw RunError(where + ": \"address\" must be a whole number from 0 to 255");
      s.address = adr.asUInt();
    }
    const Json::Value& name = entry["name"];
    if (!name.isNull() && (!name.isString() || name.asString().empty()))
      throw RunError(where + ": \"name\" must be a text that is not empty");
    s.name = name.isNull() ? fmt::format("address {}", s.address) : name.asString();
    s.settings.removeMember("name");
    const auto [at, fresh] = byAddress.emplace(s.address, k + 1);
    if (!fresh)
      throw RunError(fmt::format("{}: systems {} and {} both have address {}; each system on the line needs its own",
                                 path, at->second, k + 1, s.address));
    systems.push_back(std::move(s));
  }
  return systems;
}

}  // namespace runner
