// The host's root device interface: identity, values, cache restore and the
// virtual slots every device has, in the host's slot order.
#pragma once
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/json.h"

#pragma GCC visibility push(default)

class KLDVDevice;
class KLDController;

class VDeviceInterface {
 public:
  VDeviceInterface() = default;
  VDeviceInterface(const VDeviceInterface&) = delete;
  VDeviceInterface& operator=(const VDeviceInterface&) = delete;

  virtual float Get_Value(unsigned index, const std::string& key) const {
    (void)index;
    (void)key;
    throw std::out_of_range("数据未就绪");
  }
  virtual int LoadFromCache(const std::string& data) {
    return LoadFromCache(reinterpret_cast<const unsigned char*>(data.data()),
                         static_cast<int>(data.size()));
  }
  virtual int LoadFromCache(const unsigned char* data, int length) = 0;
  virtual unsigned DataId() const { return dataId_; }
  virtual const std::string& DeviceType() const { return deviceType_; }
  virtual int DeviceIoControl(int code, const void* in, int inLength, void* out, int outLength,
                              int& returned) {
    (void)code, (void)in, (void)inLength, (void)out, (void)outLength, (void)returned;
    return -2;
  }
  virtual void RoundDone() {}
  virtual bool UseControllerDb() const { return useControllerDb_; }

  virtual ~VDeviceInterface();
  virtual void Reset();
  virtual bool InitV(KLDVDevice* parent, unsigned dataId, const Json::Value& settings);
  virtual bool Init(std::weak_ptr<KLDController> controller, unsigned dataId,
                    const Json::Value& settings);
  virtual bool InitSetting(const Json::Value& settings);
  virtual bool IsSupportDevice(const std::string& deviceType) const;
  virtual std::shared_ptr<KLDVDevice> GetChildVDevice(unsigned dataId) {
    (void)dataId;
    return {};
  }
  virtual std::vector<std::shared_ptr<KLDVDevice>> GetAllChildVDevices() { return {}; }
  virtual void SendSP(int recordType, const unsigned char* data, unsigned length, bool flag);
  virtual int SendDelayData(const unsigned char* data, unsigned length, unsigned delayMs);
  virtual int SendDoData(unsigned channel, int value);
  virtual int ReadDi(unsigned channel, int& value);
  virtual int ReadAi(unsigned channel, float& value);
  virtual float Get_SP_Value(unsigned index, const std::string& key) const;
  virtual int RefreshStatus();
  virtual int process(unsigned char* data, unsigned length);
  virtual bool IsProcessing() const;
  virtual bool IsStalled() const;
  virtual int SendData(const unsigned char* data, unsigned length);
  virtual int SendParityData(const unsigned char* data, unsigned length, int parity);
  virtual bool OpenPort();
  virtual void ClosePort();

  unsigned dataId_ = 0;
  std::string deviceType_;
  bool useControllerDb_ = false;
};

#pragma GCC visibility pop
