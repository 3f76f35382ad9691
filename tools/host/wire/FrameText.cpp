// The line a frame is shown as, made of its header, its pairing and its values.
#include "tools/host/wire/FrameText.h"

#include <fmt/format.h>

#include <cmath>
#include <ctime>

namespace wire {
namespace {

const char* DirectionMark(Direction d) {
  return d == Direction::ToDevice ? ">" : d == Direction::FromDevice ? "<" : "?";
}

}  // namespace

std::string TimeText(double t) {
  if (!std::isfinite(t)) return "-";
  const auto whole = static_cast<std::time_t>(std::floor(t));
  long micro = std::lround((t - static_cast<double>(whole)) * 1e6);
  std::time_t s = whole;
  if (micro >= 1000000) ++s, micro -= 1000000;
  std::tm tm{};
  gmtime_r(&s, &tm);
  char date[32];
  std::strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &tm);
  return fmt::format("{}.{:06}", date, micro);
}

const char* RoleKey(Role r) {
  return r == Role::Command ? "command" : r == Role::Reply ? "reply" : "unknown";
}

// What the frame asks or answers: "41/41 rectifier analog values".
std::string CommandText(const Frame& f) {
  if (!f.header) return "";
  const bool reply = f.role == Role::Reply;
  if (reply && f.commandCid2 < 0) {
    const char* unit = UnitName(f.cid1);
    return fmt::format("{:02X}/?? {}reply", f.cid1, unit ? std::string(unit) + " " : std::string());
  }
  const auto cid2 = static_cast<unsigned char>(reply ? f.commandCid2 : f.cid2);
  const char* name = CommandName(f.cid1, cid2);
  return fmt::format("{:02X}/{:02X} {}", f.cid1, cid2, name ? name : "unknown command");
}

Meaning MeaningOf(const Frame& f) {
  if (f.role != Role::Reply || f.commandCid2 < 0 || f.cid2 != 0 || !f.Intact()) return {};
  return DescribeReply(f.cid1, static_cast<unsigned char>(f.commandCid2), f.info);
}

std::string PairText(const Frame& f) {
  std::string t;
  switch (f.pair) {
    case Pair::Paired:
      if (f.role == Role::Reply && std::isfinite(f.latency)) t = fmt::format("after {:.1f} ms", f.latency * 1e3);
      break;
    case Pair::NoReply: t = "no reply"; break;
    case Pair::NoCommand: t = "no command asked for it"; break;
    case Pair::None: break;
  }
  if (f.collision) t += t.empty() ? "two commands in a row" : ", two commands in a row";
  return t;
}

std::string FrameLine(const Frame& f, const Meaning& m) {
  const bool reply = f.role == Role::Reply;
  std::string line = fmt::format("{} {} ", TimeText(f.time), DirectionMark(f.direction));
  if (f.header) {
    line += fmt::format("adr {:02X} {:<7} {}", f.adr, RoleKey(f.role), CommandText(f));
    if (reply) line += fmt::format(", RTN {:02X} {}", f.cid2, RtnText(f.cid2));
    line += fmt::format(", info {} B", f.lenid / 2);
  } else {
    line += fmt::format("{} chars unreadable", f.text.size());
  }
  line += ", " + FaultText(f.faults);
  if (const std::string p = PairText(f); !p.empty()) line += ", " + p;
  if (f.garbageBefore) line += fmt::format(", {} garbage bytes before", f.garbageBefore);
  std::string values = m.summary;
  if (!m.problem.empty()) values += (values.empty() ? "" : "; ") + m.problem;
  if (!values.empty()) line += ": " + values;
  return line;
}

}  // namespace wire
