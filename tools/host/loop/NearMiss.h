// The near-miss hint of the file checkers: which known name a mistyped one
// most likely meant ("adress" -> "address").
#pragma once
#include <string>
#include <vector>

namespace runner {

// The known name within two edits of `name` (the closest, the first of equals);
// empty when none is that close.
std::string NearMiss(const std::string& name, const std::vector<std::string>& known);

}  // namespace runner
