// Text form of a log argument.
#include "host/LogArg.h"

#include <fmt/format.h>

std::string LogArg::ToString() const {
  switch (kind) {
    case Kind::Signed: return fmt::to_string(i);
    case Kind::Unsigned: return fmt::to_string(u);
    case Kind::Float: return fmt::to_string(d);
    case Kind::Text: return std::string(s);
  }
  return {};
}
