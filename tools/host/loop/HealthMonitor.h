// Communication health of one port device, from what the poll loop sees:
// online, no reply (time-outs in a row), comm lost (no round for too long),
// line down. Time is handed in, so the rules are tested without waiting.
#pragma once
#include <chrono>
#include <optional>
#include <string>

#include "tools/host/stream/Observation.h"

namespace runner {

// A point in time on both clocks: the steady one for the rules, the wall one for the words.
struct Moment {
  std::chrono::steady_clock::time_point mono;
  Millis wall = 0;
  static Moment Now() { return {std::chrono::steady_clock::now(), WallMillis()}; }
};

class HealthMonitor {
 public:
  using Change = std::optional<HealthChanged>;
  explicit HealthMonitor(std::chrono::milliseconds commLostAfter, unsigned noReplyAfter = 3);

  void Started(Moment now);
  void CommandSent(Moment now, const std::string& command);  // "40/41"
  Change ReplyCame(Moment now);
  void Rejected(const std::string& reason);
  Change TimedOut(Moment now);
  Change RoundEnded(Moment now, double ms);
  Change LineDown(Moment now, const std::string& why, std::chrono::milliseconds reopenIn);
  Change LineUp(Moment now, const std::string& line);
  Change Tick(Moment now);
  // Why rounds cannot end (a settings mismatch); said when communication is lost.
  void SetCause(std::string cause) { cause_ = std::move(cause); }

  Health state() const { return state_; }
  Millis lastRoundWall() const { return lastRound_.wall; }

 private:
  Change To(Health next, std::string message);

  std::chrono::milliseconds commLostAfter_;
  unsigned noReplyAfter_;
  Health state_ = Health::Starting;
  Moment lastRound_{}, lastCommand_{}, lostAt_{}, streakSince_{};
  bool anyRound_ = false;
  std::string command_, streakCommand_, cause_, lastReject_;
  unsigned timeoutsInRow_ = 0, rejected_ = 0;
};

}  // namespace runner
