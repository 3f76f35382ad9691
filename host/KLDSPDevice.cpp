// Serial-port device base: one open exchange at a time.
#include "host/KLDSPDevice.h"

KLDSPDevice::~KLDSPDevice() = default;

int KLDSPDevice::LoadFromCache(const unsigned char*, int) { return 0; }

void KLDSPDevice::Reset() { exchangeOpen_ = false; }

int KLDSPDevice::RefreshStatus() { return exchangeOpen_ ? 0 : 1; }

bool KLDSPDevice::IsProcessing() const { return exchangeOpen_; }

int KLDSPDevice::SendData(const unsigned char* data, unsigned length) {
  exchangeOpen_ = true;
  if (auto c = controller_.lock()) c->SendBytes(*this, data, length);
  return static_cast<int>(length);
}
