// The rectifier unit: decodes the rectifier replies and the AC and DC parameter
// replies into one record and the module records, publishes and saves them
// every round and raises the per-module alarms.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/HostClock.h"
#include "host/KLDSPDevice.h"
#include "host/get_ttime.h"
#include "units/common/AlarmRow.h"
#include "units/common/AlarmTable.h"
#include "units/common/Freshness.h"
#include "units/common/HistoryImage.h"
#include "units/common/RecordBytes.h"
#include "units/common/ReplyCursor.h"
#include "units/common/RoundEnd.h"
#include "units/common/RoundWork.h"

namespace units::rc {

// Module rows' texts: "模块", the module number from 1, then the row's text.
inline constexpr AlarmItems kPerModule{"模块"};

}  // namespace units::rc

template <typename TeleRC, typename TeleRCChannel, int RT_RC>
class PMBusPowerRC : public KLDSPDevice {
 public:
  PMBusPowerRC() = default;
  PMBusPowerRC(const PMBusPowerRC&) = delete;
  PMBusPowerRC& operator=(const PMBusPowerRC&) = delete;
  ~PMBusPowerRC() override = default;

  // The unit answers no key: "not ready", or "timed out" once the data is old.
  float Get_Value(unsigned index, const std::string& key) const override {
    (void)index;
    (void)key;
    units::ThrowUnlessFresh(*this);
    throw std::out_of_range(units::kNotReady);
  }

  // Restores the record and the modules from a history image; 1 when taken,
  // 0 for no image at all or one that does not fit.
  int LoadFromCache(const unsigned char* data, int len) override {
    constexpr int kRecord = static_cast<int>(sizeof(TeleRC));
    constexpr int kModule = static_cast<int>(sizeof(TeleRCChannel));
    std::printf("rc data_len:%d vs %d\n", len, kRecord);
    if (data == nullptr || len < kRecord) return 0;
    // The count is checked against the length before anything changes: a
    // refused image leaves the record and the modules as they were.
    static_assert(sizeof(TeleRC::channel_count) == 1);
    const unsigned char count = data[offsetof(TeleRC, channel_count)];
    const int left = len - kRecord;
    std::printf("rc channelLen %d and %u left:%d\n", kModule, static_cast<unsigned>(count), left);
    if (left != kModule * static_cast<int>(count)) return 0;
    std::memcpy(&record_, data, sizeof(TeleRC));
    modules_.resize(count);
    if (left > 0)
      std::memcpy(static_cast<void*>(modules_.data()), data + kRecord, static_cast<std::size_t>(left));
    dataReady_ = true;
    lastUpdate_ = host_clock::LocalSecondClock();
    return 1;
  }
  using KLDSPDevice::LoadFromCache;

  // End of a polling round: stamp, publish, report every alarm, hand over the work item.
  void RoundDone() override {
    auto image = [this](std::size_t& length) {
      image_.Fill(record_, modules_);
      length = image_.length;
      return image_.data.get();
    };
    units::EndRound(*this, record_.ttime, RT_RC, work_, image, [this] {
      faultAlarms_.RaiseEach(*this, modules_.data(), modules_.size());
      DoImpCheckAlert();
    });
  }

  // Stores the id in the record, then lets the host take parent, id and settings.
  bool InitV(KLDVDevice* parent, unsigned dataId, const Json::Value& settings) override {
    units::StoreU32LE(record_.data_id, dataId);
    return KLDVDevice::InitV(parent, dataId, settings);
  }

  // (0x41, 0x41): data flag, system value, module count, then per module a value,
  // a count and that many user-defined values.
  virtual int parse41_41(const unsigned char* p, int len) {
    constexpr int kUser = TeleRCChannel::P41_41_SIZE();
    constexpr const char* kOverflow = "PMBusPowerAC:ProcotolError {} read 41_41 read overflow {} - {}";
    units::ReplyCursor in(p, len);
    in.Skip(1);  // data flag: the port device reads it
    in.CopyTo(record_.rc_value, 4);
    unsigned char count = 0;
    if (!in.Read(count)) return Overflow(kOverflow, in.overflowEnd(), len);
    if (modules_.empty()) {
      // The first reply (or the first after a count of 0) fixes the module count.
      record_.channel_count = count;
      modules_.assign(count, TeleRCChannel{});
    } else if (record_.channel_count != count) {
      return -1;
    }
    for (TeleRCChannel& m : modules_) {
      const unsigned char* head = in.Take(5);  // the value and the count, together or not at all
      if (!head) return Overflow(kOverflow, in.overflowEnd(), len);
      std::memcpy(m.value41, head, 4);
      m.p41 = head[4];
      if (m.p41 != kUser) {
        InfoLog("PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_41 p is {} not {}",
                DataId(), m.p41, kUser);
        in.Skip(4L * m.p41);
        continue;
      }
      if constexpr (kUser > 0) {
        for (int k = 0; k < kUser; ++k) in.Value(m.user41.bytes[k], units::kZeroValue);
        if (!in.ok())
          return Overflow("PMBusPowerAC:ProcotolError {} read 41_41 in channel overflow {} - {}",
                          in.overflowEnd(), len);
      }
    }
    if (in.Beyond()) return Overflow(kOverflow, in.pos(), len);
    return in.pos();
  }

  // (0x41, 0x43): data flag, module count, then per module three status bytes, a
  // count and that many user-defined bytes. Modules after the count keep their status.
  virtual int parse41_43(const unsigned char* p, int len) {
    constexpr int kUser = TeleRCChannel::P41_43_SIZE();
    constexpr const char* kOverflow = "PMBusPowerAC:ProcotolError {} read 41_43 read overflow {} - {}";
    units::ReplyCursor in(p, len);
    in.Skip(1);
    unsigned char count = 0;
    if (!in.Read(count)) return Overflow(kOverflow, in.overflowEnd(), len);
    if (count > modules_.size()) return -1;  // the list always holds channel_count modules
    for (std::size_t k = 0; k < count; ++k) {
      TeleRCChannel& m = modules_[k];
      const unsigned char* head = in.Take(4);  // the status bytes and the count
      if (!head) return Overflow(kOverflow, in.overflowEnd(), len);
      std::memcpy(m.status43, head, 3);
      m.p43 = head[3];
      if (m.p43 != kUser) {
        InfoLog("PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_43 p is {}, not {}",
                DataId(), m.p43, kUser);
        in.Skip(m.p43);
        continue;
      }
      if constexpr (kUser > 0) {
        if (!in.CopyTo(m.user43.data(), kUser)) return Overflow(kOverflow, in.overflowEnd(), len);
      }
    }
    if (in.Beyond()) return Overflow(kOverflow, in.pos(), len);
    return in.pos();
  }

  // (0x41, 0x44): data flag, module count, then per module the fault byte, a count
  // and that many user-defined alarm bytes.
  virtual int parse41_44(const unsigned char* p, int len) {
    constexpr int kUser = TeleRCChannel::P41_44_SIZE();
    constexpr const char* kOverflow = "PMBusPowerAC:ProcotolError {} read 41_44 read overflow {} - {}";
    units::ReplyCursor in(p, len);
    in.Skip(1);
    unsigned char count = 0;
    if (!in.Read(count)) return Overflow(kOverflow, in.overflowEnd(), len);
    if (count > modules_.size()) {
      InfoLog(
          "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} parse p41_44 channel_count not "
          "equal {} != {} ",
          DataId(), static_cast<unsigned>(count), record_.channel_count);
      return 0;
    }
    for (std::size_t k = 0; k < count; ++k) {
      TeleRCChannel& m = modules_[k];
      const unsigned char* head = in.Take(2);  // the fault byte and the count
      if (!head) return Overflow(kOverflow, in.overflowEnd(), len);
      m.status44 = head[0];
      m.p44 = head[1];
      if (m.p44 != kUser) {
        InfoLog("PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_44 p is {}, not {}",
                DataId(), m.p44, kUser);
        in.Skip(m.p44);  // the user-defined bytes keep their previous state
        continue;
      }
      if constexpr (kUser > 0) {
        if (!in.CopyTo(m.user44.data(), kUser)) return Overflow(kOverflow, in.overflowEnd(), len);
      }
    }
    if (in.Beyond()) return Overflow(kOverflow, in.pos(), len);
    return in.pos();
  }

  // (0x40, 0x46): five values, a count and that many user-defined values, which
  // are neither kept nor checked against the length.
  virtual int parse40_46(const unsigned char* p, int len) {
    constexpr int kFixed = 21;
    static_assert(sizeof(record_.ac_param) + 1 == kFixed);
    units::ReplyCursor in(p, len);
    const unsigned char* fixed = in.Take(kFixed);
    if (!fixed)
      return Overflow("PMBusPowerAC:ProcotolError {} read 40_46 read overflow {} - {}", in.overflowEnd(),
                      len);
    std::memcpy(record_.ac_param, fixed, sizeof(record_.ac_param));
    const int extra = fixed[sizeof(record_.ac_param)];
    return kFixed + 4 * extra;
  }

  // (0x42, 0x46): two values, the count of user-defined parameters, then those
  // parameters; as many of them as arrived (up to the room kept) are stored.
  virtual int parse42_46(const unsigned char* p, int len) {
    constexpr int kFixed = 9;
    constexpr int kRoom = TeleRC::P42_46_SIZE();
    static_assert(sizeof(record_.dc_param) + 1 == kFixed);
    units::ReplyCursor in(p, len);
    const unsigned char* fixed = in.Take(kFixed);
    if (!fixed)
      return Overflow("PMBusPowerAC:ProcotolError {} read 42_46 read overflow {} - {}", in.overflowEnd(),
                      len);
    std::memcpy(record_.dc_param, fixed, sizeof(record_.dc_param));
    record_.dc_param_p = fixed[sizeof(record_.dc_param)];
    if (record_.dc_param_p != TeleRC::P42_46_NUMBER()) {
      InfoLog("RTV11B:ProcotolError parse42_46 {} p:{} != {}", DataId(), record_.dc_param_p,
              TeleRC::P42_46_NUMBER());
      return kFixed + 4 * record_.dc_param_p;
    }
    if constexpr (kRoom > 0) {
      const int n = std::min(in.len() - in.pos(), kRoom);
      if (n > 0) in.CopyTo(record_.dc_param_user.data(), n);
    }
    return in.pos();
  }

  // Model alarms of the concrete unit, raised after the fault rows.
  virtual void DoImpCheckAlert() {}

  const TeleRC& Record() const { return record_; }
  const std::vector<TeleRCChannel>& Modules() const { return modules_; }
  const units::HistoryImage& HistoryImage() const { return image_; }

 private:
  // key, code, level, name, text, reported, byte tested, test, value
  static constexpr units::AlarmRow kFaultRows[] = {
      {"RC_0", "06024", 2, "整流模块故障告警", "整流模块故障告警", units::rc::kPerModule, offsetof(TeleRCChannel, status44), units::AlarmTest::Equals, 1},
  };
  static_assert(units::RowsFit(kFaultRows, sizeof(TeleRCChannel)));

  // Logs an overflow message with the data id, the end offset and the length; -1.
  int Overflow(const char* format, int end, int len) const {
    InfoLog(format, DataId(), end, len);
    return -1;
  }

  TeleRC record_{};
  std::vector<TeleRCChannel> modules_;
  units::HistoryImage image_;
  units::RoundWork work_;
  units::AlarmTable faultAlarms_{kFaultRows};
};
