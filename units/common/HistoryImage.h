// A unit's history image: its record followed by its channel or module
// records; the bytes it publishes, saves and accepts back from the cache.
#pragma once
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace units {

struct HistoryImage {
  std::uint32_t length = 0;
  std::unique_ptr<unsigned char[]> data;  // empty until the first round ends

  // Copies the record and its items in; the buffer is made anew only when the
  // length changes (the first round, or a restore that changed the count).
  template <typename Record, typename Item>
  void Fill(const Record& record, const std::vector<Item>& items) {
    const std::size_t need = sizeof(Record) + sizeof(Item) * items.size();
    if (!data || length != need) {
      data.reset(new unsigned char[need]());
      length = static_cast<std::uint32_t>(need);
    }
    std::memcpy(data.get(), &record, sizeof(Record));
    if (!items.empty()) std::memcpy(data.get() + sizeof(Record), items.data(), sizeof(Item) * items.size());
  }
};

}  // namespace units
