// Pairing: per address the command awaiting its reply; a queue keeps the
// frames in order while a command's fate is open, bounded in length and time.
#include "tools/host/wire/Pairing.h"

#include <cmath>

namespace wire {

Pairing::Pairing(Sink sink, double replyTimeout) : sink_(std::move(sink)), timeout_(replyTimeout) {}

// The side a frame came from decides; else its CID2: a command's is 40H..7FH,
// a reply's is its return code, 00H..3FH. From 80H up both occur (the device's
// own return codes, user commands): a reply when a command awaits one.
Role Pairing::RoleOf(const Frame& f) const {
  if (f.direction == Direction::ToDevice) return Role::Command;
  if (f.direction == Direction::FromDevice) return Role::Reply;
  if (f.cid2 < 0x40) return Role::Reply;
  if (f.cid2 < 0x80) return Role::Command;
  return pending_[f.adr] != kNone ? Role::Reply : Role::Command;
}

Pairing::Held* Pairing::Find(std::uint64_t number) {
  if (number == kNone || held_.empty() || number < held_.front().frame.number) return nullptr;
  for (auto& h : held_)
    if (h.frame.number == number) return &h;
  return nullptr;
}

void Pairing::Unanswered(Held& h) {
  h.frame.pair = Pair::NoReply;
  h.resolved = true;
  ++stats_.noReply;
  if (pending_[h.frame.adr] == h.frame.number) pending_[h.frame.adr] = kNone;
  if (lastCommand_ == h.frame.number) lastCommand_ = kNone;
}

void Pairing::Release() {
  while (!held_.empty() && held_.front().resolved) {
    sink_(std::move(held_.front().frame));
    held_.pop_front();
  }
}

void Pairing::Expire(double now) {
  // Commands older than the time-out, or beyond the queue's bound, had no reply.
  for (auto& h : held_) {
    if (h.resolved) continue;
    const bool late = std::isfinite(now) && std::isfinite(h.frame.time) && now - h.frame.time > timeout_;
    if (late || held_.size() >= kMaxHeld) Unanswered(h);
    else break;
  }
  Release();
}

void Pairing::Add(Frame&& frame) {
  Expire(frame.time);

  Held h{std::move(frame), true};
  Frame& f = h.frame;
  if (f.header) {
    f.role = RoleOf(f);
    if (f.role == Role::Command) {
      if (Held* other = Find(lastCommand_)) {
        // Another command still awaits its reply, within the time-out: two
        // masters on the line. The earlier one keeps waiting unless this one
        // asks the same address, whose reply answers the later command.
        other->frame.collision = f.collision = true;
        ++stats_.collisions;
      }
      if (Held* earlier = Find(pending_[f.adr])) Unanswered(*earlier);
      pending_[f.adr] = lastCommand_ = f.number;
      h.resolved = false;
    } else if (Held* command = Find(pending_[f.adr])) {
      Frame& c = command->frame;
      c.pair = f.pair = Pair::Paired;
      f.commandCid2 = c.cid2;
      f.pairedWith = c.number;
      c.pairedWith = f.number;
      f.latency = f.time - c.time;
      command->resolved = true;
      pending_[f.adr] = kNone;
      if (lastCommand_ == c.number) lastCommand_ = kNone;
      ++stats_.paired;
    } else {
      f.pair = Pair::NoCommand;
      ++stats_.noCommand;
    }
  }
  held_.push_back(std::move(h));
  Release();
}

void Pairing::Finish() {
  for (auto& h : held_)
    if (!h.resolved) Unanswered(h);
  Release();
}

}  // namespace wire
