// The --events stream: one JSON object per line, handed to a writer thread as
// each event happens and flushed line by line.
#pragma once
#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/json.h"
#include "tools/host/LineWriter.h"

namespace runner {

// One event: its members in the order they are written.
using Fields = std::vector<std::pair<std::string, Json::Value>>;

class EventLog {
 public:
  EventLog();  // writes nowhere
  ~EventLog();
  // Opens (truncates) the file; false when it cannot be opened.
  bool Open(const std::string& path);
  // Writes to an open stream (standard output, a pipe); closes it at the end when owned.
  void Attach(std::FILE* file, bool owned);
  bool enabled() const { return writer_ != nullptr; }

  void Write(const Fields& event);
  // Waits until every event written so far is in the file.
  void Flush();
  // One line as Write() puts it, without the newline: a JSON object whose
  // members keep the given order ("event" first).
  std::string Line(const Fields& event) const;

  // Upper-case hex of bytes, two digits each, no separators.
  static std::string Hex(const unsigned char* data, std::size_t length);
  // A float as a JSON number with the fewest digits that read back to it;
  // null when it is not finite.
  static Json::Value Number(float value);

 private:
  std::unique_ptr<Json::StreamWriter> json_;
  std::unique_ptr<LineWriter> writer_;
};

}  // namespace runner
