// How the file checkers word a problem: a value shown as compact JSON, and the
// known name a mistyped one most likely meant ("adress" -> "address").
#pragma once
#include <string>
#include <vector>

#include "host/json.h"

namespace runner {

// A value as compact one-line JSON, cut short after 40 bytes ("...").
std::string Shown(const Json::Value& v);

// The known name within two edits of `name` (the closest, the first of equals);
// empty when none is that close.
std::string NearMiss(const std::string& name, const std::vector<std::string>& known);

}  // namespace runner
