// Each provider makes one new device of its kind; the caller owns it.
#include "plugin/Providers.h"

#include "power/QPR2427K.h"

KLDSPDevice* QPR2427KProvider::create() const { return new QPR2427K(); }
KLDSPDevice* QPR2427K_ACProvider::create() const { return new QPR2427K_AC(); }
KLDSPDevice* QPR2427K_DCProvider::create() const { return new QPR2427K_DC(); }
KLDSPDevice* QPR2427K_RCProvider::create() const { return new QPR2427K_RC(); }
