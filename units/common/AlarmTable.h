// The one evaluator of alarm rows: a unit's constant table with the call
// strings of its rows, reported on a record or on each item of a list.
#pragma once
#include <cstddef>
#include <string>
#include <type_traits>
#include <vector>

#include "host/KLDVDevice.h"
#include "units/common/Alarm.h"
#include "units/common/AlarmRow.h"

namespace units {

class AlarmTable {
 public:
  // The first `used` rows of `rows` (all of them by default).
  template <std::size_t R>
  explicit AlarmTable(const AlarmRow (&rows)[R], std::size_t used = R) : rows_(rows), count_(used < R ? used : R) {}

  std::size_t size() const { return count_; }

  // Builds the call strings of every row for `items` items (1 for rows reported
  // once). They depend only on that count, so they are built again only when it
  // changes: a round with the count of the round before allocates nothing.
  void Prepare(std::size_t items) {
    if (prepared_.size() == items * count_) return;  // for count_ 0 there is nothing to build
    prepared_.clear();
    prepared_.reserve(items * count_);
    for (std::size_t k = 0; k < items; ++k) {
      for (std::size_t r = 0; r < count_; ++r) {
        const AlarmRow& row = rows_[r];
        std::string text = row.items.prefix == nullptr
                               ? std::string(row.text)
                               : row.items.prefix + std::to_string(k + 1) + row.text;
        prepared_.push_back(PreparedAlarm{row.level, row.key, row.code, row.name, std::move(text)});
      }
    }
  }

  // Reports every row once on `record`, each with the next alarm slot.
  template <typename Record>
  void RaiseOnce(KLDVDevice& device, const Record& record) {
    RaiseEach(device, &record, 1, [](std::size_t) { return true; });
  }

  // Reports every row for items 0 to count-1, item after item, each with the
  // next alarm slot; an item `wanted(k)` refuses reports nothing and takes no slot.
  template <typename Item, typename Wanted>
  void RaiseEach(KLDVDevice& device, const Item* items, std::size_t count, Wanted wanted) {
    static_assert(std::is_trivially_copyable_v<Item>, "rows test the bytes of a packed record");
    Prepare(count);
    for (std::size_t k = 0; k < count; ++k) {
      if (!wanted(k)) continue;
      const auto* bytes = reinterpret_cast<const unsigned char*>(&items[k]);
      for (std::size_t r = 0; r < count_; ++r) {
        const AlarmRow& row = rows_[r];
        RaiseAlarm(device, prepared_[k * count_ + r], AlarmActive(row.test, row.arg, bytes[row.byte]));
      }
    }
  }
  template <typename Item>
  void RaiseEach(KLDVDevice& device, const Item* items, std::size_t count) {
    RaiseEach(device, items, count, [](std::size_t) { return true; });
  }

 private:
  const AlarmRow* rows_;
  std::size_t count_;
  std::vector<PreparedAlarm> prepared_;  // row r of item k at k * count_ + r
};

}  // namespace units
