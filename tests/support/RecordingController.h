// The recording test controller: keeps every host call, in order.
#pragma once
#include <functional>
#include <string>
#include <vector>

#include "host/KLDController.h"
#include "host/KLDVDevice.h"

namespace testing_support {

struct AlarmCall {
  unsigned dataId;
  std::string deviceType;
  int level;
  std::string key, code, name, text;
  bool active;
  unsigned short slot;
};

struct PublishCall {
  unsigned dataId;
  int recordType;
  std::vector<unsigned char> image;
  bool flag;
};

struct HistoryCall {
  unsigned dataId;
  std::vector<unsigned char> image;
};

struct LogCall {
  unsigned dataId;                // of the device that logged
  std::string format;             // as passed
  std::vector<std::string> args;  // each argument's text
  std::string line;               // placeholders filled
};

struct ProtocolCall {
  ProtocolEvent::Kind kind;
  unsigned char cid1, rtn;
  std::vector<unsigned char> info;
  std::string frame, reason;
};

// Keeps every call. Work items are queued unless runWorkAtOnce is set.
class RecordingController : public KLDController {
 public:
  std::vector<AlarmCall> alarms;
  std::vector<PublishCall> published;
  std::vector<HistoryCall> saved;
  std::vector<LogCall> logs;
  std::vector<std::string> sent;  // wire text of every command, '~' to CR
  std::vector<ProtocolCall> protocol;
  std::vector<std::function<void()>> work;
  std::vector<std::vector<rule_value>> batches;
  bool runWorkAtOnce = true;
  bool batchResult = false;
  // Every call in order, as "alarm", "publish", "history", "work", "batch", "log", "send", "event".
  std::vector<std::string> order;

  void CheckThresholdBool(KLDVDevice& d, int level, const std::string& key, const std::string& code,
                          const std::string& name, const std::string& text, bool active,
                          unsigned short slot) override {
    alarms.push_back({d.DataId(), d.DeviceType(), level, key, code, name, text, active, slot});
    order.push_back("alarm");
  }
  void SendSP(KLDVDevice& d, int type, const unsigned char* data, unsigned len, bool flag) override {
    published.push_back({d.DataId(), type, std::vector<unsigned char>(data, data + len), flag});
    order.push_back("publish");
  }
  void SaveDeviceHistory(KLDVDevice& d, const unsigned char* data, unsigned len) override {
    saved.push_back({d.DataId(), std::vector<unsigned char>(data, data + len)});
    order.push_back("history");
  }
  void CheckThresholdWork(std::function<void()> item) override {
    order.push_back("work");
    if (runWorkAtOnce) item();
    else work.push_back(std::move(item));
  }
  bool DoBatchCheckThreshold(KLDVDevice&, const std::vector<rule_value>& rules) override {
    batches.push_back(rules);
    order.push_back("batch");
    return batchResult;
  }
  void Log(const KLDVDevice& d, const char* format, const LogArg* args, std::size_t n) override {
    LogCall c{d.DataId(), format ? format : "", {}, Format(format, args, n)};
    for (std::size_t k = 0; k < n; ++k) c.args.push_back(args[k].ToString());
    logs.push_back(std::move(c));
    order.push_back("log");
  }
  void SendBytes(KLDVDevice&, const unsigned char* data, std::size_t len) override {
    sent.emplace_back(reinterpret_cast<const char*>(data), len);
    order.push_back("send");
  }
  void OnProtocolEvent(KLDVDevice&, const ProtocolEvent& e) override {
    protocol.push_back({e.kind, e.cid1, e.rtn,
                        std::vector<unsigned char>(e.info, e.info + (e.info ? e.infoLen : 0)),
                        std::string(e.frame), std::string(e.reason)});
    order.push_back("event");
  }

  void RunQueuedWork() {
    auto items = std::move(work);
    work.clear();
    for (auto& w : items) w();
  }
  void Clear() {
    alarms.clear(); published.clear(); saved.clear(); logs.clear(); sent.clear();
    protocol.clear(); work.clear(); batches.clear(); order.clear();
  }
};
}  // namespace testing_support
