// The --events stream: one JSON object per line, written and flushed as each
// event happens, from the loop thread or the work thread alike.
#pragma once
#include <cstddef>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>

#include "host/json.h"

namespace runner {

class EventLog {
 public:
  EventLog();  // writes nowhere
  ~EventLog();
  // Opens (truncates) the file; false when it cannot be opened.
  bool Open(const std::string& path);
  bool enabled() const { return file_ != nullptr; }

  void Write(const Json::Value& event);
  // One line as Write() would put it, without the newline.
  std::string Line(const Json::Value& event) const;

  // Upper-case hex of bytes, two digits each, no separators.
  static std::string Hex(const unsigned char* data, std::size_t length);
  // A float as a JSON number with the fewest digits that read back to it;
  // null when it is not finite.
  static Json::Value Number(float value);

 private:
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
  std::unique_ptr<Json::StreamWriter> writer_;
};

}  // namespace runner
