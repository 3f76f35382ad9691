// The known name a mistyped one most likely meant ("adress" -> "address"), by
// edit distance; shared by the file readers of both programs.
#pragma once
#include <string>
#include <vector>

namespace inputs {

// The known name within two edits (insertions, deletions, substitutions) of
// `name`: the closest, the first of equals; empty when none is that close.
std::string NearMiss(const std::string& name, const std::vector<std::string>& known);

}  // namespace inputs
