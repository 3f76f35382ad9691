// Shared set-up for the rectifier tests: a unit wired to a recording controller
// through a parent device, reply builders and record byte views.
#pragma once
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "host/HostClock.h"
#include "host/KLDSPDevice.h"
#include "tests/support/RecordingController.h"
#include "units/rc/QPR2427K_RC.h"

namespace rc_test {

using Bytes = std::vector<unsigned char>;
constexpr unsigned kId = 0x01020304;

struct ParentDevice : KLDSPDevice {};

// Freezes the host clock for one test.
struct FrozenClock {
  FrozenClock() {
    host_clock::Freeze(boost::posix_time::ptime(boost::gregorian::date(2031, 3, 4),
                                                boost::posix_time::hours(5) + boost::posix_time::seconds(6)));
  }
  ~FrozenClock() { host_clock::Release(); }
  FrozenClock(const FrozenClock&) = delete;
  FrozenClock& operator=(const FrozenClock&) = delete;
};

// The unit under test and its host, wired as the port device wires it.
template <typename Unit>
struct Wired {
  std::shared_ptr<testing_support::RecordingController> ctl =
      std::make_shared<testing_support::RecordingController>();
  std::shared_ptr<ParentDevice> parent = std::make_shared<ParentDevice>();
  std::shared_ptr<Unit> unit = std::make_shared<Unit>();

  Wired() {
    parent->Init(ctl, 99, Json::Value());
    unit->InitV(parent.get(), kId, Json::Value());
  }
};

template <typename T>
Bytes BytesOf(const T& v) {
  Bytes b(sizeof(T));
  std::memcpy(b.data(), &v, sizeof(T));
  return b;
}

template <typename T>
Bytes BytesOf(const std::vector<T>& list) {
  Bytes b(sizeof(T) * list.size());
  if (!list.empty()) std::memcpy(b.data(), list.data(), b.size());
  return b;
}

inline Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

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
