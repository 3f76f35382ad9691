// The host's device base: the fields and services every device of a plug-in
// uses (alarm slots, last update, readiness, rules, the controller link).
#pragma once
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/KLDController.h"
#include "host/VDeviceInterface.h"
#include "host/rule_value.h"

#pragma GCC visibility push(default)

class KLDVDevice : public VDeviceInterface, public std::enable_shared_from_this<KLDVDevice> {
 public:
  KLDVDevice() = default;
  ~KLDVDevice() override;

  // Takes the parent's controller (when there is a parent) and the data id.
  bool InitV(KLDVDevice* parent, unsigned dataId, const Json::Value& settings) override;
  bool Init(std::weak_ptr<KLDController> controller, unsigned dataId,
            const Json::Value& settings) override;
  void SendSP(int recordType, const unsigned char* data, unsigned length, bool flag) override;

  void CheckThresholdBool(int level, const std::string& key, const std::string& code,
                          const std::string& name, const std::string& text, bool active,
                          unsigned short slot);
  void CheckThresholdWork(std::function<void()> work);
  bool DoBatchCheckThreshold(const std::vector<rule_value>& rules);
  void SaveDeviceHistory(const unsigned char* data, unsigned length);

  // Forwards to the controller while it exists; "{}" placeholders filled in order.
  template <typename... Args>
  void InfoLog(const char* format, const Args&... args) const {
    if (auto controller = controller_.lock()) controller->InfoLog(*this, format, args...);
  }

  std::uint16_t alarmSlot_ = 0;
  boost::posix_time::ptime lastUpdate_;  // not_a_date_time until first set
  bool dataReady_ = false;
  std::vector<rule_value> rules_;
  std::weak_ptr<KLDController> controller_;
  bool thresholdFlag_ = false;
};

#pragma GCC visibility pop
