// The QPR2427K port device: its supported models, line settings and protocol version.
#include "power/QPR2427K.h"

template class PMBusPower<QPR2427K_AC, QPR2427K_DC, QPR2427K_RC>;

QPR2427K::QPR2427K() : PMBusPower({"QPR-21K", "QPR-24KV", "QPR-36KM"}) {
  deviceType_ = "qpr2427k";
  baudRate_ = 9600;
  portFlag_ = true;
  version_ = 0x21;
}

QPR2427K::~QPR2427K() = default;
