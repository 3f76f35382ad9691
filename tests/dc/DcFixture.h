// Shared pieces of the DC unit tests: a unit wired to a recording controller
// through a parent device, and builders for the unit's reply blocks.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "tests/support/Bytes.h"
#include "tests/support/ParentDevice.h"
#include "tests/support/RecordingController.h"
#include "units/dc/QPR2427K_DC.h"

namespace dctest {

using testing_support::Bytes;
using testing_support::operator+;
// The four bytes of a float as they travel (least significant first).
constexpr auto F = testing_support::FloatBytes;

// `count` four-byte values, the k-th being the float 10 * group + k.
inline Bytes Values(unsigned count, int group) {
  Bytes out;
  for (unsigned k = 0; k < count; ++k) out = out + F(static_cast<float>(10 * group + static_cast<int>(k)));
  return out;
}

// A DC analog block: v, i, then m, n and p counted groups of values.
inline Bytes Block41(unsigned m, unsigned n, unsigned p, float v = 48.5f, float i = 12.25f) {
  return F(v) + F(i) + Bytes{static_cast<unsigned char>(m)} + Values(m, 1) +
         Bytes{static_cast<unsigned char>(n)} + Values(n, 2) + Bytes{static_cast<unsigned char>(p)} +
         Values(p, 3);
}

// A DC alarm-status block: voltage state, m fuse bytes, p status bytes.
inline Bytes Block44(unsigned char volt, const Bytes& fuses, const Bytes& status) {
  return Bytes{volt, static_cast<unsigned char>(fuses.size())} + fuses +
         Bytes{static_cast<unsigned char>(status.size())} + status;
}

inline Bytes RecordBytes(const tele_c_qpr2427k_dc& r) { return testing_support::BytesOf(r); }

// A DC unit whose host calls land in `ctl`, reached through a parent device as
// the port device would set it up.
struct DcUnit {
  static constexpr unsigned kId = 4242;
  std::shared_ptr<testing_support::RecordingController> ctl =
      std::make_shared<testing_support::RecordingController>();
  std::shared_ptr<testing_support::ParentDevice> parent = testing_support::ParentDevice::Of(ctl);
  std::shared_ptr<QPR2427K_DC> dev;

  explicit DcUnit(const std::string& model = "", const Json::Value& config = Json::Value()) {
    dev = std::make_shared<QPR2427K_DC>(model);
    dev->InitV(parent.get(), kId, config);
  }
  // Decodes the blocks (each given exactly its own bytes) and ends the round.
  void Round(const Bytes& b41, const Bytes& b44) {
    Parse41(b41);
    Parse44(b44);
    dev->RoundDone();
  }
  int Parse41(const Bytes& b) { return dev->parse42_41(b.data(), static_cast<int>(b.size())); }
  int Parse44(const Bytes& b) { return dev->parse42_44(b.data(), static_cast<int>(b.size())); }
};

}  // namespace dctest
