// The operator's labels file: names for load branches and batteries, and names,
// units and Home Assistant device classes for user values, checked and turned
// into the catalogue's labels.
#pragma once
#include <string>
#include <vector>

#include "host/json.h"
#include "tools/host/catalogue/Labels.h"
#include "tools/host/loop/SettingsCheck.h"

namespace runner {

// The labels a labels object gives, and every problem found in it (in the
// order the object is walked); the labels are not to be used unless it is clean.
struct LabelsChecked {
  catalogue::Labels labels;
  std::vector<SettingsProblem> problems;
};
LabelsChecked CheckLabels(const Json::Value& file);

// The labels of the file at `path`; throws RunError with one line naming the
// file and each problem's place ("the labels file F: branches.0: ...").
catalogue::Labels ReadLabels(const std::string& path);

}  // namespace runner
