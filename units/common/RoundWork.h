// The work item a unit hands the host at the end of each round: run the batched
// threshold rules, fold their result into thresholdFlag_, save the history image.
//
// The item may run later and on another thread while the next round rewrites
// the unit's live image, so it saves its own copy of the image as it stood at
// the end of its round. Slots (rules, image copy, owner) are pooled and reused
// once the host has run their item, and the item handed over captures only a
// slot pointer (stored inside std::function without allocating), so a steady
// round allocates nothing here. A slot holds a shared owner of the device until
// its item has run, as the item must keep the device alive.
#pragma once
#include <atomic>
#include <memory>
#include <vector>

#include "host/KLDVDevice.h"

namespace units {

class RoundWork {
 public:
  RoundWork() = default;
  RoundWork(const RoundWork&) = delete;
  RoundWork& operator=(const RoundWork&) = delete;

  // Moves the device's pending rules into a work item with a copy of `image`
  // and hands it to the host; the device's rule list is left empty, with room
  // for as many rules as it held.
  void Submit(KLDVDevice& device, const unsigned char* image, std::size_t length) {
    const std::size_t pending = device.rules_.size();
    Slot& slot = FreeSlot();
    slot.busy.store(true, std::memory_order_relaxed);
    slot.device = &device;
    slot.owner = device.weak_from_this().lock();  // empty when the host does not share-own it
    slot.rules.clear();
    slot.rules.swap(device.rules_);
    slot.image.assign(image, image + length);
    Slot* s = &slot;
    device.CheckThresholdWork([s] { s->Run(); });
    device.rules_.reserve(pending);
  }

  // Slots made so far (one more only when the host is behind with the items).
  std::size_t SlotCount() const { return slots_.size(); }

 private:
  struct Slot {
    std::atomic<bool> busy{false};
    KLDVDevice* device = nullptr;
    std::shared_ptr<KLDVDevice> owner;
    std::vector<rule_value> rules;
    std::vector<unsigned char> image;

    void Run() {
      if (!busy.load(std::memory_order_acquire)) return;  // an item run twice does nothing more
      KLDVDevice& d = *device;
      const bool changed = d.DoBatchCheckThreshold(rules);
      d.thresholdFlag_ = d.thresholdFlag_ || changed;
      d.SaveDeviceHistory(image.data(), static_cast<unsigned>(image.size()));
      rules.clear();
      std::shared_ptr<KLDVDevice> keep = std::move(owner);
      busy.store(false, std::memory_order_release);
      // `keep` may be the last owner: the device and this slot may go with it.
    }
  };

  Slot& FreeSlot() {
    for (auto& s : slots_)
      if (!s->busy.load(std::memory_order_acquire)) return *s;
    slots_.push_back(std::make_unique<Slot>());
    return *slots_.back();
  }

  std::vector<std::unique_ptr<Slot>> slots_;
};

}  // namespace units
