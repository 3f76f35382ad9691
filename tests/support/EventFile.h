// Reads back an events file the runner wrote: one JSON object a line; a line
// that is not JSON fails the test and is passed over.
#pragma once
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "host/json.h"

namespace testing_support {

inline std::vector<Json::Value> ReadEvents(const std::string& path) {
  std::vector<Json::Value> out;
  std::ifstream in(path);
  std::string line;
  Json::CharReaderBuilder b;
  while (std::getline(in, line)) {
    Json::Value v;
    std::string errors;
    std::istringstream s(line);
    if (!Json::parseFromStream(b, s, &v, &errors)) {
      ADD_FAILURE() << "not a JSON line: " << line;
      continue;
    }
    out.push_back(v);
  }
  return out;
}

}  // namespace testing_support
