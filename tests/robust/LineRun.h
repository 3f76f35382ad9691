// The host's side of one serial line in virtual time: a configured QPR2427K
// polled against the simulator, with the host's time-out and round-end
// handling, and counters of how polling went. No real clock and no sleep: the
// reply pause is 0, the local clock is frozen and moved by the run, and the
// port device's 2-second wait after a round is set aside as the host's
// "no round wait" option does.
#pragma once
#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "host/HostClock.h"
#include "host/KLDController.h"
#include "host/PMBusProtocol.h"
#include "power/QPR2427K.h"
#include "tests/support/CountingController.h"
#include "tests/support/FrozenClock.h"
#include "tools/sim/Simulator.h"

namespace robust {

// What a run measured. Times are virtual milliseconds.
struct LineFigures {
  long long polls = 0;            // RefreshStatus() calls
  long long idlePolls = 0;        // polls that sent nothing
  long long longestIdle = 0;      // most idle polls in a row
  long long commands = 0;         // commands sent
  long long repeated = 0;         // the same command as the one before it, with no round end between
  long long timeouts = 0;         // exchanges that got no usable reply in time (process_error())
  long long rounds = 0;           // rounds the port device completed
  long long longestGapCommands = 0;   // most commands between two round ends (or the start)
  long long longestGapMs = 0;         // longest virtual time between two round ends (or the start)
  std::uint64_t framesRejected = 0;   // frames the engine rejected
  std::uint64_t repliesAccepted = 0;  // replies the engine handed to process_payload()
  std::uint64_t faultsInjected = 0;   // line faults the simulator struck
  long long elapsedMs = 0;
};

// Counts only, so that a run of any length holds no growing record, and keeps
// the bytes the port device put on the line, not yet delivered.
class LineController : public testing_support::CountingController {
 public:
  std::string outgoing;

  void SendBytes(KLDVDevice& d, const unsigned char* data, std::size_t length) override {
    CountingController::SendBytes(d, data, length);
    outgoing.append(reinterpret_cast<const char*>(data), length);
  }
};

// Settings for the port device that match the simulator's scenario.
inline Json::Value SettingsFor(const sim::Scenario& s) {
  Json::Value v(Json::objectValue);
  v["address"] = s.address;
  for (unsigned k = 0; k < s.ac.size(); ++k) v["acSetting"][k]["data_id"] = 11 + k;
  for (unsigned k = 0; k < s.dc.size(); ++k) v["dcSetting"][k]["data_id"] = 21 + k;
  v["rcSetting"] = Json::Value(Json::objectValue);
  return v;
}

class LineRun {
 public:
  // Virtual time of the host's steps.
  static constexpr long long kPollMs = 100;      // between RefreshStatus() calls while idle
  static constexpr long long kExchangeMs = 60;   // a command and its reply on the line
  static constexpr long long kTimeoutMs = 1000;  // the host gives up on a reply

  explicit LineRun(const sim::Scenario& scenario, std::uint32_t chunkSeed = 7)
      : sim_(scenario), chunks_(chunkSeed) {
    controller_ = std::make_shared<LineController>();
    port_ = std::make_shared<QPR2427K>();
    port_->Init(controller_, 100, Json::Value());
    port_->SetReplyPause(std::chrono::microseconds(0));
    configured_ = port_->InitSetting(SettingsFor(scenario));
    controller_->onPublish = [this](KLDVDevice& d, int type) {
      // The rectifier publishes last in a round end.
      if (type == 5027 && &d == port_->rcDevice_.get()) roundEnded_ = true;
    };
  }
  ~LineRun() { controller_->onPublish = nullptr; }

  bool configured() const { return configured_; }
  QPR2427K& port() { return *port_; }
  sim::Simulator& simulator() { return sim_; }
  LineController& controller() { return *controller_; }
  // Called at every round end, after the host's own handling.
  std::function<void()> onRound;

  // Polls until `rounds` more rounds have completed or `maxPolls` polls were made.
  const LineFigures& Run(long long rounds, long long maxPolls) {
    const long long target = f_.rounds + rounds;
    for (long long p = 0; p < maxPolls && f_.rounds < target; ++p) Poll();
    // A stall at the end counts too.
    f_.longestGapCommands = std::max(f_.longestGapCommands, gapCommands_);
    f_.longestGapMs = std::max(f_.longestGapMs, nowMs_ - lastRoundMs_);
    const auto& stats = port_->GetStats();
    f_.framesRejected = stats.rejected;
    f_.repliesAccepted = stats.replies;
    f_.faultsInjected = sim_.stats().faults;
    f_.elapsedMs = nowMs_;
    return f_;
  }
  const LineFigures& figures() const { return f_; }

 private:
  static inline const boost::posix_time::ptime kStart{boost::gregorian::date(2026, 6, 1),
                                                      boost::posix_time::hours(6)};

  void Tick(long long ms) {
    const long long before = nowMs_ / 1000;
    nowMs_ += ms;
    if (nowMs_ / 1000 != before) host_clock::Advance(nowMs_ / 1000 - before);
  }

  void Poll() {
    ++f_.polls;
    Tick(kPollMs);
    port_->RefreshStatus();
    if (controller_->outgoing.empty()) {
      ++f_.idlePolls;
      f_.longestIdle = std::max(f_.longestIdle, ++idleRun_);
      return;
    }
    idleRun_ = 0;
    // One exchange after another while the device sends its next command at once.
    while (!controller_->outgoing.empty()) {
      const std::string command = std::move(controller_->outgoing);
      controller_->outgoing.clear();
      NoteCommand(command);
      const std::string reply = sim_.Feed(command.data(), command.size(), static_cast<double>(nowMs_) / 1000.0);
      Tick(kExchangeMs);
      Deliver(reply);
      if (roundEnded_) RoundEnd();
      if (controller_->outgoing.empty() && port_->IsProcessing()) {
        // No usable reply came: the host's time-out.
        Tick(kTimeoutMs);
        port_->process_error();
        ++f_.timeouts;
        break;
      }
    }
  }

  // Hands the reply to the engine in pieces of random size, as a serial port does.
  void Deliver(const std::string& reply) {
    std::size_t at = 0;
    while (at < reply.size()) {
      const std::size_t n = std::min<std::size_t>(reply.size() - at, 1 + chunks_() % 24);
      std::vector<unsigned char> piece(reply.begin() + static_cast<long>(at),
                                       reply.begin() + static_cast<long>(at + n));
      port_->process(piece.data(), static_cast<unsigned>(piece.size()));
      at += n;
    }
  }

  void NoteCommand(const std::string& wire) {
    ++f_.commands;
    ++gapCommands_;
    // Unit and data code: characters 5 to 8 of the frame.
    const std::string code = wire.size() >= 9 ? wire.substr(5, 4) : wire;
    if (code == lastCommand_) ++f_.repeated;
    lastCommand_ = code;
  }

  void RoundEnd() {
    roundEnded_ = false;
    ++f_.rounds;
    f_.longestGapCommands = std::max(f_.longestGapCommands, gapCommands_);
    f_.longestGapMs = std::max(f_.longestGapMs, nowMs_ - lastRoundMs_);
    gapCommands_ = 0;
    lastRoundMs_ = nowMs_;
    lastCommand_.clear();
    // The host's side: the device is ready, and the 2-second wait is set aside.
    port_->dataReady_ = true;
    port_->lastUpdate_ = host_clock::LocalSecondClock() - boost::posix_time::seconds(2);
    if (onRound) onRound();
  }

  testing_support::FrozenClock clock_{kStart};  // first made, last gone
  sim::Simulator sim_;
  std::mt19937 chunks_;
  std::shared_ptr<LineController> controller_;
  std::shared_ptr<QPR2427K> port_;
  bool configured_ = false;
  bool roundEnded_ = false;
  LineFigures f_;
  long long nowMs_ = 0, lastRoundMs_ = 0, gapCommands_ = 0, idleRun_ = 0;
  std::string lastCommand_;
};

}  // namespace robust
