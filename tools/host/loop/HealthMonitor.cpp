// The health rules and the plain words of each change.
#include "tools/host/loop/HealthMonitor.h"

#include <fmt/chrono.h>
#include <fmt/format.h>

#include <cmath>
#include <ctime>

namespace runner {

namespace {

long long SecondsBetween(const Moment& from, const Moment& to) {
  return std::llround(std::chrono::duration<double>(to.mono - from.mono).count());
}

}  // namespace

HealthMonitor::HealthMonitor(std::chrono::milliseconds commLostAfter, unsigned noReplyAfter)
    : commLostAfter_(commLostAfter), noReplyAfter_(noReplyAfter) {}

HealthMonitor::Change HealthMonitor::To(Health next, std::string message) {
  if (next == state_) return std::nullopt;
  HealthChanged c{next, state_, std::move(message)};
  state_ = next;
  return c;
}

void HealthMonitor::Started(Moment now) {
  lastRound_ = now;  // the comm-lost clock runs from the start
}

void HealthMonitor::CommandSent(Moment now, const std::string& command) {
  lastCommand_ = now;
  command_ = command;
}

HealthMonitor::Change HealthMonitor::ReplyCame(Moment) {
  const unsigned missed = timeoutsInRow_;
  timeoutsInRow_ = 0;
  if (state_ != Health::NoReply) return std::nullopt;
  return To(Health::Online, fmt::format("REPLYING again after {} time-outs", missed));
}

void HealthMonitor::Rejected(const std::string& reason) {
  ++rejected_;
  lastReject_ = reason;
}

HealthMonitor::Change HealthMonitor::TimedOut(Moment) {
  if (timeoutsInRow_++ == 0) {
    streakCommand_ = command_;
    streakSince_ = lastCommand_;
  }
  if (timeoutsInRow_ < noReplyAfter_ || (state_ != Health::Starting && state_ != Health::Online))
    return std::nullopt;
  return To(Health::NoReply, fmt::format("NO REPLY: {} time-outs in a row, to {} since {}", timeoutsInRow_,
                                         streakCommand_, LocalClock(streakSince_.wall)));
}

HealthMonitor::Change HealthMonitor::RoundEnded(Moment now, double ms) {
  const bool first = !anyRound_;
  anyRound_ = true;
  lastRound_ = now;
  timeoutsInRow_ = rejected_ = 0;
  cause_.clear();
  if (state_ == Health::CommLost || state_ == Health::LineDown)
    return To(Health::Online, fmt::format("COMM RESTORED after {} s", SecondsBetween(lostAt_, now)));
  if (first) return To(Health::Online, fmt::format("ONLINE: first round in {:.0f} ms", ms));
  return To(Health::Online, "ONLINE");
}

HealthMonitor::Change HealthMonitor::LineDown(Moment now, const std::string& why, std::chrono::milliseconds reopenIn) {
  if (state_ == Health::LineDown) return std::nullopt;
  if (state_ != Health::CommLost) lostAt_ = now;
  timeoutsInRow_ = 0;
  return To(Health::LineDown, fmt::format("LINE DOWN: {}; reopening in {:g} s", why, reopenIn.count() / 1000.0));
}

HealthMonitor::Change HealthMonitor::LineUp(Moment, const std::string& line) {
  if (state_ != Health::LineDown) return std::nullopt;
  return To(Health::CommLost, fmt::format("LINE UP: {} open again; no round since {}", line,
                                          LocalClock(lastRound_.wall)));
}

HealthMonitor::Change HealthMonitor::Tick(Moment now) {
  if (state_ == Health::CommLost || state_ == Health::LineDown) return std::nullopt;
  if (now.mono - lastRound_.mono <= commLostAfter_) return std::nullopt;
  lostAt_ = now;
  const std::string since = LocalClock(lastRound_.wall);
  std::string message;
  if (timeoutsInRow_ > 0)
    message = fmt::format("COMM LOST: no reply to {} since {}, {} time-outs", streakCommand_,
                          LocalClock(streakSince_.wall), timeoutsInRow_);
  else if (!cause_.empty())
    message = fmt::format("COMM LOST: no round completed since {}: {}", since, cause_);
  else if (rejected_ > 0)
    message = fmt::format("COMM LOST: no round completed since {}, {} frames rejected (last: {})", since, rejected_,
                          lastReject_);
  else
    message = fmt::format("COMM LOST: no round completed since {}", since);
  return To(Health::CommLost, message);
}

}  // namespace runner
