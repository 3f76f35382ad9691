// The reference power system of the benchmarks: two AC units of three channels,
// one DC unit with 64 fuses and 20 system-status bytes, twelve rectifier
// modules, model "QPR-37KM", and the replies of one full polling round.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/KLDController.h"
#include "host/json.h"
#include "power/QPR2427K.h"
#include "tests/support/CountingController.h"

namespace bench {

constexpr const char* kModel = "QPR-37KM";
constexpr unsigned kPortId = 100;
constexpr unsigned kAcIds[] = {11, 12};
constexpr unsigned kDcId = 21;
constexpr int kAcChannels = 3;
constexpr int kModules = 12;
constexpr int kFuses = 64;
constexpr int kStatusBytes = 20;
constexpr int kBatteries = 4;  // DC m values
constexpr int kLoads = 9;      // DC n values
constexpr int kUserValues = 4; // DC user-defined values

// The port device's settings for the reference system.
Json::Value ReferenceSettings();

// One reply: the step it answers, its info field, its wire frame ('~' to CR)
// and the engine's decoded view of it (VER ADR CID1 RTN LENID-lo LENID-hi INFO).
struct Reply {
  int step;
  unsigned char unit;
  std::vector<unsigned char> info;
  std::vector<unsigned char> frame;
  std::vector<unsigned char> decoded;
};

// The model reply, announcing kModel.
Reply ModelReply();
// The ten replies of a round in the order they are asked for: every data flag
// asks for the status replies, so each decoder runs every round.
std::vector<Reply> RoundReplies();

// The controller does nothing but count; it never allocates. Work items run
// at once, as the base controller does.
using testing_support::CountingController;

// The port device on the reference system, configured, its model known, and
// the host's clock frozen so that values never age.
class Rig {
 public:
  Rig();
  ~Rig();
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  // One round as the engine delivers it: RefreshStatus() sends the first
  // command, then each reply's frame goes into process(). False when the
  // round did not go as the reference round goes.
  bool Round();
  // The same round without the engine's receive path: each decoded reply is
  // handed to process_payload() directly (command framing still runs).
  bool RoundWithoutReceivePath();
  // Rounds until the state is steady (first-round allocations made).
  void WarmUp(int rounds = 3);

  // Checks the counts of one round against the reference tables; empty when
  // they match, else what differs.
  std::string CheckRound();

  QPR2427K& port() { return *port_; }
  QPR2427K_AC& ac(std::size_t k) { return *port_->acDevices_.at(k); }
  QPR2427K_DC& dc() { return *port_->dcDevices_.at(0); }
  QPR2427K_RC& rc() { return *port_->rcDevice_; }
  CountingController& controller() { return *controller_; }
  const std::vector<Reply>& replies() const { return replies_; }

  // Alarms every round reports on the reference system, from the unit tables.
  static std::uint64_t AlarmsPerRound();

 private:
  std::shared_ptr<CountingController> controller_;
  std::shared_ptr<QPR2427K> port_;
  std::vector<Reply> replies_;
};

}  // namespace bench
