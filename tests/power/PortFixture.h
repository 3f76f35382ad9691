// A port device over fake units wired to a recording controller, with helpers
// that read back the commands sent and feed framed replies through process().
#pragma once
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "host/HostClock.h"
#include "power/PMBusPower.h"
#include "tests/power/FakeUnits.h"
#include "tests/support/RecordingController.h"
#include "tests/support/Bytes.h"
#include "tests/support/FrozenClock.h"

namespace power_test {

using testing_support::Bytes;

// The port device under test; keeps every result of process_payload().
class Port : public PMBusPower<fakes::FakeAC, fakes::FakeDC, fakes::FakeRC> {
 public:
  Port() : PMBusPower({"QPR-21K", "QPR-24KV", "QPR-36KM"}) {
    deviceType_ = "qpr2427k";
    version_ = 0x21;
    SetReplyPause(std::chrono::microseconds(0));
  }
  int process_payload() override {
    results.push_back(PMBusPower::process_payload());
    return results.back();
  }
  std::vector<int> results;
};

struct Cmd {
  unsigned char unit = 0, data = 0;
  Bytes info;
  unsigned char ver = 0;  // not compared
  bool operator==(const Cmd& o) const { return unit == o.unit && data == o.data && info == o.info; }
};
inline std::ostream& operator<<(std::ostream& os, const Cmd& c) {
  os << std::hex << unsigned(c.unit) << "/" << unsigned(c.data);
  for (unsigned char b : c.info) os << " " << unsigned(b);
  return os << std::dec;
}
inline const Bytes kGroup{0xFF};
inline Cmd C(unsigned char unit, unsigned char data, Bytes info = {}) { return {unit, data, info, 0}; }

class PortTest : public ::testing::Test {
 public:
  static constexpr unsigned kPortId = 100;

 protected:
  void SetUp() override {
    fakes::Journal::current = &journal;
    port->Init(ctl, kPortId, Json::Value());
  }
  void TearDown() override {
    // Every decoder was offered exactly the rest of the info field, never more.
    for (const fakes::Call& c : journal.calls) {
      if (c.offset < 0) continue;
      EXPECT_GE(c.length, 0) << c.what;
      EXPECT_LE(c.offset, c.infoLength) << c.what;
      EXPECT_EQ(c.offset + c.length, c.infoLength) << c.what;
    }
    fakes::Journal::current = nullptr;
  }

  // AC ids 11.., DC ids 21.., and the rectifier when `rc`.
  bool Configure(unsigned nAC, unsigned nDC, bool rc) {
    Json::Value s(Json::objectValue);
    for (unsigned k = 0; k < nAC; ++k) s["acSetting"][k]["data_id"] = 11 + k;
    for (unsigned k = 0; k < nDC; ++k) s["dcSetting"][k]["data_id"] = 21 + k;
    if (rc) s["rcSetting"] = Json::Value(Json::objectValue);
    return port->InitSetting(s);
  }

  static Cmd Parse(const std::string& wire) {
    yd1363::Decoded d;
    const std::string why = yd1363::Decode(wire.data() + 1, wire.size() - 2, d);
    EXPECT_EQ(why, "") << wire;
    return {d.cid1, d.cid2, d.info, d.ver};
  }
  std::vector<Cmd> SentFrom(std::size_t from) const {
    std::vector<Cmd> out;
    for (std::size_t k = from; k < ctl->sent.size(); ++k) out.push_back(Parse(ctl->sent[k]));
    return out;
  }
  Cmd Last() const { return ctl->sent.empty() ? Cmd{} : Parse(ctl->sent.back()); }

  // Feeds one framed reply; returns process_payload()'s result (-9 if the engine did not hand it on).
  int Reply(unsigned char unit, const Bytes& info) {
    const std::string frame = yd1363::Encode(0x21, 1, unit, 0, info.data(), info.size());
    const std::size_t before = port->results.size();
    port->process(reinterpret_cast<unsigned char*>(const_cast<char*>(frame.data())),
                  static_cast<unsigned>(frame.size()));
    return port->results.size() == before + 1 ? port->results.back() : -9;
  }

  // A well-formed reply to `cmd` for the configured units and the flags below.
  Bytes GoodInfo(const Cmd& cmd) const {
    const unsigned nAC = static_cast<unsigned>(port->acDevices_.size());
    const unsigned nDC = static_cast<unsigned>(port->dcDevices_.size());
    Bytes b;
    auto sections = [&b](unsigned n, unsigned char tag) {
      for (unsigned k = 0; k < n; ++k) b.insert(b.end(), {3, tag, static_cast<unsigned char>(k)});
    };
    switch (cmd.unit << 8 | cmd.data) {
      case 0x4051: b = Bytes{'Q', 'P', 'R', '-', '2', '1', 'K'}; b.resize(20, 0); break;
      case 0x4041: b = {acFlag, static_cast<unsigned char>(nAC)}; sections(nAC, 0xA1); break;
      case 0x4043: b = {0, static_cast<unsigned char>(nAC)}; sections(nAC, 0xA3); break;
      case 0x4044: b = {0, static_cast<unsigned char>(nAC)}; sections(nAC, 0xA4); break;
      case 0x4141: b = {rcFlag, 0x51, 0x52}; break;
      case 0x4143: case 0x4144: b = {0x00, 0x53}; break;
      case 0x4241: case 0x4244: {
        const unsigned char flag = cmd.data == 0x41 ? dcFlag : 0;
        b = {flag, static_cast<unsigned char>(nDC)};
        if (cmd.data == 0x41 && nDC > 3) {
          // Sections start at the count byte: the first one is nDC bytes long.
          b.resize(1 + nDC, 0xD0);
          sections(nDC - 1, 0xD1);
        } else {
          sections(nDC, 0xD2);
        }
        break;
      }
      case 0x4046: case 0x4246: b = {0x61, 0x62, 0x63}; break;
      default: ADD_FAILURE() << "no reply for " << cmd;
    }
    return b;
  }
  int GoodReply() { const Cmd c = Last(); return Reply(c.unit, GoodInfo(c)); }

  // Answers the model query (asking for it first when needed).
  void PassModel() {
    if (port->step_ != power::kStepModel || !port->IsProcessing()) {
      ASSERT_EQ(port->RefreshStatus(), 1);
    }
    ASSERT_EQ(Last(), C(0x40, 0x51));
    ASSERT_EQ(GoodReply(), 1);
  }
  // Runs one round from the next RefreshStatus() to its end; returns the commands sent.
  std::vector<Cmd> RunRound() {
    // A round's first command may already await its reply (sent after the model reply).
    const std::size_t from = ctl->sent.size() - (port->IsProcessing() ? 1 : 0);
    if (!port->IsProcessing()) {
      EXPECT_EQ(port->RefreshStatus(), 1);
    }
    for (int k = 0; k < 16; ++k) {
      const int r = GoodReply();
      if (r == 0) return SentFrom(from);
      if (r != 1) { ADD_FAILURE() << "reply to " << Last() << " gave " << r; break; }
    }
    ADD_FAILURE() << "round did not end";
    return SentFrom(from);
  }
  // Runs good replies until the command of `step` has been sent.
  void AdvanceTo(int step) {
    if (!port->IsProcessing()) {
      ASSERT_EQ(port->RefreshStatus(), 1);
    }
    for (int k = 0; k < 16 && port->step_ != step; ++k) ASSERT_EQ(GoodReply(), 1);
    ASSERT_EQ(port->step_, step);
    ASSERT_TRUE(port->IsProcessing());
  }

  testing_support::FrozenClock clock{
      boost::posix_time::ptime(boost::gregorian::date(2026, 3, 1), boost::posix_time::hours(8))};
  std::shared_ptr<testing_support::RecordingController> ctl =
      std::make_shared<testing_support::RecordingController>();
  std::shared_ptr<Port> port = std::make_shared<Port>();
  fakes::Journal journal;
  unsigned char acFlag = 0, rcFlag = 0, dcFlag = 0;
};

}  // namespace power_test
