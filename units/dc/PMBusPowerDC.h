// The DC distribution unit over its record type: decodes its blocks of the DC
// analog and alarm-status replies, answers "v" and "i", restores from the cache
// and, each round, publishes the record and reports the DC alarms.
#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "host/HostClock.h"
#include "host/KLDSPDevice.h"
#include "host/get_ttime.h"
#include "host/json.h"
#include "units/common/AlarmRow.h"
#include "units/common/AlarmTable.h"
#include "units/common/Freshness.h"
#include "units/common/RecordBytes.h"
#include "units/common/ReplyCursor.h"
#include "units/common/RoundEnd.h"
#include "units/common/RoundWork.h"
#include "units/common/Settings.h"

template <typename TeleDC, int RT_DC>
class PMBusPowerDC : public KLDSPDevice {
 public:
  // Output voltage alarms, both reported every round.
  // key, code, level, name, text, reported, byte tested, test, value
  static constexpr units::AlarmRow kVoltRows[] = {
      {"DC_0", "06008", 3, "输出电压过低告警", "输出电压过低告警", units::kOnce, offsetof(TeleDC, volt_state), units::AlarmTest::Equals, 1},
      {"DC_1", "06009", 3, "输出电压过高告警", "输出电压过高告警", units::kOnce, offsetof(TeleDC, volt_state), units::AlarmTest::Equals, 2},
  };
  // Reported once per fuse state byte, the fuse number after "直流".
  static constexpr units::AlarmRow kFuseRows[] = {
      {"DC_3", "06001", 1, "电池熔丝故障告警", "电池熔丝故障告警", units::AlarmItems{"直流"}, 0, units::AlarmTest::Equals, 3},
  };
  static_assert(units::RowsFit(kVoltRows, sizeof(TeleDC)) && units::RowsFit(kFuseRows, 1));

  PMBusPowerDC() : PMBusPowerDC(std::string()) {}
  explicit PMBusPowerDC(const std::string& model) : model_name(model) {}
  PMBusPowerDC(const PMBusPowerDC&) = delete;
  PMBusPowerDC& operator=(const PMBusPowerDC&) = delete;

  const TeleDC& Record() const { return record; }
  const std::string& ModelName() const { return model_name; }
  float DiffV() const { return diff_v; }
  float DiffI() const { return diff_i; }

  // Answers "v" and "i" from the record while it is fresh; every failure is
  // std::out_of_range with a fixed text. The index is not used.
  float Get_Value(unsigned index, const std::string& key) const override {
    (void)index;
    units::ThrowUnlessFresh(*this);
    if (key == "v") return units::LoadFloat(record.v);
    if (key == "i") return units::LoadFloat(record.i);
    throw std::out_of_range(units::kNotReady);
  }

  // Takes a whole record image (data id and time stamp included); 1 on
  // success, 0 and no change for any other length.
  using KLDSPDevice::LoadFromCache;
  int LoadFromCache(const unsigned char* bytes, int length) override {
    if (bytes == nullptr || length != static_cast<int>(sizeof(TeleDC))) return 0;
    std::memcpy(&record, bytes, sizeof(TeleDC));
    dataReady_ = true;
    lastUpdate_ = host_clock::LocalSecondClock();
    return 1;
  }

  // Stamps and publishes the record, reports the DC alarms and the model's
  // own, then hands the host the rules and a copy of this round's image.
  void RoundDone() override {
    auto image = [this](std::size_t& length) {
      length = sizeof(TeleDC);
      return Image();
    };
    units::EndRound(*this, record.ttime, RT_DC, roundWork_, image, [this] {
      voltAlarms_.RaiseOnce(*this, record);
      // Fuse alarms only when the reply carried exactly one byte per fuse.
      if (record.alert_m == TeleDC::ALERT_M_SIZE())
        fuseAlarms_.RaiseEach(*this, record.alert_m_state, TeleDC::ALERT_M_SIZE());
      DoImpCheckAlert();
    });
  }

  // Writes the data id into the record and reads "appSetting" ("diff_v",
  // "diff_i": numbers or numeric text); a value that cannot be read as text
  // keeps the current setting and is logged.
  bool InitV(KLDVDevice* parent, unsigned data_id, const Json::Value& config) override {
    const units::NumberSetting settings[] = {{"diff_v", &diff_v}, {"diff_i", &diff_i}};
    return units::InitUnit(
        *this, record.data_id, parent, data_id, config, settings,
        "PMBusPowerDC<TeleDC, RT_DC>:SettingError {} appSetting {} is not a number, setting kept");
  }

  // This unit's block of the DC analog reply: v, i, then three counted groups
  // of 4-byte values (m, n, user-defined). Returns the block's length, -1 when
  // it needs more than `size` bytes (the record is then left as it was), or
  // `size` when the user-defined count is over its limit.
  virtual int parse42_41(const unsigned char* data, int size) {
    units::ReplyCursor in(data, size);
    TraceHead(data, in.len());
    TeleDC next = record;
    in.CopyTo(next.v, 4);
    in.CopyTo(next.i, 4);
    ReadValues(in, next.dc_m, next.m_value[0], TeleDC::M_SIZE(),
               "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_m is {}, MAX_M is {}");
    ReadValues(in, next.dc_n, next.n_value[0], TeleDC::N_SIZE(),
               "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_n is {}, MAX_N is {}");
    if (in.Read(next.p_count) && next.p_count > TeleDC::P_SIZE()) {
      InfoLog("PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read p_count is {}, support user_p max is {}",
              dataId_, next.p_count, TeleDC::P_SIZE());
      record = next;
      return size;  // the rest of the reply counts as consumed
    }
    if (const unsigned char* values = in.Take(4L * next.p_count)) {
      for (unsigned k = 0; k < next.p_count; ++k)
        units::StoreValue(next.user_p[k], values + 4 * k, units::kMinusTenthValue);
    }
    if (!in.ok()) return Overflow(kOverflow41, in, size);
    record = next;
    return in.pos();
  }

  // This unit's block of the DC alarm-status reply: the voltage state, then the
  // fuse states and the system-status bytes, each a counted group. Returns the
  // block's length, or -1 when it needs more than `size` bytes (record unchanged).
  virtual int parse42_44(const unsigned char* data, int size) {
    units::ReplyCursor in(data, size);
    TeleDC next = record;
    in.Read(next.volt_state);
    ReadStates(in, next.alert_m, next.alert_m_state, TeleDC::ALERT_M_SIZE(), nullptr);
    ReadStates(in, next.alert_p, next.alert_p_state, TeleDC::ALERT_P_SIZE(),
               "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read 42_44 p is {},  alert_p is {}");
    if (!in.ok()) return Overflow(kOverflow44, in, size);
    record = next;
    return in.pos();
  }

  // The model's own alarms, reported after the DC alarms with the next slots.
  virtual void DoImpCheckAlert() = 0;

 protected:
  const unsigned char* Image() const { return reinterpret_cast<const unsigned char*>(&record); }

  TeleDC record{};
  float diff_v = 0.1f;
  float diff_i = 20.0f;
  std::string model_name;

 private:
  static constexpr const char* kOverflow41 = "PMBusPowerAC:ProcotolError {} read 42_41 read overflow {} - {}";
  static constexpr const char* kOverflow44 = "PMBusPowerAC:ProcotolError {} read 42_44 read overflow {} - {}";

  // Prints the first four bytes of the block, or as many as there are.
  static void TraceHead(const unsigned char* data, int available) {
    char line[32] = "parse 42 41:";
    std::size_t used = std::strlen(line);
    for (int k = 0; k < 4 && k < available; ++k)
      used += static_cast<std::size_t>(std::snprintf(line + used, sizeof line - used, " %x", data[k]));
    std::printf("%s\n", line);
  }

  int Overflow(const char* message, const units::ReplyCursor& in, int size) const {
    InfoLog(message, dataId_, in.overflowEnd(), size);
    return -1;
  }

  // A count, then that many 4-byte values: copied when the count is within
  // `limit`, else logged and passed over. A missing byte leaves the cursor overflowed.
  void ReadValues(units::ReplyCursor& in, std::uint8_t& count, unsigned char* dst,
                  std::uint8_t limit, const char* overLimit) const {
    if (!in.Read(count)) return;
    const bool over = count > limit;
    if (over) InfoLog(overLimit, dataId_, count, limit);
    const unsigned char* values = in.Take(4L * count);
    if (values && !over) std::memcpy(dst, values, 4u * count);
  }

  // A count, then that many state bytes, of which at most `limit` are kept.
  // An over-limit count is logged when `overLimit` is given.
  void ReadStates(units::ReplyCursor& in, std::uint8_t& count, std::uint8_t* dst,
                  std::uint8_t limit, const char* overLimit) const {
    if (!in.Read(count)) return;
    if (count > limit && overLimit != nullptr) InfoLog(overLimit, dataId_, count, limit);
    if (const unsigned char* states = in.Take(count)) std::memcpy(dst, states, std::min(count, limit));
  }

  units::AlarmTable voltAlarms_{kVoltRows};
  units::AlarmTable fuseAlarms_{kFuseRows};
  units::RoundWork roundWork_;
};
