// Shared parts of the unit and port fuzzers: a front-to-back input reader, a
// host controller that checks what devices hand it, and the value-query check.
#pragma once
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "host/HostClock.h"
#include "host/KLDController.h"
#include "host/KLDSPDevice.h"
#include "host/KLDVDevice.h"

namespace fuzzing {

// Stops the run with a message; libFuzzer keeps the input that did it.
[[noreturn]] inline void Fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}
inline void Check(bool ok, const char* what) {
  if (!ok) Fail(what);
}

// Reads the input from the front; past its end every byte reads as 0.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
  // Up to n bytes (fewer where the input ends) in a block of exactly that size,
  // so that a read past it is caught.
  std::vector<unsigned char> Bytes(std::size_t n) {
    const std::size_t take = std::min(n, size_ - std::min(pos_, size_));
    std::vector<unsigned char> out(data_ + pos_, data_ + pos_ + take);
    pos_ += take;
    return out;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t pos_ = 0;
};

// The trace lines that decoders write to standard output would only slow the
// fuzzer down; QPR_FUZZ_TRACE=1 keeps them.
inline void SilenceTrace() {
  const char* keep = std::getenv("QPR_FUZZ_TRACE");
  if (!keep || std::strcmp(keep, "1") != 0) {
    if (!std::freopen("/dev/null", "w", stdout)) Fail("cannot silence standard output");
  }
}

// The clock every fuzz run starts from (devices read no other time).
inline void StartClock() {
  host_clock::Freeze(boost::posix_time::ptime(boost::gregorian::date(2026, 5, 4),
                                              boost::posix_time::hours(9)));
}

// Keeps the last published and saved image of every device and checks the
// calls devices make: alarm slots count up within a device's round, work items
// run at once and save what was published. Kept for the whole run and cleared
// between inputs, so that an input costs no set-up allocations.
class Controller : public KLDController {
 public:
  struct Images {
    const KLDVDevice* device = nullptr;
    std::vector<unsigned char> published, saved;
    int recordType = 0;
    long publishes = 0;
    unsigned short lastSlot = 0;
  };
  std::vector<unsigned char> sent;  // bytes of the last command sent
  long commands = 0, logs = 0, alarms = 0;
  // Called after every publication (the port fuzzer counts round ends with it).
  std::function<void(const KLDVDevice&, int)> onPublish;

  // Forgets every device and count, keeping the buffers.
  void Clear() {
    for (Images& im : images_) {
      im.device = nullptr;
      im.published.clear();
      im.saved.clear();
      im.recordType = 0;
      im.publishes = 0;
      im.lastSlot = 0;
    }
    used_ = 0;
    sent.clear();
    commands = logs = alarms = 0;
    onPublish = nullptr;
  }
  Images& Of(const KLDVDevice& d) {
    for (std::size_t k = 0; k < used_; ++k)
      if (images_[k].device == &d) return images_[k];
    if (used_ == images_.size()) images_.emplace_back();
    Images& im = images_[used_++];
    im.device = &d;
    return im;
  }

  void SendSP(KLDVDevice& d, int type, const unsigned char* data, unsigned length, bool) override {
    Check(data != nullptr || length == 0, "published image without bytes");
    Images& im = Of(d);
    im.published.assign(data, data + length);
    im.recordType = type;
    ++im.publishes;
    im.lastSlot = 0;
    if (onPublish) onPublish(d, type);
  }
  void SaveDeviceHistory(KLDVDevice& d, const unsigned char* data, unsigned length) override {
    Of(d).saved.assign(data, data + length);
  }
  void CheckThresholdBool(KLDVDevice& d, int level, const std::string& key, const std::string& code,
                          const std::string& name, const std::string& text, bool,
                          unsigned short slot) override {
    ++alarms;
    Check(level >= 1 && level <= 4, "alarm level out of 1..4");
    Check(!key.empty() && code.size() == 5 && !name.empty() && !text.empty(), "alarm strings");
    // Unit alarms carry slots 1, 2, ... in order within a round; slot 0 is the model alarm.
    if (slot != 0) {
      unsigned short& last = Of(d).lastSlot;
      Check(slot == static_cast<unsigned short>(last + 1), "alarm slots out of order");
      last = slot;
    }
  }
  void CheckThresholdWork(std::function<void()> work) override {
    Check(static_cast<bool>(work), "empty work item");
    work();
  }
  bool DoBatchCheckThreshold(KLDVDevice&, const std::vector<rule_value>&) override { return false; }
  void Log(const KLDVDevice&, const char* format, const LogArg* args, std::size_t n) override {
    ++logs;
    Check(format != nullptr, "log without a format");
    // The host formats every line; this must work for every argument the plug-in passes.
    (void)Format(format, args, n);
  }
  void SendBytes(KLDVDevice&, const unsigned char* data, std::size_t length) override {
    ++commands;
    sent.assign(data, data + length);
  }

 private:
  std::vector<Images> images_;
  std::size_t used_ = 0;
};

// The controller of a fuzz run and a parent device linked to it.
struct Host {
  std::shared_ptr<Controller> controller = std::make_shared<Controller>();
  std::shared_ptr<KLDSPDevice> parent = std::make_shared<KLDSPDevice>();
  Host() { parent->Init(controller, 1, Json::Value()); }
};

// Puts a unit kept across inputs back to the state of a new one, after its
// record was reset: configured again, not ready, never updated.
inline void ForgetHistory(KLDVDevice& unit) {
  unit.dataReady_ = false;
  unit.lastUpdate_ = boost::posix_time::ptime();
  unit.alarmSlot_ = 0;
  unit.thresholdFlag_ = false;
  unit.rules_.clear();
}

// The texts a value query may throw.
inline bool KnownValueError(const char* what) {
  static const char* const kTexts[] = {"数据未就绪", "数据已超时", "数据未提供", "通道参数越界"};
  for (const char* t : kTexts)
    if (std::strcmp(what, t) == 0) return true;
  return false;
}

// Asks one value; only std::out_of_range with a known text may leave the
// device. Returns true when a value came back.
inline bool Query(const KLDVDevice& device, const std::string& key) {
  try {
    (void)device.Get_Value(0, key);
    return true;
  } catch (const std::out_of_range& e) {
    Check(KnownValueError(e.what()), "unknown value error text");
    return false;
  }
}

// True when bytes [from, to) may differ: the round's time stamp.
inline bool SameExcept(const std::vector<unsigned char>& a, const std::vector<unsigned char>& b,
                       std::size_t from, std::size_t to) {
  if (a.size() != b.size()) return false;
  for (std::size_t k = 0; k < a.size(); ++k)
    if ((k < from || k >= to) && a[k] != b[k]) return false;
  return true;
}

}  // namespace fuzzing
