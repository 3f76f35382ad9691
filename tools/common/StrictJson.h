// JSON text parsed strictly, as the programs read their files: nothing but
// comments after the value, no key twice in an object, nesting bounded.
#pragma once
#include <stdexcept>
#include <string>

#include "host/json.h"

namespace inputs {

// Why a text is not valid JSON, in one line with jsoncpp's place of the
// problem ("Line 3, Column 1: Extra non-whitespace after JSON value.").
class JsonTextError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Comments are allowed, as they always were. Throws JsonTextError.
Json::Value ParseStrictJson(const std::string& text);

}  // namespace inputs
