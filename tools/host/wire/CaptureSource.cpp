// Reading capture files in bounded pieces: raw bytes in blocks; dumps and
// events files line by line, each line bounded.
#include "tools/host/wire/CaptureSource.h"

#include <fmt/format.h>
#include <json/json.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>

#include "host/PMBusProtocol.h"

namespace wire {
namespace {

constexpr double kNoTime = std::numeric_limits<double>::quiet_NaN();

// "YYYY?MM?DD HH:MM:SS.fraction" with `dateSep` between the date's parts, as
// seconds since the epoch (the capture's clock taken as UTC, so that times print
// as the capture wrote them). Sets `used` to the characters read; false when
// the text is not such a time.
bool ParseTime(const std::string& s, std::size_t from, char dateSep, double& out, std::size_t& used) {
  int y, mo, d, h, mi, sec, n = 0;
  const std::string format = fmt::format("%4d{0}%2d{0}%2d %2d:%2d:%2d%n", dateSep);
  if (std::sscanf(s.c_str() + from, format.c_str(), &y, &mo, &d, &h, &mi, &sec, &n) != 6 || n != 19) return false;
  std::size_t at = from + 19;
  double fraction = 0, scale = 0.1;
  const std::size_t point = at;
  if (at < s.size() && s[at] == '.') {
    for (++at; at < s.size() && std::isdigit(static_cast<unsigned char>(s[at])); ++at, scale /= 10)
      fraction += (s[at] - '0') * scale;
  }
  // socat 1.7 writes the microseconds in a nanosecond field ("00:00:01.000123456"
  // is 1.123456 s): nine digits whose first three are 0 are read that way.
  if (dateSep == '/' && at - point == 10 && s.compare(point + 1, 3, "000") == 0)
    fraction = std::stod(s.substr(point + 4, 6)) / 1e6;
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = mo - 1;
  tm.tm_mday = d;
  tm.tm_hour = h;
  tm.tm_min = mi;
  tm.tm_sec = sec;
  out = static_cast<double>(timegm(&tm)) + fraction;
  used = at - from;
  return true;
}

// The bytes of a dump's hex column: pairs of hex digits separated by spaces.
bool HexColumn(const std::string& column, std::string& out) {
  std::size_t k = 0;
  while (k < column.size()) {
    if (column[k] == ' ') {
      ++k;
      continue;
    }
    if (k + 1 >= column.size() || (k + 2 < column.size() && column[k + 2] != ' ')) return false;
    const char pair[2] = {static_cast<char>(std::toupper(static_cast<unsigned char>(column[k]))),
                          static_cast<char>(std::toupper(static_cast<unsigned char>(column[k + 1])))};
    unsigned char b = 0;
    if (!yd1363::ReadHexByte(pair, b)) return false;
    out += static_cast<char>(b);
    k += 2;
  }
  return true;
}

bool IsSocatHeader(const std::string& line, double& time) {
  std::size_t used = 0;
  return line.size() > 2 && (line[0] == '>' || line[0] == '<') && line[1] == ' ' &&
         ParseTime(line, 2, '/', time, used) && line.find("length=", 2 + used) != std::string::npos;
}

bool IsJpnevulatorHeader(const std::string& line, double& time, std::size_t& used) {
  return ParseTime(line, 0, '-', time, used) && used < line.size() && line[used] == ':';
}

}  // namespace

const char* FormatName(CaptureFormat format) {
  switch (format) {
    case CaptureFormat::Raw: return "raw bytes";
    case CaptureFormat::Socat: return "socat -x -v dump";
    case CaptureFormat::Jpnevulator: return "jpnevulator dump";
    case CaptureFormat::Events: return "events file";
  }
  return "?";
}

CaptureSource::CaptureSource(std::FILE* file, std::string name) : file_(file), name_(std::move(name)) {
  Fill();
  // The first line, as far as the buffer holds it.
  const std::size_t end = buffer_.find('\n');
  std::string first = buffer_.substr(0, end == std::string::npos ? std::min<std::size_t>(buffer_.size(), 4096) : end);
  if (!first.empty() && first.back() == '\r') first.pop_back();
  double time = 0;
  std::size_t used = 0;
  if (!first.empty() && first[0] == '{' && first.find("\"event\"") != std::string::npos)
    format_ = CaptureFormat::Events;
  else if (IsSocatHeader(first, time))
    format_ = CaptureFormat::Socat;
  else if (IsJpnevulatorHeader(first, time, used))
    format_ = CaptureFormat::Jpnevulator;
  else if (std::string bytes; first.size() >= 2 && HexColumn(first.substr(0, first.find('\t')), bytes)) {
    // jpnevulator without --timing-print: hex lines from the start, no times.
    format_ = CaptureFormat::Jpnevulator;
    time_ = kNoTime;
    inBlock_ = true;
  }
}

void CaptureSource::Fail(const std::string& why) const {
  throw CaptureError(fmt::format("{}:{}: {}", name_, lineNumber_, why));
}

bool CaptureSource::Fill() {
  if (eof_) return false;
  if (at_ > 0) {
    buffer_.erase(0, at_);
    at_ = 0;
  }
  const std::size_t had = buffer_.size();
  buffer_.resize(had + kBlock);
  const std::size_t n = std::fread(&buffer_[had], 1, kBlock, file_);
  buffer_.resize(had + n);
  if (n == 0) {
    if (std::ferror(file_)) throw CaptureError(fmt::format("{}: cannot read: {}", name_, std::strerror(errno)));
    eof_ = true;
  }
  return n > 0;
}

bool CaptureSource::Line(std::string& line) {
  std::size_t end;
  while ((end = buffer_.find('\n', at_)) == std::string::npos) {
    if (buffer_.size() - at_ > kMaxLine) {
      ++lineNumber_;
      Fail(fmt::format("a line longer than {} bytes: not a {}", kMaxLine, FormatName(format_)));
    }
    if (!Fill()) break;
  }
  if (at_ >= buffer_.size()) return false;
  if (end == std::string::npos) end = buffer_.size();
  line.assign(buffer_, at_, end - at_);
  at_ = std::min(end + 1, buffer_.size());
  ++lineNumber_;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

bool CaptureSource::Next(Chunk& chunk) {
  chunk.bytes.clear();
  switch (format_) {
    case CaptureFormat::Raw:
      if (at_ >= buffer_.size() && !Fill()) return false;
      chunk.bytes.assign(buffer_, at_, buffer_.size() - at_);
      at_ = buffer_.size();
      chunk.time = kNoTime;
      chunk.direction = Direction::Unknown;
      chunk.stream = 0;
      return true;
    case CaptureFormat::Events:
      return NextEvent(chunk);
    default:
      return NextDump(chunk);
  }
}

// socat: "> 2026/12/09 18:00:00.123456  length=18 from=0 to=17", then lines of
// a space and sixteen "xx " columns before the text column, then "--".
// jpnevulator: "2026-12-09 18:00:00.123456:" (and the device with several),
// then lines of "XX " columns, a tab and the text column.
bool CaptureSource::NextDump(Chunk& chunk) {
  std::string line;
  while (Line(line)) {
    double time = 0;
    std::size_t used = 0;
    if (format_ == CaptureFormat::Socat && IsSocatHeader(line, time)) {
      time_ = time;
      direction_ = line[0] == '>' ? Direction::ToDevice : Direction::FromDevice;
      stream_ = line[0] == '>' ? 0 : 1;
      inBlock_ = true;
      continue;
    }
    if (format_ == CaptureFormat::Jpnevulator && IsJpnevulatorHeader(line, time, used)) {
      time_ = time;
      std::string device = line.substr(used + 1);
      device.erase(0, device.find_first_not_of(' '));
      const auto found = devices_.find(device);
      if (found != devices_.end()) stream_ = found->second;
      else if (devices_.size() < 64) stream_ = devices_[device] = static_cast<unsigned>(devices_.size());
      inBlock_ = true;
      continue;
    }
    if (line.empty() || line == "--") continue;
    if (!inBlock_) Fail(fmt::format("hex bytes before the first header of a {}", FormatName(format_)));
    std::string column;
    if (format_ == CaptureFormat::Socat) column = line.substr(1, 48);
    else column = line.substr(0, line.find('\t'));
    if (line[0] != ' ' && format_ == CaptureFormat::Socat) Fail("not a line of a socat -x -v dump");
    if (!HexColumn(column, chunk.bytes)) Fail(fmt::format("not a line of a {}", FormatName(format_)));
    chunk.time = time_;
    chunk.direction = direction_;
    chunk.stream = stream_;
    return true;
  }
  return false;
}

// The runner's events: each command's and reply's wire text, with the event's
// time in milliseconds.
bool CaptureSource::NextEvent(Chunk& chunk) {
  static const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  std::string line;
  while (Line(line)) {
    if (line.empty()) continue;
    Json::Value e;
    std::string error;
    if (!reader->parse(line.data(), line.data() + line.size(), &e, &error) || !e.isObject() || !e["event"].isString())
      Fail(error.empty() ? "not an events line" : "not an events line: " + error);
    const std::string kind = e["event"].asString();
    if (kind != "command" && kind != "reply") continue;
    if (!e["frame"].isString()) Fail(fmt::format("a {} event without its frame", kind));
    chunk.bytes = e["frame"].asString() + "\r";
    chunk.time = e["t"].isNumeric() ? e["t"].asDouble() / 1000.0 : kNoTime;
    chunk.direction = kind == "command" ? Direction::ToDevice : Direction::FromDevice;
    chunk.stream = kind == "command" ? 0 : 1;
    return true;
  }
  return false;
}

}  // namespace wire
