// The host's serial-port device base: one exchange (command, then reply) at a
// time on one line. While a command awaits its reply, RefreshStatus() says no.
#pragma once
#include "host/KLDVDevice.h"

#pragma GCC visibility push(default)

class KLDSPDevice : public KLDVDevice {
 public:
  KLDSPDevice() = default;
  ~KLDSPDevice() override;

  int LoadFromCache(const unsigned char* data, int length) override;
  using KLDVDevice::LoadFromCache;
  void Reset() override;
  // 1 while no exchange is open, else 0.
  int RefreshStatus() override;
  bool IsProcessing() const override;
  // Hands the bytes to the controller and opens an exchange.
  int SendData(const unsigned char* data, unsigned length) override;

  // Closes the open exchange (a reply came, or none will).
  void CloseExchange() { exchangeOpen_ = false; }

  int pollState_ = 0;
  bool portFlag_ = false;
  int baudRate_ = 9600;

 protected:
  bool exchangeOpen_ = false;
};

#pragma GCC visibility pop
