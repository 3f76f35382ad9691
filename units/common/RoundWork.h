// The work item a unit hands the host at the end of each round: run the batched
// threshold rules, fold their result into thresholdFlag_, save the history image.
//
// The item may run later and on another thread while the next round rewrites
// the unit's live image, so it saves its own copy of the image as it stood at
// the end of its round. A pending item's slot holds the rules, that copy and a
// shared owner of the unit, which keeps the unit alive until the item runs.
//
// The host may also never run an item (it drops its queue, or has no
// controller to take it), and nothing tells the unit so: the item handed over
// is 8 bytes with no destructor, so that std::function keeps it in place and a
// steady round allocates nothing. So the slots are bounded: a unit without a
// controller makes no item at all, and once kMostPending items wait, the oldest
// is given up (its owner let go, a log line says so) and its slot reused.
//
// An item names its slot by a ticket in a process-wide table that is never
// freed, with the seal the ticket bore when the item was made. A slot's seal
// changes when its item runs, is given up or its unit goes, so an item that
// comes too late finds another seal and does nothing, never a freed slot.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

#include "host/KLDVDevice.h"

namespace units {

class RoundWork {
 public:
  // Items the host may hold unrun for one unit before the oldest is given up.
  static constexpr std::size_t kMostPending = 256;

  RoundWork() = default;
  RoundWork(const RoundWork&) = delete;
  RoundWork& operator=(const RoundWork&) = delete;
  // Items of this unit that the host still holds find their seals changed.
  ~RoundWork() {
    for (auto& s : slots_) {
      Ticket& t = Tickets()[s->ticket];
      t.seal.store(NextFree(t.seal.load(std::memory_order_acquire)), std::memory_order_release);
      t.slot.store(nullptr, std::memory_order_release);
    }
  }

  // Moves the device's pending rules into a work item with a copy of `image`
  // and hands it to the host; the device's rule list is left empty, with room
  // for as many rules as it held.
  void Submit(KLDVDevice& device, const unsigned char* image, std::size_t length) {
    const std::size_t pending = device.rules_.size();
    if (device.controller_.expired()) {
      // The host base would drop the item unrun: none is made.
      device.rules_.clear();
      device.InfoLog(kNoController, device.DataId());
      return;
    }
    Slot* slot = TakeSlot(device);
    if (slot == nullptr) {
      device.rules_.clear();
      device.InfoLog(kNoRoom, device.DataId());
      return;
    }
    slot->round = ++rounds_;
    slot->device = &device;
    slot->owner = device.weak_from_this().lock();  // empty when the host does not share-own it
    slot->rules.clear();
    slot->rules.swap(device.rules_);
    slot->image.assign(image, image + length);
    Ticket& t = Tickets()[slot->ticket];
    const std::uint32_t busy = t.seal.load(std::memory_order_relaxed) | kBusy;
    t.seal.store(busy, std::memory_order_release);
    device.CheckThresholdWork(Item{slot->ticket, busy});
    device.rules_.reserve(pending);
  }

  // Slots made so far (more than one only when the host is behind with the items).
  std::size_t SlotCount() const { return slots_.size(); }

 private:
  static constexpr const char* kGivenUp =
      "RoundWork:WorkError {} the host holds {} work items unrun, the oldest is given up";
  static constexpr const char* kNoRoom =
      "RoundWork:WorkError {} no room for another pending work item, this round's is given up";
  static constexpr const char* kNoController =
      "RoundWork:WorkError {} no controller takes the work item, it is given up";

  // A seal: a generation in the upper bits, the slot's phase in the lowest two.
  static constexpr std::uint32_t kBusy = 1;     // its item waits for the host
  static constexpr std::uint32_t kRunning = 2;  // its item runs
  static constexpr std::uint32_t NextFree(std::uint32_t seal) { return (seal | 3U) + 1U; }

  struct Slot {
    std::uint32_t ticket = 0;
    std::uint64_t round = 0;  // when its item was made, to find the oldest
    KLDVDevice* device = nullptr;
    std::shared_ptr<KLDVDevice> owner;
    std::vector<rule_value> rules;
    std::vector<unsigned char> image;
  };

  struct Ticket {
    std::atomic<std::uint32_t> seal{0};
    std::atomic<Slot*> slot{nullptr};  // null while no unit uses the ticket
  };
  static constexpr std::uint32_t kTickets = 1024;
  static Ticket* Tickets() {
    static Ticket table[kTickets];
    return table;
  }

  // What the host holds: the slot's ticket and the seal it bore.
  struct Item {
    std::uint32_t ticket;
    std::uint32_t seal;

    void operator()() const {
      Ticket& t = Tickets()[ticket];
      std::uint32_t expected = seal;
      // Given up, run already, or its unit is gone: nothing to do.
      if (!t.seal.compare_exchange_strong(expected, (seal & ~3U) | kRunning, std::memory_order_acq_rel))
        return;
      Slot& s = *t.slot.load(std::memory_order_acquire);
      KLDVDevice& d = *s.device;
      const bool changed = d.DoBatchCheckThreshold(s.rules);
      d.thresholdFlag_ = d.thresholdFlag_ || changed;
      d.SaveDeviceHistory(s.image.data(), static_cast<unsigned>(s.image.size()));
      s.rules.clear();
      std::shared_ptr<KLDVDevice> keep = std::move(s.owner);
      t.seal.store(NextFree(seal), std::memory_order_release);
      // `keep` may be the last owner: the device and the slot may go with it.
    }
  };
  static_assert(std::is_trivially_copyable_v<Item> && sizeof(Item) <= 8,
                "std::function keeps the item in place only when it is small and trivially copyable");

  static bool IsFree(const Slot& s) {
    return (Tickets()[s.ticket].seal.load(std::memory_order_acquire) & 3U) == 0;
  }

  // A free slot, a new one while fewer than kMostPending exist, else the slot
  // of the oldest item still waiting, given up. Null when none can be had.
  Slot* TakeSlot(const KLDVDevice& device) {
    for (auto& s : slots_)
      if (IsFree(*s)) return s.get();
    if (slots_.size() < kMostPending) {
      auto made = std::make_unique<Slot>();
      for (std::uint32_t k = 0; k < kTickets; ++k) {
        Slot* none = nullptr;
        if (Tickets()[k].slot.compare_exchange_strong(none, made.get(), std::memory_order_acq_rel)) {
          made->ticket = k;
          slots_.push_back(std::move(made));
          return slots_.back().get();
        }
      }
    }
    // The oldest item still waiting; one that starts to run meanwhile is passed over.
    for (std::size_t tries = 0; tries < slots_.size(); ++tries) {
      Slot* oldest = nullptr;
      std::uint32_t seal = 0;
      for (auto& s : slots_) {
        const std::uint32_t now = Tickets()[s->ticket].seal.load(std::memory_order_acquire);
        if ((now & 3U) == 0) return s.get();  // its item ran meanwhile
        if ((now & 3U) == kBusy && (oldest == nullptr || s->round < oldest->round)) {
          oldest = s.get();
          seal = now;
        }
      }
      if (oldest == nullptr) return nullptr;  // every item runs at this moment
      if (Tickets()[oldest->ticket].seal.compare_exchange_strong(seal, NextFree(seal),
                                                                 std::memory_order_acq_rel)) {
        oldest->owner.reset();
        oldest->rules.clear();
        device.InfoLog(kGivenUp, device.DataId(), slots_.size());
        return oldest;
      }
    }
    return nullptr;
  }

  std::vector<std::unique_ptr<Slot>> slots_;
  std::uint64_t rounds_ = 0;
};

}  // namespace units
