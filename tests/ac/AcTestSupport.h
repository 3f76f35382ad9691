// Shared set-up of the AC unit tests: a unit wired to a recording controller
// through a parent device, and builders for the reply sections it decodes.
#pragma once
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/Bytes.h"
#include "tests/support/FrozenClock.h"
#include "tests/support/ParentDevice.h"
#include "tests/support/RecordingController.h"
#include "units/ac/QPR2427K_AC.h"

namespace ac_test {

using testing_support::Bytes;
using testing_support::FloatBytes;
using testing_support::ParentDevice;
using testing_support::PutFloat;
using testing_support::PutU32;
using testing_support::Slice;
constexpr unsigned kUnitId = 4242;

inline Bytes FieldBytes(const unsigned char* p, std::size_t n) { return Bytes(p, p + n); }
using Rec = tele_c_qpr2427k_ac;
using Chan = tele_c_qpr2427k_ac_channel;

// One channel of an analog section.
struct Analog {
  float a, b, c, f;
  unsigned char p = 0;  // user-defined count; p × 4 filler bytes follow it
};

inline Bytes Section41(const std::vector<Analog>& channels, float ia, float ib, float ic) {
  Bytes s{static_cast<unsigned char>(channels.size())};
  for (const Analog& ch : channels) {
    PutFloat(s, ch.a), PutFloat(s, ch.b), PutFloat(s, ch.c), PutFloat(s, ch.f);
    s.push_back(ch.p);
    for (int k = 0; k < 4 * ch.p; ++k) s.push_back(0x5A);
  }
  PutFloat(s, ia), PutFloat(s, ib), PutFloat(s, ic);
  return s;
}

// One channel of an alarm-status section.
struct Status {
  unsigned char a, b, c, f;
  unsigned char n = 0;      // extra count; n filler bytes follow it
  unsigned char p = 1;      // user-defined count
  unsigned char user = 0;   // the user bytes' value
};

inline Bytes Section44(const std::vector<Status>& channels, unsigned char ia, unsigned char ib,
                       unsigned char ic) {
  Bytes s{0xEE};  // byte 0 is not read
  for (const Status& ch : channels) {
    s.insert(s.end(), {ch.a, ch.b, ch.c, ch.f, ch.n});
    for (int k = 0; k < ch.n; ++k) s.push_back(0x77);
    s.push_back(ch.p);
    for (int k = 0; k < ch.p; ++k) s.push_back(ch.user);
  }
  s.insert(s.end(), {ia, ib, ic});
  return s;
}

inline Bytes Section43(const Bytes& airlock, const Bytes& user) {
  Bytes s{static_cast<unsigned char>(airlock.size())};
  s.insert(s.end(), airlock.begin(), airlock.end());
  s.push_back(static_cast<unsigned char>(user.size()));
  s.insert(s.end(), user.begin(), user.end());
  return s;
}

// Decodes a section through a buffer of exactly its length, so a read past it is caught.
template <typename Fn>
int Feed(Fn fn, const Bytes& section, std::size_t take) {
  Bytes exact(section.begin(), section.begin() + static_cast<long>(take));
  return fn(exact.data(), static_cast<int>(exact.size()));
}

inline boost::posix_time::ptime T0() {
  using namespace boost::posix_time;
  return ptime(boost::gregorian::date(2026, 12, 8), hours(4) + minutes(25) + seconds(34));
}

class AcUnitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(unit->InitV(parent.get(), kUnitId, Json::Value(Json::objectValue)));
  }

  int Parse41(const Bytes& s) { return unit->parse40_41(s.data(), static_cast<int>(s.size())); }
  int Parse43(const Bytes& s) { return unit->parse40_43(s.data(), static_cast<int>(s.size())); }
  int Parse44(const Bytes& s) { return unit->parse40_44(s.data(), static_cast<int>(s.size())); }

  testing_support::FrozenClock clock{T0()};
  std::shared_ptr<testing_support::RecordingController> ctl =
      std::make_shared<testing_support::RecordingController>();
  std::shared_ptr<ParentDevice> parent = ParentDevice::Of(ctl);
  std::shared_ptr<QPR2427K_AC> unit = std::make_shared<QPR2427K_AC>();
};

inline std::string Id() { return std::to_string(kUnitId); }

}  // namespace ac_test
