// The device's side of the line: a model of the power system that answers
// YD/T 1363.3 commands with replies built from its own state, plus the line
// faults a scenario asks for. No I/O and no clock of its own: callers pass the
// bytes they received and the seconds since start, so runs repeat exactly.
#pragma once
#include <cstdint>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "tools/sim/FrameSplitter.h"
#include "tools/sim/Scenario.h"

namespace sim {

// Return codes of a reply frame.
constexpr unsigned char kRtnOk = 0x00;
constexpr unsigned char kRtnBadChecksum = 0x02;
constexpr unsigned char kRtnBadLengthChecksum = 0x03;
constexpr unsigned char kRtnUnknownCommand = 0x04;
constexpr unsigned char kRtnBadFormat = 0x05;

// The live state of the modelled power system.
struct AcChannelState {
  float a = 0, b = 0, c = 0, f = 0;
  unsigned char alert[4] = {0, 0, 0, 0};  // a, b, c, f: 0 normal, 1 low, 2 high, 3 phase lost
};
struct AcUnitState {
  std::vector<AcChannelState> channels;
  float current[3] = {0, 0, 0};
  unsigned char currentAlert[3] = {0, 0, 0};
  std::vector<unsigned char> switches;
};
struct ModuleState {
  float current = 0;
  unsigned char status[3] = {0, 0, 0};  // off, current limiting, equalising
  unsigned char fault = 0;              // 1: module fault
  unsigned char user[3] = {0, 0, 0};    // over-voltage shutdown, communication lost, module fault
};
struct DcUnitState {
  float v = 0, i = 0;
  std::vector<float> batteries, loads;
  unsigned char voltState = 0;          // 1 low, 2 high
  std::vector<unsigned char> fuses;     // 3: fuse fault
  std::vector<unsigned char> status;    // system-status bytes
};

class Simulator {
 public:
  explicit Simulator(Scenario scenario);

  // Feeds received bytes; returns the bytes to send back (replies in order,
  // possibly none). `now` is seconds since the simulator started.
  std::string Feed(const char* data, std::size_t length, double now);
  // Answers one frame given as its text from '~' to the checksum (CR excluded).
  std::string Answer(std::string_view frame, double now);

  // Polling rounds seen so far: a round begins with a command that comes
  // earlier in the polling order than the one before it.
  long long Round() const { return round_; }
  const Scenario& scenario() const { return scenario_; }
  const std::vector<AcUnitState>& ac() const { return ac_; }
  const std::vector<ModuleState>& modules() const { return modules_; }
  const std::vector<DcUnitState>& dc() const { return dc_; }
  float rectifierVoltage() const { return rectifierVoltage_; }

  struct Stats {
    std::uint64_t commands = 0, replies = 0, ignored = 0, errors = 0, faults = 0;
    std::uint64_t unanswered = 0;  // commands to this system kept silent by "silent"
  };
  const Stats& stats() const { return stats_; }

 private:
  struct FaultState {
    int left = 0;          // count-based faults: replies still to strike
    long long seen = 0;    // every-based faults: replies that met the fault so far
    bool started = false;  // the fault's window has begun
  };

  void NoteCommand(unsigned char cid1, unsigned char cid2);
  void Recompute(double now);
  void Drift();
  std::vector<unsigned char> Body(unsigned char cid1, unsigned char cid2, bool& known);
  std::string ApplyFaults(unsigned char ver, unsigned char cid1, unsigned char cid2,
                          std::vector<unsigned char>& info, double now);
  double Uniform();      // values PRNG, [0, 1)
  double FaultDraw();    // faults PRNG, [0, 1)

  Scenario scenario_;
  std::string model_;
  std::vector<AcUnitState> ac_;
  std::vector<ModuleState> modules_;
  std::vector<DcUnitState> dc_;
  float rectifierVoltage_ = 0;
  // Per-round drift of each nominal value, as a factor near 1.
  std::vector<float> drift_;
  // Bytes last reported by the status replies; a difference sets a data flag.
  std::vector<unsigned char> acSwitchSent_, acAlarmSent_, rcSwitchSent_, rcAlarmSent_, dcAlarmSent_;
  std::vector<FaultState> faultState_;
  std::mt19937 valueRng_, faultRng_;
  long long round_ = 0;
  int lastOrder_ = 1000;
  bool mainsDown_ = false;    // no AC supply reaches the rectifiers
  int batteryRounds_ = 0;     // rounds on battery so far
  FrameSplitter splitter_;
  Stats stats_;
};

}  // namespace sim
