// The plug-in's four providers: the port device and its three kinds of unit.
#pragma once
#include "plugin/KLDSPDeviceProvider.h"

class QPR2427KProvider : public KLDSPDeviceProvider {
 public:
  KLDSPDevice* create() const override;
};

class QPR2427K_ACProvider : public KLDSPDeviceProvider {
 public:
  KLDSPDevice* create() const override;
};

// Its devices have an empty model name; the port device gives its own DC units the model.
class QPR2427K_DCProvider : public KLDSPDeviceProvider {
 public:
  KLDSPDevice* create() const override;
};

class QPR2427K_RCProvider : public KLDSPDeviceProvider {
 public:
  KLDSPDevice* create() const override;
};
