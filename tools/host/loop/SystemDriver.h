// One power system on the runner's line: its port device from the plug-in,
// its controller, poll and reply time-out timers, health, alarm edges and
// round counters. It sends only while the line arbiter lets it, and it hears
// only what is tagged with its system (everything, in a run with one system).
// Listen mode: its commands are held back by the line, and the tap hands it
// another master's reply to the same command (TappedReply).
#pragma once
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/KLDSPDevice.h"
#include "host/PMBusProtocol.h"
#include "host/json.h"
#include "tools/host/loop/HealthMonitor.h"
#include "tools/host/loop/HostController.h"
#include "tools/host/loop/LineArbiter.h"
#include "tools/host/loop/ListenTap.h"
#include "tools/host/loop/RunOptions.h"
#include "tools/host/outputs/cache/CacheWriter.h"
#include "tools/host/stream/AlarmTracker.h"
#include "tools/host/stream/Observation.h"

namespace runner {

class SystemDriver : public Observer {
 public:
  using Clock = std::chrono::steady_clock;
  // What the driver shares with the run.
  struct Run {
    boost::asio::io_context& io;
    const RunOptions& opt;
    ObservationBus& bus;
    LineArbiter& arbiter;
    boost::asio::thread_pool& pool;
    std::function<bool()> lineUp;
    std::function<bool()> stopping;
    std::function<void()> roundEnded;  // a round of this system ended (the line works)
    ListenTap* tap = nullptr;          // listen mode: the tapped line the commands are expected on
  };
  // `system` null: the run's only system, whose observations carry no tag.
  SystemDriver(Run run, std::size_t index, const SystemRef* system);

  // Makes and configures the port device; throws RunError with the reasons of a refusal.
  void Configure(const std::string& pluginPath, const Json::Value& settings);
  // Restores the children from this system's part of a cache file and says their values.
  void Restore(const std::vector<CacheEntry>& entries, CacheWriter* keep);
  void Start(Moment now);  // health starts counting; the first poll comes at once
  void Stop();             // timers cancelled
  void SetLink(Link* link) { ctl_->SetLink(link); }
  void Offer() { Poll(false); }  // the arbiter offers the line now
  void OnBytes(const unsigned char* data, std::size_t length);
  // Listen mode: another master's reply to the command this device expects.
  // `from`: a remembered reply, not the line's now.
  void TappedReply(const std::string& reply, const ListenTap::Remembered* from = nullptr);
  // A system that did the rounds asked for polls no more while the others finish: its health stands.
  void Tick(Moment now) {
    if (!done()) Emit(health_.Tick(now));
  }
  void LineUp(Moment now, const std::string& line) { Emit(health_.LineUp(now, line)); }
  bool LineDown(Moment now, const std::string& why, std::chrono::milliseconds reopenIn);
  void Observe(const Stamped& o) override;

  long long rounds() const { return rounds_; }
  bool done() const { return opt_.rounds && rounds_ >= *opt_.rounds; }
  const PMBusProtocol* engine() const { return engine_; }
  const SystemRef* system() const { return system_; }

 private:
  void Emit(Observation o) { run_.bus.Emit(std::move(o), system_); }
  void Emit(const HealthMonitor::Change& c) {
    if (c) Emit(Observation{*c});
  }
  void Say(std::string text) { Emit(Notice{std::move(text)}); }
  void Poll(bool rearm);
  void AfterDeviceCall(std::uint64_t commandsBefore);
  void OnTimeout(std::uint64_t generation);
  void JoinRounds();
  void OnMismatch(const std::string& unitKind, unsigned reported, unsigned configured);
  void RoundEnded();
  void Release() { run_.arbiter.Release(index_); }
  ValuesRead Values(long long round) const;

  Run run_;
  const RunOptions& opt_;
  const std::size_t index_;
  const SystemRef* const system_;
  boost::asio::steady_timer poll_, timeout_;
  std::shared_ptr<HostController> ctl_;
  std::shared_ptr<KLDSPDevice> device_;
  PMBusProtocol* engine_ = nullptr;
  std::vector<std::shared_ptr<KLDVDevice>> children_;
  std::map<const KLDVDevice*, std::size_t> restoredLength_;
  HealthMonitor health_;
  AlarmTracker alarms_;
  std::set<std::string> diagnosed_;
  std::string lastMismatch_;  // the last count mismatch since a round ended
  bool configuring_ = false;
  std::vector<std::string> configLog_;  // the plug-in's log lines while it takes the settings

  std::uint64_t timeoutGeneration_ = 0;
  long long rounds_ = 0;
  bool inRound_ = false;
  bool roundReplied_ = false;  // listen mode: the round's first reply came
  Clock::time_point roundStart_, holdUntil_;
  std::uint64_t roundFirstCommand_ = 0;
};

}  // namespace runner
