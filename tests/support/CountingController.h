// A host controller that only counts what reaches it, into fixed fields, so it
// never allocates: the controller of the allocation checks, long runs and benchmarks.
#pragma once
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "host/KLDController.h"
#include "host/KLDVDevice.h"

namespace testing_support {

class CountingController : public KLDController {
 public:
  long alarms = 0, activeAlarms = 0;
  unsigned short lastSlot = 0;
  long published = 0, saved = 0;
  unsigned long publishedBytes = 0, savedBytes = 0;
  int lastType = 0;                              // record type of the last publication
  unsigned lastLength = 0, savedLength = 0;      // length of the last publication and saved image
  long batchedRules = 0;
  bool batchResult = false;                      // what DoBatchCheckThreshold answers
  long logs = 0;
  const char* lastLog = nullptr;                 // format of the last log line
  long commands = 0;                             // SendBytes calls
  std::function<void(KLDVDevice&, int)> onPublish;  // called after each publication, when set

  void CheckThresholdBool(KLDVDevice&, int, const std::string&, const std::string&, const std::string&,
                          const std::string&, bool active, unsigned short slot) override {
    ++alarms;
    if (active) ++activeAlarms;
    lastSlot = slot;
  }
  void SendSP(KLDVDevice& d, int type, const unsigned char*, unsigned length, bool) override {
    ++published;
    publishedBytes += length;
    lastType = type;
    lastLength = length;
    if (onPublish) onPublish(d, type);
  }
  void SaveDeviceHistory(KLDVDevice&, const unsigned char*, unsigned length) override {
    ++saved;
    savedBytes += length;
    savedLength = length;
  }
  bool DoBatchCheckThreshold(KLDVDevice&, const std::vector<rule_value>& rules) override {
    batchedRules += static_cast<long>(rules.size());
    return batchResult;
  }
  void Log(const KLDVDevice&, const char* format, const LogArg*, std::size_t) override {
    ++logs;
    lastLog = format;
  }
  void SendBytes(KLDVDevice&, const unsigned char*, std::size_t) override { ++commands; }

  // Zeroes the counts; the settings (batchResult, onPublish) stay.
  void Clear() {
    alarms = activeAlarms = published = saved = batchedRules = logs = commands = 0;
    publishedBytes = savedBytes = 0;
    lastSlot = 0;
    lastType = 0;
    lastLength = savedLength = 0;
    lastLog = nullptr;
  }
};

}  // namespace testing_support
