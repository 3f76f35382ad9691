// The --events stream: one JSON object per line, written and flushed as each
// event happens, from the loop thread or the work thread alike.
#pragma once
#include <cstddef>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/json.h"

namespace runner {

// One event: its members in the order they are written.
using Fields = std::vector<std::pair<std::string, Json::Value>>;

class EventLog {
 public:
  EventLog();  // writes nowhere
  ~EventLog();
  // Opens (truncates) the file; false when it cannot be opened.
  bool Open(const std::string& path);
  bool enabled() const { return file_ != nullptr; }

  void Write(const Fields& event);
  // One line as Write() puts it, without the newline: a JSON object whose
  // members keep the given order ("event" first).
  std::string Line(const Fields& event) const;

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
