// Host device services: each forwards to the controller while it exists.
#include "host/KLDVDevice.h"

KLDVDevice::~KLDVDevice() = default;

bool KLDVDevice::InitV(KLDVDevice* parent, unsigned dataId, const Json::Value& settings) {
  if (parent) controller_ = parent->controller_;
  return VDeviceInterface::InitV(parent, dataId, settings);
}

bool KLDVDevice::Init(std::weak_ptr<KLDController> controller, unsigned dataId,
                      const Json::Value& settings) {
  controller_ = std::move(controller);
  return VDeviceInterface::Init(controller_, dataId, settings);
}

void KLDVDevice::SendSP(int recordType, const unsigned char* data, unsigned length, bool flag) {
  if (auto c = controller_.lock()) c->SendSP(*this, recordType, data, length, flag);
}

void KLDVDevice::CheckThresholdBool(int level, const std::string& key, const std::string& code,
                                    const std::string& name, const std::string& text, bool active,
                                    unsigned short slot) {
  if (auto c = controller_.lock()) c->CheckThresholdBool(*this, level, key, code, name, text, active, slot);
}

void KLDVDevice::CheckThresholdWork(std::function<void()> work) {
  if (auto c = controller_.lock()) c->CheckThresholdWork(std::move(work));
}

bool KLDVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& rules) {
  if (auto c = controller_.lock()) return c->DoBatchCheckThreshold(*this, rules);
  return false;
}

void KLDVDevice::SaveDeviceHistory(const unsigned char* data, unsigned length) {
  if (auto c = controller_.lock()) c->SaveDeviceHistory(*this, data, length);
}
