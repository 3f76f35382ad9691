// The runner's poll loop on Boost.Asio: the line, its keeper and arbiter,
// the signals, the health tick and the outputs, shared by one driver per
// power system on the line (SystemDriver). Everything the loop sees goes out
// as observations; each driver watches its system's for alarm edges and health.
// Listen mode: the line's bytes go to the tap, which hands each system the
// other master's replies to the commands its device would send.
#include "tools/host/loop/Runner.h"

#include <fmt/format.h>

#include <algorithm>
#include <boost/asio.hpp>
#include <memory>
#include <utility>
#include <vector>

#include "tools/host/line/Links.h"
#include "tools/host/loop/CacheRestore.h"
#include "tools/host/loop/HealthMonitor.h"
#include "tools/host/loop/LineArbiter.h"
#include "tools/host/loop/LineKeeper.h"
#include "tools/host/loop/ListenTap.h"
#include "tools/host/loop/ModelFile.h"
#include "tools/host/loop/Outputs.h"
#include "tools/host/loop/PcapOutput.h"
#include "tools/host/loop/PluginLoader.h"
#include "tools/host/loop/SignalWatch.h"
#include "tools/host/loop/SystemDriver.h"
#include "tools/host/loop/SettingsCheck.h"
#include "tools/host/loop/SystemList.h"
#include "tools/host/outputs/cache/CacheFile.h"

namespace runner {
namespace {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

constexpr std::chrono::milliseconds kHealthTick{250};

class Session {
 public:
  Session(const RunOptions& o, std::FILE* view, EventLog& events, std::vector<SystemEntry> systems, bool tagged)
      : opt_(o),
        view_(view),
        events_(events),
        settings_(std::move(systems)),
        outputs_(o, view, events, bus_),
        tick_(io_),
        duration_(io_),
        signals_(io_),
        arbiter_(
            settings_.size(), [this](std::size_t d) { drivers_[d]->Offer(); },
            [this](std::function<void()> f) { asio::post(io_, std::move(f)); }),
        line_(io_, o,
              {[this](const unsigned char* d, std::size_t n) { OnBytes(d, n); },
               [this](Link* link) {
                 for (auto& d : drivers_) d->SetLink(link);
               },
               [this](const std::string& why, int status) { Stop(why, status); },
               [this](Observation o) { bus_.Emit(std::move(o)); }, [this] { return stopping_; },
               [this](const std::string& port) {
                 const Moment now = Moment::Now();
                 for (auto& d : drivers_) d->LineUp(now, port);
               },
               [this](const std::string& why, std::chrono::milliseconds reopenIn) {
                 const Moment now = Moment::Now();
                 bool changed = false;
                 for (auto& d : drivers_) changed = d->LineDown(now, why, reopenIn) || changed;
                 return changed;
               }}) {
    if (o.source == Source::Listen) {
      if (!o.pcap.empty()) pcap_ = std::make_unique<PcapOutput>(o.pcap);
      tap_ = std::make_unique<ListenTap>(
          o.timeoutMs, [this](Stamped s) { bus_.Emit(std::move(s)); },
          [this](std::size_t k, const std::string& reply, const ListenTap::Remembered* from) {
            drivers_[k]->TappedReply(reply, from);
          },
          pcap_.get());
      if (!o.modelFile.empty()) {
        models_ = std::make_unique<ModelFile>(o.modelFile);
        tap_->RememberModels(models_.get(), [this](std::string text) { SaveModels(std::move(text)); });
      }
      if (settings_.size() > 1) {
        std::vector<unsigned char> addresses;
        for (const auto& s : settings_) addresses.push_back(static_cast<unsigned char>(s.address.value_or(1)));
        tap_->SetSystems(std::move(addresses));
      }
    }
    refs_.reserve(settings_.size());
    for (std::size_t k = 0; k < settings_.size(); ++k)
      refs_.push_back({static_cast<unsigned>(k), settings_[k].address.value_or(1), settings_[k].name, settings_[k].id});
    const SystemDriver::Run shared{io_,    opt_, bus_, arbiter_, pool_, [this] { return line_.up(); },
                                   [this] { return stopping_; }, [this] { RoundEnded(); }, tap_.get()};
    for (std::size_t k = 0; k < settings_.size(); ++k) {
      drivers_.push_back(std::make_unique<SystemDriver>(shared, k, tagged ? &refs_[k] : nullptr));
      bus_.Add(drivers_.back().get());  // after the outputs: what the loop derives follows what it saw
    }
    if (tagged) outputs_.Systems(refs_);
  }

  int Run(const std::string& pluginPath);

 private:
  void Say(std::string text) { bus_.Emit(Notice{std::move(text)}); }
  void Tick();
  void OnBytes(const unsigned char* data, std::size_t length);
  void RoundEnded();
  void LoadModels();
  void SaveModels(std::string text);
  long long FewestRounds() const;
  void Stop(const std::string& why, int status);
  void HangUp();
  void CheckEvents();
  void EndRun();

  const RunOptions& opt_;
  std::FILE* const view_;
  EventLog& events_;
  std::vector<SystemEntry> settings_;
  std::vector<SystemRef> refs_;
  ObservationBus bus_;
  Outputs outputs_;
  CacheWriter* const cache_ = outputs_.cache();
  HttpServer* const http_ = outputs_.http();
  NutServer* const nut_ = outputs_.nut();
  asio::io_context io_;
  asio::thread_pool pool_{1};
  asio::steady_timer tick_, duration_;
  SignalWatch signals_;
  std::unique_ptr<PcapOutput> pcap_;  // listen mode with --pcap
  std::unique_ptr<ListenTap> tap_;  // listen mode only
  std::unique_ptr<ModelFile> models_;  // listen mode with a model file
  bool modelSaveSaid_ = false;
  std::vector<std::unique_ptr<SystemDriver>> drivers_;
  LineArbiter arbiter_;
  LineKeeper line_;
  bool stopping_ = false, configured_ = false;
  int status_ = 0;
  std::string stopReason_;
};

int Session::Run(const std::string& pluginPath) {
  for (std::size_t k = 0; k < drivers_.size(); ++k) drivers_[k]->Configure(pluginPath, settings_[k].settings);
  configured_ = true;
  if (http_) {
    std::string at;
    for (const auto& e : http_->Endpoints()) at += fmt::format("{}http://{}/", at.empty() ? "" : " and ", e);
    Say("http: serving on " + at);
  }
  if (nut_) {
    std::string at;
    for (const auto& e : nut_->Endpoints()) at += fmt::format("{}{}", at.empty() ? "" : " and ", e);
    Say(fmt::format("nut: serving UPS {} on {}", nut_->Names(), at));
  }
  if (cache_) {
    const std::string why = CheckWritable(opt_.saveCache);
    if (!why.empty()) throw RunError(fmt::format("cannot write the cache file {}: {}", opt_.saveCache, why));
  }
  if (!opt_.cache.empty()) {
    const auto parts = CacheParts(opt_.cache, refs_, [this](std::string s) { Say(std::move(s)); });
    for (std::size_t k = 0; k < drivers_.size(); ++k)
      if (parts[k]) drivers_[k]->Restore(*parts[k], cache_);
  }
  if (models_) LoadModels();
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
      if (opt_.rounds && FewestRounds() < *opt_.rounds)
        Stop(fmt::format("only {} of {} rounds in {:g} s", FewestRounds(), *opt_.rounds, *opt_.durationS), 1);
      else
        Stop(fmt::format("{:g} s elapsed", *opt_.durationS), 0);
    });
  }
  const Moment now = Moment::Now();
  for (auto& d : drivers_) d->Start(now);
  line_.Open();
  if (!stopping_) {
    Tick();
    io_.run();
  }
  EndRun();
  return status_;
}

void Session::Tick() {
  if (stopping_) return;
  CheckEvents();
  const Moment now = Moment::Now();
  for (auto& d : drivers_) d->Tick(now);
  tick_.expires_after(kHealthTick);
  tick_.async_wait([this](const boost::system::error_code& ec) {
    if (!ec) Tick();
  });
}

// Bytes go to the system that holds the line, or held it last: a reply from
// another address is refused there and counted for the system that asked.
void Session::OnBytes(const unsigned char* data, std::size_t length) {
  if (stopping_) return;
  if (tap_) {  // seconds to the microsecond: replies on a fast line follow their command within a millisecond
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return tap_->Bytes(data, length, std::chrono::duration<double>(now).count());
  }
  const std::size_t to = arbiter_.Addressee();
  drivers_[to == LineArbiter::kNone ? 0 : to]->OnBytes(data, length);
}

// A model file that cannot be read is said and left aside: the listener
// waits for the line's model reply, and the first one tapped replaces the file.
void Session::LoadModels() {
  const std::string why = models_->Load();
  if (!why.empty()) bus_.Emit(Notice{fmt::format("listen: {}; waiting for the model reply on the line", why), true});
}

// Written by the work thread (the loop never waits on a disk); a failure is said once.
void Session::SaveModels(std::string text) {
  asio::post(pool_, [this, text = std::move(text)] {
    std::string why = WriteAtomically(opt_.modelFile, text, "model file");
    if (why.empty()) return;
    asio::post(io_, [this, why = std::move(why)] {
      if (std::exchange(modelSaveSaid_, true)) return;
      bus_.Emit(Notice{fmt::format("listen: cannot keep the model reply in {}: {}", opt_.modelFile, why), true});
    });
  });
}

void Session::RoundEnded() {
  line_.Worked();
  if (!opt_.rounds) return;
  for (const auto& d : drivers_)
    if (!d->done()) return;
  Stop(fmt::format("{} rounds done", FewestRounds()), 0);
}

long long Session::FewestRounds() const {
  long long fewest = drivers_.front()->rounds();
  for (const auto& d : drivers_) fewest = std::min(fewest, d->rounds());
  return fewest;
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
  bus_.Emit(Notice{problem, true});
}

void Session::Stop(const std::string& why, int status) {
  if (stopping_) return;
  stopping_ = true;
  stopReason_ = why;
  status_ = status;
  for (auto& d : drivers_) d->Stop();
  tick_.cancel();
  duration_.cancel();
  signals_.Cancel();
  line_.Close();
  io_.stop();
}

void Session::EndRun() {
  for (auto& d : drivers_) d->SetLink(nullptr);
  if (tap_) {
    stopping_ = true;  // the frames still held are said, not handed on
    tap_->Finish();
    bus_.Emit(Notice{fmt::format("{}; {} commands of the plug-in held back, 0 bytes written", tap_->Summary(),
                                 line_.heldBack()),
                     true});
    if (pcap_ && !pcap_->Finish()) {
      status_ = 1;
      stopReason_ += fmt::format("{}cannot write the pcap file {}", stopReason_.empty() ? "" : "; ", pcap_->path());
    }
  }
  pool_.join();  // every queued work item runs before the cache is written
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
  if (configured_ && !stopReason_.empty()) {
    if (drivers_.size() == 1) {
      const auto& st = drivers_.front()->engine()->GetStats();
      bus_.Emit(Notice{fmt::format("end: {} ({} rounds, {} commands, {} replies, {} rejected, {} time-outs)",
                                   stopReason_, drivers_.front()->rounds(), st.commands, st.replies, st.rejected,
                                   st.timeouts),
                       true});
    } else {
      bus_.Emit(Notice{fmt::format("end: {}", stopReason_), true});
      for (const auto& d : drivers_) {
        const auto& st = d->engine()->GetStats();
        bus_.Emit(Notice{fmt::format("end: {} rounds, {} commands, {} replies, {} rejected, {} time-outs", d->rounds(),
                                     st.commands, st.replies, st.rejected, st.timeouts),
                         true},
                  d->system());
      }
    }
  }
  bus_.Finish();
  if (status_ != 0) std::fprintf(stderr, "qpr2427k-host: %s\n", stopReason_.c_str());
}

}  // namespace

int Run(const RunOptions& options, std::FILE* view, EventLog& events) {
  const Json::Value settings = ReadJson(options.config, "settings file");
  if (!settings.isObject()) throw RunError(fmt::format("the settings file {} must hold an object", options.config));
  std::vector<SystemEntry> systems;
  try {
    systems = ListSystems(settings);
  } catch (const SystemListError& e) {
    throw RunError(fmt::format("the settings file {}: {}", options.config, e.what()));
  }
  if (systems.size() > 1) {
    // Two systems at one address cannot be told apart on the line.
    std::string why;
    for (const auto& p : CheckAcrossSystems(systems)) why += (why.empty() ? ": " : "; ") + Describe(p);
    if (!why.empty()) throw RunError(fmt::format("the settings file {} lists systems that clash{}", options.config, why));
  }
  const bool several = systems.size() > 1;
  Session session(options, view, events, std::move(systems), several);
  return session.Run(options.plugin);
}

}  // namespace runner
