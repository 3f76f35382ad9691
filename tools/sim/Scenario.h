// A simulated power system as a scenario file describes it: units, nominal
// values, timed events and line faults. Parsed from JSON, checked whole.
#pragma once
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/json.h"

namespace sim {

// A scenario the simulator cannot use; the text names the offending member.
class ScenarioError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct AcUnitSpec {
  int channels = 1;          // AC input channels
  float voltage = 230.0f;    // nominal line/phase voltage, V
  float frequency = 50.0f;   // Hz
  float current = 18.0f;     // nominal phase current, A
  int switches = 2;          // switch-state bytes in the switch-status reply (0..8)
};

struct RectifierSpec {
  int modules = 3;           // rectifier modules
  float voltage = 53.5f;     // output voltage, V
  float current = 12.0f;     // output current per module, A
};

struct DcUnitSpec {
  float voltage = 53.5f;     // bus voltage, V
  float current = 30.0f;     // load current, A
  int batteries = 2;         // battery string currents in the analog reply
  int loads = 3;             // load branch currents in the analog reply
  int fuses = 64;            // fuse state bytes in the alarm-status reply
  int statusBytes = 20;      // system-status bytes in the alarm-status reply
};

// When an event holds or a fault strikes. Rounds count the polling rounds the
// simulator has seen, from 1; seconds count from the simulator's start.
struct Window {
  std::optional<long long> round, untilRound;
  std::optional<double> second, untilSecond;
  // True when the window has begun and not yet ended at this round and time.
  bool Contains(long long atRound, double atSecond) const;
  bool HasStart() const { return round || second; }
};

enum class EventKind { MainsFailure, FuseBlown, ModuleFault, Model, AcAlarm, DcStatus, Switch };

struct EventSpec {
  EventKind kind = EventKind::MainsFailure;
  Window when;                 // no start: holds from the beginning
  int ac = -1;                 // AC unit index, -1 all (mains_failure, ac_alarm, switch)
  int dc = 0;                  // DC unit index (fuse_blown, dc_status)
  int number = 1;              // fuse, module or channel number from 1; switch or status byte index from 0
  std::string what;            // module fault kind, alarm quantity, or model text
  int value = 0;               // state byte (ac_alarm, dc_status, switch)
};

enum class FaultKind { Drop, BadChecksum, Truncate, WrongUnit, UnitCount, WrongAddress };

struct FaultSpec {
  FaultKind kind = FaultKind::Drop;
  double rate = 0.0;           // chance per reply while the window holds (0: use `count`)
  Window when;                 // no start: from the beginning
  int count = 1;               // with no rate: replies struck once the window begins
  int every = 0;               // > 0: every `every`-th reply while the window holds (no rate, no count)
  int address = -1;            // wrong_address: the address the reply carries (-1: the system's + 1)
  int cid1 = -1, cid2 = -1;    // only replies to this command (-1: any)
  int delta = 1;               // unit_count: added to the unit count byte
};

struct Scenario {
  unsigned char address = 1;
  std::uint32_t seed = 1;
  std::string model = "QPR-24KV";     // device name, at most 10 bytes
  unsigned char versionMajor = 1, versionMinor = 0;
  std::string maker = "QPR Power Systems";  // at most 20 bytes
  std::vector<AcUnitSpec> ac;
  RectifierSpec rectifier;
  std::vector<DcUnitSpec> dc;
  std::vector<EventSpec> events;
  std::vector<FaultSpec> faults;
  bool silent = false;          // hears its commands and never answers
};

// The systems on one line, each at its own address; a scenario file without
// "systems" holds exactly one.
struct BusScenario {
  std::vector<Scenario> systems;
  BusScenario() = default;
  // One system alone on its line (implicit: wherever one system was taken,
  // a line with that system is).
  BusScenario(Scenario one) { systems.push_back(std::move(one)); }  // NOLINT(google-explicit-constructor)
};

// The built-in scenario: two AC units of one channel, the rectifier with
// three modules, one DC unit, no events. A scenario without "ac" or "dc"
// keeps these units.
Scenario DefaultScenario();
Scenario ParseScenario(const Json::Value& root);
// Reads and parses a scenario file; ScenarioError on any failure.
Scenario LoadScenario(const std::string& path);
// A scenario file with or without "systems"; addresses must differ.
BusScenario ParseBusScenario(const Json::Value& root);
BusScenario LoadBusScenario(const std::string& path);

}  // namespace sim
