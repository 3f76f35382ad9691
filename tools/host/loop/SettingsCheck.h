// Checks a device settings object against the keys the plug-in and its engine
// read, so that mistakes are named before the plug-in silently ignores or refuses them.
#pragma once
#include <string>
#include <vector>

#include "host/json.h"
#include "tools/host/loop/SystemList.h"

namespace runner {

struct SettingsProblem {
  std::string where;  // JSON path, e.g. "acSetting[1].appSetting.diff_v"; "" for the whole object
  std::string text;   // one sentence: what is wrong and what is expected
};

// Every problem found, in the order the settings are walked; empty when clean.
std::vector<SettingsProblem> CheckSettings(const Json::Value& settings);

// Between the systems of one file: two with one address, and a data id used in
// two systems (the runner knows each port device and unit by its data id).
// One problem for each later use, naming the entry first used in.
std::vector<SettingsProblem> CheckAcrossSystems(const std::vector<SystemEntry>& systems);

// One line: "where: text", or the text alone for the whole object.
std::string Describe(const SettingsProblem& problem);

}  // namespace runner
