// jsoncpp's reader with failIfExtra and rejectDupKeys; its multi-line error
// list folded into one line, and its exception for deep nesting caught.
#include "tools/common/StrictJson.h"

#include <memory>

namespace inputs {
namespace {

constexpr int kNestingLimit = 1000;

// "* Line 3, Column 1\n  Extra non-whitespace after JSON value.\n" becomes
// "Line 3, Column 1: Extra non-whitespace after JSON value."
std::string OneLine(const std::string& errors) {
  std::string out;
  std::size_t start = 0;
  bool place = false;  // the last line kept was a "* Line ..." place
  while (start < errors.size()) {
    std::size_t end = errors.find('\n', start);
    if (end == std::string::npos) end = errors.size();
    std::string line = errors.substr(start, end - start);
    start = end + 1;
    const std::size_t first = line.find_first_not_of(" \t*");
    if (first == std::string::npos) continue;
    const bool isPlace = line.compare(0, 2, "* ") == 0;
    line.erase(0, first);
    if (!out.empty()) out += place && !isPlace ? ": " : "; ";
    out += line;
    place = isPlace;
  }
  return out.empty() ? "unreadable" : out;
}

}  // namespace

Json::Value ParseStrictJson(const std::string& text) {
  Json::CharReaderBuilder builder;
  builder["collectComments"] = false;
  builder["allowComments"] = true;
  builder["failIfExtra"] = true;
  builder["rejectDupKeys"] = true;
  builder["stackLimit"] = kNestingLimit;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  Json::Value root;
  std::string errors;
  try {
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors)) throw JsonTextError(OneLine(errors));
  } catch (const Json::Exception& e) {
    // jsoncpp throws, rather than reports, a value nested past its stack limit.
    const std::string what = e.what();
    if (what.find("stackLimit") == std::string::npos) throw JsonTextError(what);
    throw JsonTextError("nested deeper than " + std::to_string(kNestingLimit) + " levels");
  }
  return root;
}

}  // namespace inputs
