// Values shown in messages, and near misses of mistyped names.
#include "tools/host/loop/ProblemText.h"

#include "tools/common/NearMiss.h"

namespace runner {

std::string Shown(const Json::Value& v) {
  Json::StreamWriterBuilder b;
  b["indentation"] = "";
  b["emitUTF8"] = true;
  b["precision"] = 15;  // 1e300 rather than 1.0000000000000001e+300
  std::string s = Json::writeString(b, v);
  constexpr std::size_t kMax = 40;
  if (s.size() > kMax) s = s.substr(0, kMax) + "...";
  return s;
}

std::string NearMiss(const std::string& name, const std::vector<std::string>& known) {
  return inputs::NearMiss(name, known);
}

}  // namespace runner
