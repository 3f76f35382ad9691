// The pairing step: tells commands from replies, pairs each command with the
// next reply from the same address and hands the frames on in their order.
#pragma once
#include <array>
#include <cstdint>
#include <deque>
#include <functional>

#include "tools/host/wire/Frame.h"

namespace wire {

class Pairing {
 public:
  using Sink = std::function<void(Frame&&)>;
  // A command with no reply after `replyTimeout` seconds is unanswered; a
  // command within that time of another still unanswered is a collision.
  explicit Pairing(Sink sink, double replyTimeout = 1.0);

  // Frames in the order they began. A command is held (with the frames after
  // it) until its reply, the next command to its address, or its time-out.
  void Add(Frame&& frame);
  // The time is now `now` (seconds since the epoch): commands older than the
  // time-out are unanswered and handed on with what they held back.
  void Expire(double now);
  // The end of the capture: every held command is unanswered.
  void Finish();

  struct Stats {
    std::uint64_t paired = 0, noReply = 0, noCommand = 0, collisions = 0;
  };
  const Stats& stats() const { return stats_; }

 private:
  struct Held {
    Frame frame;
    bool resolved;
  };
  static constexpr std::size_t kMaxHeld = 4096;
  static constexpr std::uint64_t kNone = 0;

  Role RoleOf(const Frame& f) const;
  Held* Find(std::uint64_t number);
  void Unanswered(Held& h);
  void Release();

  Sink sink_;
  double timeout_;
  std::deque<Held> held_;
  std::array<std::uint64_t, 256> pending_{};  // per address: the number of the command awaiting a reply
  std::uint64_t lastCommand_ = kNone;         // the latest command still awaiting a reply
  Stats stats_;
};

}  // namespace wire
