// The runner's poll loop: the host's side of the polling cycle on Boost.Asio.
// A poll timer asks RefreshStatus() while no reply is awaited, bytes read go
// to process(), a reply that does not come in time goes to process_error(),
// and a round end (the children published) sets the port device's readiness
// and last update, then queries the values. Everything the loop sees goes out
// as observations; the loop itself watches them for alarm edges and health.
// Listen mode: the device's commands are held back; the tap's reply to the
// same command from another master is what process() gets.
#include "tools/host/loop/Runner.h"

#include <fmt/format.h>

#include <boost/asio.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <fstream>
#include <map>
#include <memory>
#include <set>

#include "host/HostClock.h"
#include "host/KLDSPDevice.h"
#include "host/PMBusProtocol.h"
#include "tools/host/line/Links.h"
#include "tools/host/loop/CacheRestore.h"
#include "tools/host/loop/HealthMonitor.h"
#include "tools/host/loop/HostController.h"
#include "tools/host/loop/LineKeeper.h"
#include "tools/host/loop/ListenTap.h"
#include "tools/host/loop/Outputs.h"
#include "tools/host/loop/PluginLoader.h"
#include "tools/host/loop/SettingsCheck.h"
#include "tools/host/loop/SignalWatch.h"
#include "tools/host/loop/ValueQuery.h"
#include "tools/host/stream/AlarmTracker.h"
#include "tools/sim/Scenario.h"

namespace runner {
namespace {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* kPortType = "qpr2427k";
// While rounds fail for a settings mismatch, a new attempt starts at most this often.
constexpr milliseconds kFailedRoundGap{2000};
constexpr milliseconds kHealthTick{250};

std::string CommandName(unsigned char cid1, unsigned char cid2) { return fmt::format("{:02X}/{:02X}", cid1, cid2); }

class Session : public Observer {
 public:
  Session(const RunOptions& o, std::FILE* view, EventLog& events)
      : opt_(o),
        view_(view),
        events_(events),
        outputs_(o, view, events, bus_),
        poll_(io_),
        timeout_(io_),
        tick_(io_),
        duration_(io_),
        signals_(io_),
        health_(std::chrono::seconds(o.commLostS)),
        line_(io_, o, health_,
              {[this](const unsigned char* d, std::size_t n) { OnBytes(d, n); },
               [this](Link* link) { ctl_->SetLink(link); }, [this](const std::string& why, int status) { Stop(why, status); },
               [this](Observation o) { Emit(std::move(o)); }, [this] { return stopping_; }}) {
    bus_.Add(this);  // last: what the loop derives follows what it saw
    if (listening_)
      tap_ = std::make_unique<ListenTap>(
          o.timeoutMs, [this](Stamped s) { bus_.Emit(std::move(s)); },
          [this](const std::string& reply) { TappedReply(reply); });
  }

  int Run(const std::string& pluginPath, const Json::Value& settings);
  void Observe(const Stamped& o) override;

 private:
  void Emit(Observation o) { bus_.Emit(std::move(o)); }
  void Emit(const HealthMonitor::Change& c) {
    if (c) Emit(Observation{*c});
  }
  void Say(std::string text) { Emit(Notice{std::move(text)}); }
  void Poll();
  void ArmPoll();
  void Tick();
  void AfterDeviceCall(std::uint64_t commandsBefore);
  void OnBytes(const unsigned char* data, std::size_t length);
  void DeviceBytes(const unsigned char* data, std::size_t length);
  void TappedReply(const std::string& reply);
  void OnTimeout(std::uint64_t generation);
  void OnMismatch(const std::string& unitKind, unsigned reported, unsigned configured);
  void RoundEnded();
  ValuesRead Values(long long round) const;
  void Stop(const std::string& why, int status);
  void HangUp();
  void CheckEvents();
  void EndRun();

  const RunOptions& opt_;
  std::FILE* const view_;
  EventLog& events_;
  ObservationBus bus_;
  Outputs outputs_;
  CacheWriter* const cache_ = outputs_.cache();
  HttpServer* const http_ = outputs_.http();
  NutServer* const nut_ = outputs_.nut();
  asio::io_context io_;
  asio::steady_timer poll_, timeout_, tick_, duration_;
  SignalWatch signals_;
  std::unique_ptr<asio::thread_pool> pool_;
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

  LineKeeper line_;
  const bool listening_ = opt_.source == Source::Listen;
  std::unique_ptr<ListenTap> tap_;  // listen mode only
  std::uint64_t timeoutGeneration_ = 0;
  long long rounds_ = 0;
  bool inRound_ = false;
  bool roundReplied_ = false;  // listen mode: the round's first reply came
  Clock::time_point roundStart_, holdUntil_;
  std::uint64_t roundFirstCommand_ = 0;
  bool stopping_ = false;
  int status_ = 0;
  std::string stopReason_;
};

int Session::Run(const std::string& pluginPath, const Json::Value& settings) {
  device_ = CreatePortDevice(pluginPath);
  engine_ = dynamic_cast<PMBusProtocol*>(device_.get());
  if (!engine_) throw RunError("the plug-in's port device has no protocol engine");
  ctl_ = std::make_shared<HostController>(bus_);
  pool_ = std::make_unique<asio::thread_pool>(1);
  ctl_->SetWorkPool(pool_.get());
  ctl_->SetLoopPost([this](std::function<void()> f) { asio::post(io_, std::move(f)); });
  ctl_->SetMismatchSink([this](const std::string& kind, unsigned reported, unsigned configured) {
    OnMismatch(kind, reported, configured);
  });

  const Json::Value& id = settings["data_id"];
  if (!id.isNull() && !id.isUInt()) throw RunError("the settings' \"data_id\" must be a whole number from 0");
  // Problems are said whatever the view shows; a refusal gives its reasons.
  std::vector<std::string> problems;
  for (const auto& p : CheckSettings(settings)) problems.push_back(Describe(p));
  configuring_ = true;
  device_->Init(ctl_, id.isNull() ? 0u : id.asUInt(), settings);
  const bool accepted = device_->InitSetting(settings);
  configuring_ = false;
  if (!accepted) {
    problems.insert(problems.end(), configLog_.begin(), configLog_.end());
    std::string why;
    for (const auto& p : problems) why += (why.empty() ? ": " : "; ") + p;
    throw RunError(fmt::format("the plug-in refused the settings in {}{}", opt_.config, why));
  }
  for (const auto& p : problems) std::fprintf(stderr, "qpr2427k-host: %s: %s\n", opt_.config.c_str(), p.c_str());
  if (opt_.replyPauseMs) engine_->SetReplyPause(milliseconds(*opt_.replyPauseMs));
  else if (listening_) engine_->SetReplyPause(milliseconds(0));  // the other master paces the line
  // The host's side of the cycle: not ready, last update long past.
  device_->dataReady_ = false;
  device_->lastUpdate_ = host_clock::LocalSecondClock() - boost::posix_time::hours(24);
  children_ = device_->GetAllChildVDevices();
  ctl_->SetChildren(children_);
  {
    std::string list;
    for (const auto& c : children_)
      if (c) list += fmt::format(" {} {}", c->DeviceType(), c->DataId());
    Say(fmt::format("device {} {}, children:{}", kPortType, device_->DataId(), list));
  }
  if (http_) {
    std::string at;
    for (const auto& e : http_->Endpoints()) at += fmt::format("{}http://{}/", at.empty() ? "" : " and ", e);
    Say("http: serving on " + at);
  }
  if (nut_) {
    std::string at;
    for (const auto& e : nut_->Endpoints()) at += fmt::format("{}{}", at.empty() ? "" : " and ", e);
    Say(fmt::format("nut: serving UPS \"{}\" on {}", opt_.nut.upsName, at));
  }
  if (cache_) {
    const std::string why = CheckWritable(opt_.saveCache);
    if (!why.empty()) throw RunError(fmt::format("cannot write the cache file {}: {}", opt_.saveCache, why));
  }

  if (!opt_.cache.empty()) {
    auto restored = RestoreCache(opt_.cache, children_, cache_, [this](std::string line) { Say(std::move(line)); });
    if (restored) {
      restoredLength_ = std::move(*restored);
      // What the host answers right after a restart, before any round.
      Emit(Values(0));
    }
  }
  if (opt_.rounds && *opt_.rounds == 0) {
    EndRun();
    return status_;
  }
  signals_.Start([this](int signal) {
    if (signal == SIGHUP) HangUp();
    else Stop("interrupted", 0);
  });
  if (opt_.durationS) {
    duration_.expires_after(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(*opt_.durationS)));
    duration_.async_wait([this](const boost::system::error_code& ec) {
      if (ec) return;
      if (opt_.rounds && rounds_ < *opt_.rounds)
        Stop(fmt::format("only {} of {} rounds in {:g} s", rounds_, *opt_.rounds, *opt_.durationS), 1);
      else
        Stop(fmt::format("{:g} s elapsed", *opt_.durationS), 0);
    });
  }
  health_.Started(Moment::Now());
  // Listening, the device's first command is expected before the first byte
  // is read: a file on standard input is read at once.
  if (listening_) asio::post(io_, [this] { Poll(); });
  line_.Open();
  if (!stopping_) {
    Tick();
    if (!listening_) asio::post(io_, [this] { Poll(); });
    io_.run();
  }
  EndRun();
  return status_;
}

// What the loop watches on its own stream: alarm edges and the health inputs.
void Session::Observe(const Stamped& o) {
  const Moment now{Clock::now(), o.t};
  if (const auto* l = std::get_if<LogLine>(&o.what); l && configuring_) configLog_.push_back(l->message);
  if (const auto* a = std::get_if<AlarmCall>(&o.what)) {
    if (auto edge = alarms_.Call(*a, o.t)) bus_.Emit(Stamped{o.t, std::move(*edge)});
  } else if (const auto* c = std::get_if<CommandSent>(&o.what)) {
    health_.CommandSent(now, CommandName(c->cid1, c->cid2));
    if (tap_) tap_->Expect(c->frame);
  } else if (std::holds_alternative<ReplyAccepted>(o.what)) {
    Emit(health_.ReplyCame(now));
  } else if (const auto* r = std::get_if<FrameRejected>(&o.what)) {
    health_.Rejected(r->reason);
  } else if (std::holds_alternative<ReplyMissing>(o.what)) {
    Emit(health_.TimedOut(now));
  }
}

void Session::Tick() {
  if (stopping_) return;
  CheckEvents();
  Emit(health_.Tick(Moment::Now()));
  tick_.expires_after(kHealthTick);
  tick_.async_wait([this](const boost::system::error_code& ec) {
    if (!ec) Tick();
  });
}

void Session::ArmPoll() {
  poll_.expires_after(milliseconds(opt_.pollMs));
  poll_.async_wait([this](const boost::system::error_code& ec) {
    if (!ec) Poll();
  });
}

void Session::Poll() {
  if (stopping_) return;
  // The serial base says 0 while an exchange is open; the host asks only when
  // idle, with the line up, and not before a failed round's pause is over.
  if (line_.up() && !device_->IsProcessing() && Clock::now() >= holdUntil_) {
    const std::uint64_t before = ctl_->commandsSent();
    device_->RefreshStatus();
    AfterDeviceCall(before);
  }
  if (!stopping_) ArmPoll();
}

void Session::AfterDeviceCall(std::uint64_t commandsBefore) {
  if (ctl_->commandsSent() != commandsBefore) {
    if (!inRound_ && ctl_->lastCid2() != 0x51) {  // the model query is not part of a round
      inRound_ = true;
      roundReplied_ = false;
      roundStart_ = ctl_->lastCommandAt();
      roundFirstCommand_ = ctl_->commandsSent();
    }
    const std::uint64_t generation = ++timeoutGeneration_;
    // Listening, the reply comes when the other master next asks the same:
    // waited for up to the comm-lost threshold.
    timeout_.expires_after(listening_ ? milliseconds(opt_.commLostS * 1000ull) : milliseconds(opt_.timeoutMs));
    timeout_.async_wait([this, generation](const boost::system::error_code& ec) {
      if (!ec) OnTimeout(generation);
    });
  } else if (!device_->IsProcessing()) {
    ++timeoutGeneration_;
    timeout_.cancel();
  }
}

void Session::OnTimeout(std::uint64_t generation) {
  if (stopping_ || generation != timeoutGeneration_ || !device_->IsProcessing()) return;
  if (tap_) tap_->Clear();
  engine_->process_error();
}

void Session::OnBytes(const unsigned char* data, std::size_t length) {
  if (stopping_) return;
  if (tap_) {  // seconds to the microsecond: replies on a fast line follow their command within a millisecond
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return tap_->Bytes(data, length, std::chrono::duration<double>(now).count());
  }
  DeviceBytes(data, length);
}

// The other master's reply to the command the device expects: handed on as if
// the device had polled, and the device asked again at once (the round wait is
// the other master's), so that bytes read in one go serve one exchange after another.
void Session::TappedReply(const std::string& reply) {
  if (stopping_) return;
  // A listened round lasts from its first reply: the device's first command
  // waited for the other master's round to begin.
  if (inRound_ && !roundReplied_) {
    roundStart_ = Clock::now();
    roundReplied_ = true;
  }
  DeviceBytes(reinterpret_cast<const unsigned char*>(reply.data()), reply.size());
  if (!stopping_ && !device_->IsProcessing()) {
    const std::uint64_t before = ctl_->commandsSent();
    device_->RefreshStatus();
    AfterDeviceCall(before);
  }
}

void Session::DeviceBytes(const unsigned char* data, std::size_t length) {
  std::vector<unsigned char> copy(data, data + length);  // process() takes a mutable buffer
  const std::uint64_t commands = ctl_->commandsSent();
  const std::uint64_t published = ctl_->publications();
  device_->process(copy.data(), static_cast<unsigned>(copy.size()));
  if (ctl_->publications() != published) RoundEnded();
  if (!stopping_) AfterDeviceCall(commands);
}

void Session::OnMismatch(const std::string& unitKind, unsigned reported, unsigned configured) {
  const std::string message =
      fmt::format("the power system reports {} {} unit{}; the settings configure {} ({})", reported, unitKind,
                  reported == 1 ? "" : "s", configured, unitKind == "AC" ? "acSetting" : "dcSetting");
  // One reply with another count may be a garbled one: a line fault. The
  // same count again before a round ends is the settings' problem.
  const bool repeated = message == lastMismatch_;
  lastMismatch_ = message;
  if (!repeated) {
    health_.Rejected(message);
    Say(fmt::format("line fault: {}; a settings problem if it repeats", message));
  } else if (diagnosed_.insert(message).second) {
    Emit(Diagnosis{message});
  }
  health_.SetCause(message);
  // The device starts over at once; the host lets it try again only after a pause.
  holdUntil_ = ctl_->lastCommandAt() + kFailedRoundGap;
  if (unitKind == "AC") inRound_ = false;
}

void Session::RoundEnded() {
  const auto now = Clock::now();
  const double ms = std::chrono::duration<double, std::milli>(now - roundStart_).count();
  const std::uint64_t commands = ctl_->commandsSent() - roundFirstCommand_ + 1;
  inRound_ = roundReplied_ = false;
  lastMismatch_.clear();
  ++rounds_;
  line_.Worked();
  device_->dataReady_ = true;
  device_->lastUpdate_ = host_clock::LocalSecondClock();
  if (opt_.noRoundWait || listening_) device_->lastUpdate_ -= boost::posix_time::seconds(2);

  Emit(health_.RoundEnded(Moment::Now(), ms));
  Emit(runner::RoundEnded{rounds_, ms, commands});
  Emit(Values(rounds_));
  if (opt_.rounds && rounds_ >= *opt_.rounds) Stop(fmt::format("{} rounds done", rounds_), 0);
}

ValuesRead Session::Values(long long round) const {
  return QueryValues(children_, round, [this](const KLDVDevice* d) {
    const std::size_t published = ctl_->PublishedLength(d);
    if (published) return published;
    const auto it = restoredLength_.find(d);
    return it == restoredLength_.end() ? std::size_t{0} : it->second;
  });
}

// SIGHUP (log rotation, a closed terminal): the events go on in a file opened
// anew at their path, and the cache is written now; the run goes on.
void Session::HangUp() {
  if (stopping_) return;
  std::string done;
  if (events_.Reopen()) done = "events file " + opt_.events + " reopened";
  if (cache_) {
    cache_->WriteSoon();
    done += (done.empty() ? "" : ", ") + fmt::format("cache written to {}", opt_.saveCache);
  }
  Say(fmt::format("{} hang-up signal: {}", LocalClock(WallMillis()), done.empty() ? "nothing to reopen" : done));
}

// The first events write error, said once: in the view and on standard error.
void Session::CheckEvents() {
  const std::string problem = events_.TakeProblem();
  if (problem.empty()) return;
  if (view_ != stderr) std::fprintf(stderr, "qpr2427k-host: %s\n", problem.c_str());
  Emit(Notice{problem, true});
}

void Session::Stop(const std::string& why, int status) {
  if (stopping_) return;
  stopping_ = true;
  stopReason_ = why;
  status_ = status;
  poll_.cancel();
  timeout_.cancel();
  tick_.cancel();
  duration_.cancel();
  signals_.Cancel();
  line_.Close();
  io_.stop();
}

void Session::EndRun() {
  if (ctl_) ctl_->SetLink(nullptr);
  if (tap_) {
    stopping_ = true;  // the frames still held are said, not handed on
    tap_->Finish();
    Emit(Notice{fmt::format("{}; {} commands of the plug-in held back, 0 bytes written", tap_->Summary(),
                            line_.heldBack()),
                true});
  }
  if (pool_) pool_->join();  // every queued work item runs before the cache is written
  io_.restart();
  io_.poll();  // the history the work items saved reaches the observers
  if (cache_) {
    cache_->Finish();
    if (!cache_->ok()) {
      status_ = 1;
      stopReason_ += fmt::format("; cannot write the cache file {}", opt_.saveCache);
    } else {
      Say(fmt::format("cache: written to {}", opt_.saveCache));
    }
  }
  events_.Flush();
  CheckEvents();
  if (const std::size_t lost = events_.lost()) {
    status_ = 1;
    stopReason_ += fmt::format("{}{} event{} not written", stopReason_.empty() ? "" : "; ", lost, lost == 1 ? "" : "s");
  }
  if (engine_ && !stopReason_.empty()) {
    const auto& st = engine_->GetStats();
    Emit(Notice{fmt::format("end: {} ({} rounds, {} commands, {} replies, {} rejected, {} time-outs)", stopReason_,
                            rounds_, st.commands, st.replies, st.rejected, st.timeouts),
                true});
  }
  bus_.Finish();
  if (status_ != 0) std::fprintf(stderr, "qpr2427k-host: %s\n", stopReason_.c_str());
}

}  // namespace

int Run(const RunOptions& options, std::FILE* view, EventLog& events) {
  const Json::Value settings = ReadJson(options.config, "settings file");
  if (!settings.isObject()) throw RunError(fmt::format("the settings file {} must hold an object", options.config));
  Session session(options, view, events);
  return session.Run(options.plugin, settings);
}

}  // namespace runner
