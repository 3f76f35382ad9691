// JSON lines for the --events stream (jsoncpp, compact, UTF-8 kept as is).
#include "tools/host/EventLog.h"

#include <fmt/format.h>

#include <cmath>
#include <cstdlib>
#include <sstream>

namespace runner {

EventLog::EventLog() {
  Json::StreamWriterBuilder b;
  b["indentation"] = "";
  b["emitUTF8"] = true;
  // 9 significant digits read back every float exactly; Number() keeps the
  // shortest form, so 230.1 stays 230.1.
  b["precision"] = 9;
  writer_.reset(b.newStreamWriter());
}

EventLog::~EventLog() {
  if (file_) std::fclose(file_);
}

bool EventLog::Open(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_) std::fclose(file_);
  file_ = std::fopen(path.c_str(), "w");
  return file_ != nullptr;
}

std::string EventLog::Line(const Fields& event) const {
  std::ostringstream out;
  out << '{';
  for (std::size_t k = 0; k < event.size(); ++k) {
    if (k) out << ',';
    writer_->write(Json::Value(event[k].first), &out);
    out << ':';
    writer_->write(event[k].second, &out);
  }
  out << '}';
  return out.str();
}

void EventLog::Write(const Fields& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!file_) return;
  const std::string line = Line(event);
  std::fwrite(line.data(), 1, line.size(), file_);
  std::fputc('\n', file_);
  std::fflush(file_);
}

std::string EventLog::Hex(const unsigned char* data, std::size_t length) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(2 * length);
  for (std::size_t k = 0; k < length; ++k) {
    s += kHex[data[k] >> 4];
    s += kHex[data[k] & 0xF];
  }
  return s;
}

Json::Value EventLog::Number(float value) {
  if (!std::isfinite(value)) return Json::Value();
  // fmt prints a float's shortest round-trip form; reading that text as a
  // double gives the double that prints the same way at 9 digits.
  return Json::Value(std::strtod(fmt::format("{}", value).c_str(), nullptr));
}

}  // namespace runner
