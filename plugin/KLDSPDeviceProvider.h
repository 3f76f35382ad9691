// The host's factory interface for serial-port devices: create() hands the
// caller a new device that the caller owns.
#pragma once
#include "plugin/Provider.h"

class KLDSPDevice;

class KLDSPDeviceProvider : public Provider {
 public:
  virtual KLDSPDevice* create() const = 0;
};
