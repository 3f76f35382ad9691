// Splitting a settings file into its systems, each with its address.
#include "tools/host/loop/SystemList.h"

#include <fmt/format.h>

#include "tools/host/loop/ProblemText.h"

namespace runner {

std::vector<SystemEntry> ListSystems(const Json::Value& file) {
  std::vector<SystemEntry> out;
  const auto addressOf = [](const Json::Value& settings) -> std::optional<unsigned> {
    const Json::Value& a = settings.isObject() ? settings["address"] : Json::Value();
    if (a.isNull()) return 1u;  // the plug-in's default
    if (a.isUInt() && a.asUInt() <= 255) return a.asUInt();
    return std::nullopt;
  };
  if (!file.isObject() || !file.isMember("systems")) {
    out.push_back({"", "", addressOf(file), file});
    return out;
  }
  for (const std::string& name : file.getMemberNames())
    if (name != "systems")
      throw SystemListError(fmt::format("\"{}\" beside \"systems\": each system's settings go in its entry of "
                                        "\"systems\"", name));
  const Json::Value& list = file["systems"];
  if (!list.isArray() || list.empty())
    throw SystemListError(fmt::format("\"systems\" must be a non-empty array of settings objects, not {}", Shown(list)));
  for (Json::ArrayIndex k = 0; k < list.size(); ++k) {
    const std::string name = fmt::format("systems[{}]", k);
    if (!list[k].isObject())
      throw SystemListError(fmt::format("{} must be a settings object, not {}", name, Shown(list[k])));
    Json::Value settings = list[k];
    std::string id;
    if (settings.isMember("name")) {
      const Json::Value& given = settings["name"];
      const bool word = given.isString() && !given.asString().empty() && given.asString().size() <= 32 &&
                        given.asString().find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                           "0123456789-_") == std::string::npos;
      if (!word)
        throw SystemListError(fmt::format("{}.name must be a word of letters, digits, '-' and '_' (at most 32), "
                                          "not {}", name, Shown(given)));
      id = given.asString();
      settings.removeMember("name");
    }
    const auto address = addressOf(settings);
    if (id.empty()) id = address ? fmt::format("system{}", *address) : name;
    out.push_back({name, id, address, std::move(settings)});
  }
  return out;
}

std::string PlaceIn(const SystemEntry& entry, const std::string& where) {
  if (entry.name.empty()) return where;
  return where.empty() ? entry.name : entry.name + "." + where;
}

}  // namespace runner
