// The AC distribution unit: decodes its sections of the AC replies into its
// record and channel list, restores them from the cache, answers value keys and
// at each round end publishes its image, reports its alarms and hands the host
// its work item.
#pragma once
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "host/HostClock.h"
#include "host/KLDSPDevice.h"
#include "host/get_ttime.h"
#include "host/json.h"
#include "units/ac/AcAlarmRows.h"
#include "units/ac/ChannelKey.h"
#include "units/common/AlarmTable.h"
#include "units/common/Freshness.h"
#include "units/common/HistoryImage.h"
#include "units/common/RecordBytes.h"
#include "units/common/ReplyCursor.h"
#include "units/common/RoundEnd.h"
#include "units/common/RoundWork.h"
#include "units/common/Settings.h"

template <typename TeleAC, typename TeleACChannel, int RT_AC>
class PMBusPowerAC : public KLDSPDevice {
 public:
  PMBusPowerAC() = default;
  // A device is one unit on one line: neither copied nor moved.
  PMBusPowerAC(const PMBusPowerAC&) = delete;
  PMBusPowerAC& operator=(const PMBusPowerAC&) = delete;
  PMBusPowerAC(PMBusPowerAC&&) = delete;
  PMBusPowerAC& operator=(PMBusPowerAC&&) = delete;
  ~PMBusPowerAC() override = default;

  float Get_Value(unsigned index, const std::string& key) const override;
  int LoadFromCache(const unsigned char* data, int length) override;
  using KLDSPDevice::LoadFromCache;
  void RoundDone() override;
  bool InitV(KLDVDevice* parent, unsigned id, const Json::Value& config) override;

  // Decoders of this unit's section of a reply's info field: `p` its first
  // byte, `len` the bytes left. Return the bytes the section took, or -1.
  virtual int parse40_41(const unsigned char* p, int len);
  virtual int parse40_43(const unsigned char* p, int len);
  virtual int parse40_44(const unsigned char* p, int len);
  // Model-specific alarms, after the built-in ones of each round.
  virtual void DoImpCheckAlert() = 0;

  const TeleAC& Record() const { return record_; }
  const std::vector<TeleACChannel>& Channels() const { return channels_; }
  float DiffV() const { return diff_v; }
  float DiffI() const { return diff_i; }
  const units::HistoryImage& HistoryImage() const { return history_; }

 private:
  static constexpr std::size_t kRecordSize = sizeof(TeleAC);
  static constexpr std::size_t kChannelSize = sizeof(TeleACChannel);
  static constexpr unsigned char C = TeleACChannel::P40_41_SIZE();
  static constexpr unsigned char D = TeleACChannel::p40_44_SIZE();
  static_assert(std::is_trivially_copyable_v<TeleAC> && std::is_trivially_copyable_v<TeleACChannel>);
  static_assert(sizeof(TeleAC::ttime) == std::tuple_size_v<ttime_t>);
  static_assert(sizeof(TeleAC::channel_count) == 1);

  // The six record keys of Get_Value.
  struct RecordKey {
    std::string_view key;  // value key (lengths compared first, so a channel key is passed over at once)
    std::size_t offset;    // field offset in the record
    bool isFloat;          // 4-byte float, else one status byte
  };
  static constexpr RecordKey kRecordKeys[] = {
      {"ia", offsetof(TeleAC, ia), true},
      {"ib", offsetof(TeleAC, ib), true},
      {"ic", offsetof(TeleAC, ic), true},
      {"ia_alert", offsetof(TeleAC, ia_alert), false},
      {"ib_alert", offsetof(TeleAC, ib_alert), false},
      {"ic_alert", offsetof(TeleAC, ic_alert), false},
  };
  // The channel values, by the character after "channel_<n>_".
  struct ChannelItem {
    char item;           // key character
    std::size_t offset;  // 4-byte field offset in the channel record
  };
  static constexpr ChannelItem kChannelItems[] = {
      {'a', offsetof(TeleACChannel, a)},
      {'b', offsetof(TeleACChannel, b)},
      {'c', offsetof(TeleACChannel, c)},
      {'f', offsetof(TeleACChannel, f)},
  };

  int Overflow(const char* format, const units::ReplyCursor& cur, int len) const {
    InfoLog(format, DataId(), cur.overflowEnd(), len);
    return -1;
  }

  TeleAC record_{};                      // zero-filled until decoded or restored
  std::vector<TeleACChannel> channels_;  // always record_.channel_count entries
  float diff_v = 20.0f;
  float diff_i = 20.0f;
  units::HistoryImage history_;          // record + channels, made at the first round end

  using Rows = units::ac::AcAlarmRows<TeleAC, TeleACChannel>;
  units::AlarmTable channelAlarms_{Rows::kChannel};
  units::AlarmTable currentAlarms_{Rows::kCurrent};
  units::RoundWork roundWork_;
};

template <typename TeleAC, typename TeleACChannel, int RT_AC>
bool PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::InitV(KLDVDevice* parent, unsigned id,
                                                       const Json::Value& config) {
  const units::NumberSetting settings[] = {{"diff_v", &diff_v}, {"diff_i", &diff_i}};
  return units::InitUnit(*this, record_.data_id, parent, id, config, settings,
                         "PMBusPowerAC:ProcotolError {} appSetting {} is not a number");
}

template <typename TeleAC, typename TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_41(const unsigned char* p, int len) {
  static constexpr const char* kOverflow = "PMBusPowerAC:ProcotolError {} read 40_41 read overflow {} - {}";
  units::ReplyCursor cur(p, len);
  unsigned char m = 0;
  if (!cur.Read(m)) return Overflow(kOverflow, cur, len);
  if (channels_.empty()) {
    record_.channel_count = m;
    channels_.assign(m, TeleACChannel{});
  } else if (record_.channel_count != m) {
    return -1;
  }
  for (TeleACChannel& ch : channels_) {
    for (unsigned char* field : {ch.a, ch.b, ch.c, ch.f}) cur.Value(field, units::kZeroValue);
    if (!cur.ok()) return Overflow(kOverflow, cur, len);
    // %g is the stream's default float format; one call formats the line, a flush sends it.
    std::printf("a:%g b:%g c:%g f:%g\n", units::LoadFloat(ch.a), units::LoadFloat(ch.b),
                units::LoadFloat(ch.c), units::LoadFloat(ch.f));
    std::fflush(stdout);
    if (!cur.Read(ch.p41)) return Overflow(kOverflow, cur, len);
    if (ch.p41 != C) {
      InfoLog("PMBusPowerAC:ProcotolError {} read 40_41 p is {} not {}", DataId(),
              static_cast<unsigned>(ch.p41), static_cast<unsigned>(C));
      cur.Skip(4L * ch.p41);
      continue;
    }
    if constexpr (C > 0) {
      for (unsigned k = 0; k < C; ++k) cur.Value(ch.user41 + 4 * k, units::kMinusTenthValue);
    }
  }
  for (unsigned char* field : {record_.ia, record_.ib, record_.ic})
    cur.Value(field, units::kMinusTenthValue);
  if (!cur.ok()) return Overflow(kOverflow, cur, len);
  return cur.pos();
}

template <typename TeleAC, typename TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_43(const unsigned char* p, int len) {
  static constexpr const char* kOverflow = "PMBusPowerAC:ProcotolError {} read 40_43 read overflow {} - {}";
  constexpr unsigned char A = TeleAC::AIRLOCK_MAX();
  constexpr unsigned char B = TeleAC::P40_43_SIZE();
  units::ReplyCursor cur(p, len);
  if (!cur.Read(record_.airlock_count)) return Overflow(kOverflow, cur, len);
  if (record_.airlock_count > A) {
    InfoLog("ProcotolError %u read 40_43 m is %d max %d", DataId(),
            static_cast<unsigned>(record_.airlock_count), static_cast<unsigned>(A));
    return -1;
  }
  cur.CopyTo(record_.airlock, record_.airlock_count);
  if (!cur.Read(record_.p43)) return Overflow(kOverflow, cur, len);
  if (record_.p43 != B) {
    InfoLog("PMBusPowerAC:ProcotolError P{} read 40_43 p is {} not {}", DataId(),
            static_cast<unsigned>(record_.p43), static_cast<unsigned>(B));
    // The skipped bytes are not read, so the result is not held to len.
    cur.Skip(record_.p43);
    return cur.pos();
  }
  if (!cur.CopyTo(record_.user43, B)) return Overflow(kOverflow, cur, len);
  return cur.pos();
}

template <typename TeleAC, typename TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::parse40_44(const unsigned char* p, int len) {
  static constexpr const char* kOverflow = "PMBusPowerAC:ProcotolError {} read 40_44 read overflow {} - {}";
  units::ReplyCursor cur(p, len);
  cur.Skip(1);  // byte 0 carries nothing the unit reads
  for (TeleACChannel& ch : channels_) {
    for (unsigned char* field : {&ch.a_alert, &ch.b_alert, &ch.c_alert, &ch.f_alert}) cur.Read(*field);
    unsigned char n = 0;
    if (!cur.Read(n)) return Overflow(kOverflow, cur, len);
    if (n != 0) {
      InfoLog("PMBusPowerAC:ProcotolError {} read 40_44 m is {}", DataId(), static_cast<unsigned>(n));
      cur.Skip(n);
    }
    if (!cur.Read(ch.p44)) return Overflow(kOverflow, cur, len);
    if (ch.p44 != D) {
      InfoLog("PMBusPowerAC:ProcotolError {} read 40_44 p is {} not {}", DataId(),
              static_cast<unsigned>(ch.p44), static_cast<unsigned>(D));
      cur.Skip(ch.p44);
      continue;
    }
    cur.CopyTo(ch.user44, D);
  }
  for (unsigned char* field : {&record_.ia_alert, &record_.ib_alert, &record_.ic_alert}) cur.Read(*field);
  if (!cur.ok()) return Overflow(kOverflow, cur, len);
  return cur.pos();
}

template <typename TeleAC, typename TeleACChannel, int RT_AC>
int PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::LoadFromCache(const unsigned char* data, int length) {
  if (data == nullptr || length <= static_cast<int>(kRecordSize)) return 0;
  // The count is checked against the length before anything changes: a
  // refused image leaves the record and the channel list as they were.
  const unsigned char count = data[offsetof(TeleAC, channel_count)];
  const std::size_t rest = static_cast<std::size_t>(length) - kRecordSize;
  if (rest != kChannelSize * count) return 0;
  std::memcpy(&record_, data, kRecordSize);
  channels_.resize(count);
  std::memcpy(channels_.data(), data + kRecordSize, rest);
  dataReady_ = true;
  lastUpdate_ = host_clock::LocalSecondClock();
  return 1;
}

template <typename TeleAC, typename TeleACChannel, int RT_AC>
float PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::Get_Value(unsigned index, const std::string& key) const {
  (void)index;
  units::ThrowUnlessFresh(*this);
  const auto* bytes = reinterpret_cast<const unsigned char*>(&record_);
  for (const RecordKey& row : kRecordKeys) {
    if (std::string_view(key) == row.key)
      return row.isFloat ? units::LoadFloat(bytes + row.offset) : static_cast<float>(bytes[row.offset]);
  }
  units::ac::ChannelKey found;
  if (!units::ac::FindChannelKey(key, found)) throw std::out_of_range(units::kNotProvided);
  if (static_cast<std::size_t>(found.number) >= channels_.size())
    throw std::out_of_range(units::kChannelOutOfRange);
  const auto* channel = reinterpret_cast<const unsigned char*>(&channels_[found.number]);
  for (const ChannelItem& row : kChannelItems) {
    if (found.item == row.item) return units::LoadFloat(channel + row.offset);
  }
  throw std::out_of_range(units::kNotProvided);
}

template <typename TeleAC, typename TeleACChannel, int RT_AC>
void PMBusPowerAC<TeleAC, TeleACChannel, RT_AC>::RoundDone() {
  auto image = [this](std::size_t& length) {
    history_.Fill(record_, channels_);
    length = history_.length;
    return history_.data.get();
  };
  units::EndRound(*this, record_.ttime, RT_AC, roundWork_, image, [this] {
    channelAlarms_.RaiseEach(*this, channels_.data(), channels_.size());
    currentAlarms_.RaiseOnce(*this, record_);
    DoImpCheckAlert();
  });
}
