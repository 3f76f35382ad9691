// A CSV field as the --decode jobs write it: quoted, with quotes doubled, when
// it holds a comma, a quote or a newline.
#pragma once
#include <string>

namespace runner {

inline std::string CsvField(const std::string& s) {
  if (s.find_first_of(",\"\n") == std::string::npos) return s;
  std::string q = "\"";
  for (const char c : s) q += c == '"' ? std::string("\"\"") : std::string(1, c);
  return q + "\"";
}

}  // namespace runner
