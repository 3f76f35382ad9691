// Shared set-up for the rectifier tests: a unit wired to a recording controller
// through a parent device, reply builders and record byte views.
#pragma once
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/Bytes.h"
#include "tests/support/FrozenClock.h"
#include "tests/support/ParentDevice.h"
#include "tests/support/RecordingController.h"
#include "units/rc/QPR2427K_RC.h"

namespace rc_test {

using testing_support::Bytes;
using testing_support::BytesOf;
using testing_support::Cat;
using testing_support::ParentDevice;
constexpr unsigned kId = 0x01020304;

// The host clock of a test, frozen for its life.
struct FrozenClock : testing_support::FrozenClock {
  FrozenClock()
      : testing_support::FrozenClock(boost::posix_time::ptime(
            boost::gregorian::date(2031, 3, 4), boost::posix_time::hours(5) + boost::posix_time::seconds(6))) {}
};

// The unit under test and its host, wired as the port device wires it.
template <typename Unit>
struct Wired {
  std::shared_ptr<testing_support::RecordingController> ctl =
      std::make_shared<testing_support::RecordingController>();
  std::shared_ptr<ParentDevice> parent = ParentDevice::Of(ctl, 99);
  std::shared_ptr<Unit> unit = std::make_shared<Unit>();

  Wired() {
    unit->InitV(parent.get(), kId, Json::Value());
  }
};

// Four bytes that differ from each other (so they are never the no-value marker).
inline Bytes Value(unsigned char seed) {
  return {seed, static_cast<unsigned char>(seed + 1), static_cast<unsigned char>(seed + 2),
          static_cast<unsigned char>(seed + 3)};
}

// (0x41, 0x41) with `values.size()` modules, each without user-defined values.
inline Bytes Reply41_41(const Bytes& system, const std::vector<Bytes>& values) {
  Bytes r = Cat({{0x00}, system, {static_cast<unsigned char>(values.size())}});
  for (const Bytes& v : values) r = Cat({r, v, {0x00}});
  return r;
}

// (0x41, 0x44) blocks: fault byte, count 3 and three user-defined bytes each.
struct AlarmBlock {
  unsigned char fault;
  unsigned char user[3];
};
inline Bytes Reply41_44(const std::vector<AlarmBlock>& blocks) {
  Bytes r = {0x00, static_cast<unsigned char>(blocks.size())};
  for (const AlarmBlock& b : blocks) r = Cat({r, {b.fault, 3, b.user[0], b.user[1], b.user[2]}});
  return r;
}

// Runs a unit with `count` modules (module k's value is Value(16 * k)).
template <typename Unit>
void GiveModules(Unit& unit, std::size_t count) {
  std::vector<Bytes> values;
  for (std::size_t k = 0; k < count; ++k) values.push_back(Value(static_cast<unsigned char>(16 * k)));
  const Bytes r = Reply41_41(Value(0xA0), values);
  ASSERT_EQ(unit.parse41_41(r.data(), static_cast<int>(r.size())), static_cast<int>(r.size()));
}

// The log's format and its arguments as text.
inline void ExpectLog(const testing_support::LogCall& log, const std::string& format,
                      const std::vector<std::string>& args) {
  EXPECT_EQ(log.format, format);
  EXPECT_EQ(log.args, args);
  EXPECT_EQ(log.dataId, kId);
}

}  // namespace rc_test
