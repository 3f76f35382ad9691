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
  json_.reset(b.newStreamWriter());
}

EventLog::~EventLog() = default;

bool EventLog::Open(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (!file) return false;
  Attach(file, true);
  return true;
}

void EventLog::Attach(std::FILE* file, bool owned) {
  writer_.reset();
  writer_ = std::make_unique<LineWriter>(file, owned);
}

std::string EventLog::Line(const Fields& event) const {
  std::ostringstream out;
  out << '{';
  for (std::size_t k = 0; k < event.size(); ++k) {
    if (k) out << ',';
    json_->write(Json::Value(event[k].first), &out);
    out << ':';
    json_->write(event[k].second, &out);
  }
  out << '}';
  return out.str();
}

void EventLog::Write(const Fields& event) {
  if (writer_) writer_->Write(Line(event));
}

void EventLog::Flush() {
  if (writer_) writer_->Flush();
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
