// One system's side of the polling cycle: a poll timer asks RefreshStatus()
// while no reply is awaited and the line is this system's to use, bytes read
// go to process(), a reply that does not come in time goes to process_error()
// and ends the system's turn, and a round end (the children published) sets
// the port device's readiness and last update, then queries the values.
// Listen mode: the other master paces the line, so there is no reply pause or
// round wait, and a reply is waited for up to the comm-lost threshold.
#include "tools/host/loop/SystemDriver.h"

#include <fmt/format.h>

#include <boost/asio/post.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "host/HostClock.h"
#include "tools/host/loop/CacheRestore.h"
#include "tools/host/loop/PluginLoader.h"
#include "tools/host/loop/ProblemText.h"
#include "tools/host/loop/SettingsCheck.h"
#include "tools/host/loop/ValueQuery.h"
#include "tools/host/stream/RunError.h"

namespace runner {
namespace {

namespace asio = boost::asio;
using std::chrono::milliseconds;

constexpr const char* kPortType = "qpr2427k";
// While rounds fail for a settings mismatch, a new attempt starts at most this often.
constexpr milliseconds kFailedRoundGap{2000};

std::string CommandName(unsigned char cid1, unsigned char cid2) { return fmt::format("{:02X}/{:02X}", cid1, cid2); }

}  // namespace

SystemDriver::SystemDriver(Run run, std::size_t index, const SystemRef* system)
    : run_(std::move(run)),
      opt_(run_.opt),
      index_(index),
      system_(system),
      poll_(run_.io),
      timeout_(run_.io),
      health_(std::chrono::seconds(run_.opt.commLostS)) {}

void SystemDriver::Configure(const std::string& pluginPath, const Json::Value& settings) {
  device_ = CreatePortDevice(pluginPath);
  engine_ = dynamic_cast<PMBusProtocol*>(device_.get());
  if (!engine_) throw RunError("the plug-in's port device has no protocol engine");
  ctl_ = std::make_shared<HostController>(run_.bus, system_);
  ctl_->SetWorkPool(&run_.pool);
  ctl_->SetLoopPost([this](std::function<void()> f) { asio::post(run_.io, std::move(f)); });
  ctl_->SetMismatchSink([this](const std::string& kind, unsigned reported, unsigned configured) {
    OnMismatch(kind, reported, configured);
  });
  const std::string of = system_ ? fmt::format(" of {}", system_->name) : "";

  const Json::Value& id = settings["data_id"];
  if (!id.isNull() && !id.isUInt()) throw RunError(fmt::format("the settings'{} \"data_id\" must be a whole number from 0", of));
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
    throw RunError(fmt::format("the plug-in refused the settings{} in {}{}", of, opt_.config, why));
  }
  for (const auto& p : problems)
    std::fprintf(stderr, "qpr2427k-host: %s:%s %s\n", opt_.config.c_str(),
                 system_ ? (" " + system_->name + ":").c_str() : "", p.c_str());
  if (opt_.replyPauseMs) engine_->SetReplyPause(milliseconds(*opt_.replyPauseMs));
  else if (run_.tap) engine_->SetReplyPause(milliseconds(0));  // the other master paces the line
  // The host's side of the cycle: not ready, last update long past.
  device_->dataReady_ = false;
  device_->lastUpdate_ = host_clock::LocalSecondClock() - boost::posix_time::hours(24);
  children_ = device_->GetAllChildVDevices();
  ctl_->SetChildren(children_);
  std::string list;
  for (const auto& c : children_)
    if (c) list += fmt::format(" {} {}", c->DeviceType(), c->DataId());
  Say(fmt::format("device {} {}, children:{}", kPortType, device_->DataId(), list));
}

void SystemDriver::Restore(const std::vector<CacheEntry>& entries, CacheWriter* keep) {
  restoredLength_ = RestoreCache(entries, children_, keep, system_, [this](std::string line) { Say(std::move(line)); });
  // What the host answers right after a restart, before any round.
  Emit(Values(0));
}

void SystemDriver::Start(Moment now) {
  health_.Started(now);
  asio::post(run_.io, [this] { Poll(true); });
}

void SystemDriver::Stop() {
  poll_.cancel();
  timeout_.cancel();
}

bool SystemDriver::LineDown(Moment now, const std::string& why, std::chrono::milliseconds reopenIn) {
  const auto change = health_.LineDown(now, why, reopenIn);
  Emit(change);
  return change.has_value();
}

// What the driver watches on its system's stream: alarm edges and the health inputs.
void SystemDriver::Observe(const Stamped& o) {
  if (o.system != system_) return;
  const Moment now{Clock::now(), o.t};
  if (const auto* l = std::get_if<LogLine>(&o.what); l && configuring_) configLog_.push_back(l->message);
  if (const auto* a = std::get_if<AlarmCall>(&o.what)) {
    if (auto edge = alarms_.Call(*a, o.t)) run_.bus.Emit(Stamped{o.t, std::move(*edge), system_});
  } else if (const auto* c = std::get_if<CommandSent>(&o.what)) {
    health_.CommandSent(now, CommandName(c->cid1, c->cid2));
    if (run_.tap) run_.tap->Expect(index_, c->frame);
  } else if (std::holds_alternative<ReplyAccepted>(o.what)) {
    Emit(health_.ReplyCame(now));
  } else if (const auto* r = std::get_if<FrameRejected>(&o.what)) {
    health_.Rejected(r->reason);
  } else if (std::holds_alternative<ReplyMissing>(o.what)) {
    Emit(health_.TimedOut(now));
  }
}

void SystemDriver::Poll(bool rearm) {
  if (run_.stopping()) return;
  // The serial base says 0 while an exchange is open; the host asks only when
  // idle, with the line up and this system's to use, and not before a failed
  // round's pause is over.
  // Listening, nothing is sent: every system expects its next command at once.
  if (!done() && run_.lineUp() && (run_.tap || run_.arbiter.MayTake(index_)) && !device_->IsProcessing() &&
      Clock::now() >= holdUntil_) {
    const std::uint64_t before = ctl_->commandsSent();
    device_->RefreshStatus();
    AfterDeviceCall(before);
  }
  if (!rearm || run_.stopping()) return;
  poll_.expires_after(milliseconds(opt_.pollMs));
  poll_.async_wait([this](const boost::system::error_code& ec) {
    if (!ec) Poll(true);
  });
}

void SystemDriver::AfterDeviceCall(std::uint64_t commandsBefore) {
  if (ctl_->commandsSent() != commandsBefore) {
    if (!run_.tap) run_.arbiter.Take(index_);
    if (!inRound_ && ctl_->lastCid2() != 0x51) {  // the model query is not part of a round
      inRound_ = true;
      roundReplied_ = false;
      roundStart_ = ctl_->lastCommandAt();
      roundFirstCommand_ = ctl_->commandsSent();
    }
    const std::uint64_t generation = ++timeoutGeneration_;
    // Listening, the reply comes when the other master next asks the same:
    // waited for up to the comm-lost threshold.
    timeout_.expires_after(run_.tap ? milliseconds(opt_.commLostS * 1000ull) : milliseconds(opt_.timeoutMs));
    timeout_.async_wait([this, generation](const boost::system::error_code& ec) {
      if (!ec) OnTimeout(generation);
    });
  } else if (!device_->IsProcessing()) {
    ++timeoutGeneration_;
    timeout_.cancel();
    // Nothing more to send now: the round ended, or it waits out a failed round's pause.
    if (!inRound_ || Clock::now() < holdUntil_) Release();
  }
}

void SystemDriver::OnTimeout(std::uint64_t generation) {
  if (run_.stopping() || generation != timeoutGeneration_ || !device_->IsProcessing()) return;
  // Listening, a model query the line did not answer takes the remembered reply.
  if (run_.tap && run_.tap->Unanswered(index_)) return;
  engine_->process_error();
  Release();  // a system that does not answer gives the line up for this turn
}

void SystemDriver::OnBytes(const unsigned char* data, std::size_t length) {
  std::vector<unsigned char> copy(data, data + length);  // process() takes a mutable buffer
  const std::uint64_t commands = ctl_->commandsSent();
  const std::uint64_t published = ctl_->publications();
  device_->process(copy.data(), static_cast<unsigned>(copy.size()));
  if (ctl_->publications() != published) RoundEnded();
  if (!run_.stopping()) AfterDeviceCall(commands);
}

// Handed on as if the device had polled, and the device asked again at once
// (the round wait is the other master's), so that bytes read in one go serve
// one exchange after another.
void SystemDriver::TappedReply(const std::string& reply, const ListenTap::Remembered* from) {
  if (run_.stopping()) return;
  // A listened round lasts from its first reply: the device's first command
  // waited for the other master's round to begin.
  if (inRound_ && !roundReplied_) {
    roundStart_ = Clock::now();
    roundReplied_ = true;
  }
  if (from && from->masterInRounds && !device_->dataReady_) JoinRounds();
  if (from) ctl_->SetRemembered(from->file, from->seen);
  OnBytes(reinterpret_cast<const unsigned char*>(reply.data()), reply.size());
  if (from) ctl_->SetRemembered({}, 0);
  // A system that did its rounds waits quietly while the others finish theirs.
  if (!run_.stopping() && !done() && !device_->IsProcessing()) {
    const std::uint64_t before = ctl_->commandsSent();
    device_->RefreshStatus();
    AfterDeviceCall(before);
  }
}

// The other master is past its first round: it asks the switch and alarm
// states only when the data flags say they changed, and the device, ready
// from now on, asks them when it does; the states it has meanwhile are said.
void SystemDriver::JoinRounds() {
  device_->dataReady_ = true;
  Emit(Notice{restoredLength_.empty()
                  ? "listen: the other master is in its rounds and asks the switch and alarm states only when they "
                    "change; until then the plug-in has none and their values read 0 (--cache keeps them for the "
                    "next start)"
                  : "listen: the other master is in its rounds and asks the switch and alarm states only when they "
                    "change; until then the plug-in has those restored from the cache",
              true});
}

void SystemDriver::OnMismatch(const std::string& unitKind, unsigned reported, unsigned configured) {
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

void SystemDriver::RoundEnded() {
  const auto now = Clock::now();
  const double ms = std::chrono::duration<double, std::milli>(now - roundStart_).count();
  const std::uint64_t commands = ctl_->commandsSent() - roundFirstCommand_ + 1;
  inRound_ = roundReplied_ = false;
  lastMismatch_.clear();
  ++rounds_;
  device_->dataReady_ = true;
  device_->lastUpdate_ = host_clock::LocalSecondClock();
  if (opt_.noRoundWait || run_.tap) device_->lastUpdate_ -= boost::posix_time::seconds(2);

  Emit(health_.RoundEnded(Moment::Now(), ms));
  Emit(runner::RoundEnded{rounds_, ms, commands});
  Emit(Values(rounds_));
  run_.roundEnded();
}

ValuesRead SystemDriver::Values(long long round) const {
  return QueryValues(children_, round, [this](const KLDVDevice* d) {
    const std::size_t published = ctl_->PublishedLength(d);
    if (published) return published;
    const auto it = restoredLength_.find(d);
    return it == restoredLength_.end() ? std::size_t{0} : it->second;
  });
}

}  // namespace runner
