// Shares the one line between the systems' drivers: one holds it at a time,
// from its first command until its round ends, fails, or a reply does not
// come; then the others are offered it in turn, starting after the one that
// let it go, so a system that does not answer costs the others at most one
// time-out per turn.
#pragma once
#include <cstddef>
#include <functional>
#include <limits>

namespace runner {

class LineArbiter {
 public:
  static constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
  // `offer` asks a driver to take its turn now (it may have nothing to send).
  using Offer = std::function<void(std::size_t driver)>;
  // `later` runs a function after the current handler (asio::post).
  using Later = std::function<void(std::function<void()>)>;

  LineArbiter(std::size_t drivers, Offer offer, Later later)
      : drivers_(drivers), offer_(std::move(offer)), later_(std::move(later)) {}

  bool MayTake(std::size_t driver) const { return holder_ == kNone || holder_ == driver; }
  void Take(std::size_t driver) { holder_ = last_ = driver; }
  // The driver that holds the line, else the one that held it last (kNone: none yet):
  // bytes read go to it, so a stray or late reply counts for the system asked.
  std::size_t Addressee() const { return holder_ != kNone ? holder_ : last_; }
  bool Holds(std::size_t driver) const { return holder_ == driver; }

  // The holder lets the line go; the others are offered it in turn. A single
  // driver is not offered it again: its own poll timer paces it.
  void Release(std::size_t driver) {
    if (holder_ != driver) return;
    holder_ = kNone;
    if (drivers_ < 2) return;
    later_([this, driver] {
      for (std::size_t k = 1; k < drivers_ && holder_ == kNone; ++k) offer_((driver + k) % drivers_);
    });
  }

 private:
  std::size_t drivers_;
  Offer offer_;
  Later later_;
  std::size_t holder_ = kNone, last_ = kNone;
};

}  // namespace runner
