// Out-of-line slots of the host's device interface: the host's defaults.
#include "host/VDeviceInterface.h"

VDeviceInterface::~VDeviceInterface() = default;
void VDeviceInterface::Reset() {}
bool VDeviceInterface::InitV(KLDVDevice*, unsigned dataId, const Json::Value&) {
  dataId_ = dataId;
  return true;
}
bool VDeviceInterface::Init(std::weak_ptr<KLDController>, unsigned dataId, const Json::Value&) {
  dataId_ = dataId;
  return true;
}
bool VDeviceInterface::InitSetting(const Json::Value&) { return true; }
bool VDeviceInterface::IsSupportDevice(const std::string& deviceType) const {
  return deviceType == deviceType_;
}
void VDeviceInterface::SendSP(int, const unsigned char*, unsigned, bool) {}
int VDeviceInterface::SendDelayData(const unsigned char*, unsigned, unsigned) { return -2; }
int VDeviceInterface::SendDoData(unsigned, int) { return -2; }
int VDeviceInterface::ReadDi(unsigned, int&) { return -2; }
int VDeviceInterface::ReadAi(unsigned, float&) { return -2; }
float VDeviceInterface::Get_SP_Value(unsigned index, const std::string& key) const {
  return Get_Value(index, key);
}
int VDeviceInterface::RefreshStatus() { return 0; }
int VDeviceInterface::process(unsigned char*, unsigned) { return 0; }
bool VDeviceInterface::IsProcessing() const { return false; }
bool VDeviceInterface::IsStalled() const { return false; }
int VDeviceInterface::SendData(const unsigned char*, unsigned) { return -2; }
int VDeviceInterface::SendParityData(const unsigned char* data, unsigned length, int) {
  return SendData(data, length);
}
bool VDeviceInterface::OpenPort() { return true; }
void VDeviceInterface::ClosePort() {}
