// The forwarding loop on Boost.Asio: each line's bytes are written to the
// other line first (a queued write that starts at once) and only then fed to
// the frame reader, so that decoding and outputs never hold a byte back. Each
// line is opened, lost and reopened on its own, with the back-off the polling
// run uses; bytes that come while the other line is down cannot be passed on
// and are counted.
#include "tools/host/forward/Forwarder.h"

#include <fmt/format.h>

#include <boost/asio.hpp>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "tools/host/loop/FrameSeenOf.h"
#include "tools/host/line/Links.h"
#include "tools/host/loop/Outputs.h"
#include "tools/host/loop/PcapOutput.h"
#include "tools/host/loop/SignalWatch.h"
#include "tools/host/stream/RunError.h"
#include "tools/host/wire/FrameReader.h"
#include "tools/host/wire/Pairing.h"

namespace runner {
namespace {

namespace asio = boost::asio;
using std::chrono::milliseconds;

constexpr milliseconds kMaxReopenDelay{30000};
// How often commands still awaiting a reply are looked at for their time-out.
constexpr milliseconds kExpireTick{250};

double Now() { return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(); }

class Forwarder {
 public:
  Forwarder(const RunOptions& o, std::FILE* view, EventLog& events)
      : opt_(o),
        events_(events),
        outputs_(o, view, events, bus_),
        signals_(io_),
        duration_(io_),
        expire_(io_),
        a_(io_, "A", "controller", o.forwardA, o.reopenMs),
        b_(io_, "B", "power system", o.forwardB, o.reopenMs),
        pairing_([this](wire::Frame&& f) { OnFrame(std::move(f)); }, o.timeoutMs / 1000.0),
        reader_([this](wire::Frame&& f) { pairing_.Add(std::move(f)); }) {
    if (!o.pcap.empty()) pcap_ = std::make_unique<PcapOutput>(o.pcap);
  }

  int Run();

 private:
  struct Side {
    Side(asio::io_context& io, const char* name, const char* role, std::string device, unsigned reopenMs)
        : name(name), role(role), device(std::move(device)), reopen(io), firstDelay(reopenMs), delay(reopenMs) {}
    const char* name;  // "A"
    const char* role;  // "controller"
    std::string device;
    asio::steady_timer reopen;
    milliseconds firstDelay, delay;
    std::unique_ptr<Link> link;
    std::uint64_t bytes = 0, dropped = 0;  // read from this side; of them not passed on
  };

  Side& Other(const Side& s) { return &s == &a_ ? b_ : a_; }
  void Say(std::string text) { bus_.Emit(Notice{std::move(text)}); }
  void Open(Side& s);
  void Opened(Side& s, std::unique_ptr<Link> link, const std::string& error);
  void Lost(Side& s, const std::string& why);
  void OnBytes(Side& from, const unsigned char* data, std::size_t length);
  void OnFrame(wire::Frame&& f);
  void Expire();
  void Stop(const std::string& why, int status);

  const RunOptions& opt_;
  EventLog& events_;
  ObservationBus bus_;
  Outputs outputs_;
  asio::io_context io_;
  SignalWatch signals_;
  asio::steady_timer duration_, expire_;
  Side a_, b_;
  wire::Pairing pairing_;
  wire::FrameReader reader_;
  std::unique_ptr<PcapOutput> pcap_;
  std::uint64_t frames_ = 0, commands_ = 0, replies_ = 0;
  bool stopping_ = false;
  int status_ = 0;
  std::string stopReason_;
};

int Forwarder::Run() {
  signals_.Start([this](int signal) {
    if (signal != SIGHUP) return Stop("interrupted", 0);
    Say(fmt::format("{} hang-up signal: {}", LocalClock(WallMillis()),
                    events_.Reopen() ? "events file " + opt_.events + " reopened" : "nothing to reopen"));
  });
  if (opt_.durationS) {
    duration_.expires_after(std::chrono::duration_cast<asio::steady_timer::duration>(
        std::chrono::duration<double>(*opt_.durationS)));
    duration_.async_wait([this](const boost::system::error_code& ec) {
      if (!ec) Stop(fmt::format("{:g} s elapsed", *opt_.durationS), 0);
    });
  }
  Say(fmt::format("forward: controller on A {}, power system on B {}", a_.device, b_.device));
  Open(a_);
  Open(b_);
  Expire();
  if (!stopping_) io_.run();

  // Frames still open or awaiting their replies are handed on as they are.
  reader_.Finish();
  pairing_.Finish();
  if (pcap_ && !pcap_->Finish()) {
    status_ = 1;
    stopReason_ += fmt::format("; cannot write the pcap file {}", pcap_->path());
  }
  events_.Flush();
  if (const std::size_t lost = events_.lost()) {
    status_ = 1;
    stopReason_ += fmt::format("; {} event{} not written", lost, lost == 1 ? "" : "s");
  }
  bus_.Emit(Notice{fmt::format("end: {} ({} frames, {} commands, {} replies; A to B {} bytes, B to A {} bytes, "
                               "{} not passed on while the other line was down)",
                               stopReason_, frames_, commands_, replies_, a_.bytes, b_.bytes,
                               a_.dropped + b_.dropped),
                   true});
  bus_.Finish();
  if (status_ != 0) std::fprintf(stderr, "qpr2427k-host: %s\n", stopReason_.c_str());
  return status_;
}

void Forwarder::Open(Side& s) {
  const auto done = [this, &s](std::unique_ptr<Link> link, const std::string& error) {
    Opened(s, std::move(link), error);
  };
  if (s.device.rfind("tcp:", 0) == 0) {
    const std::string rest = s.device.substr(4);
    const auto colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == rest.size())
      throw RunError(fmt::format("--forward {} needs the form tcp:HOST:PORT", s.device));
    return OpenTcpAsync(io_, rest.substr(0, colon), rest.substr(colon + 1), done);
  }
  std::unique_ptr<Link> link;
  std::string error;
  try {
    link = OpenSerial(io_, s.device, opt_.baud);
  } catch (const LinkError& e) {
    error = e.what();
  }
  done(std::move(link), error);
}

void Forwarder::Opened(Side& s, std::unique_ptr<Link> link, const std::string& error) {
  if (stopping_) return;
  if (!link) {
    if (opt_.exitOnLineLoss) return Stop(fmt::format("{} ({}): {}", s.name, s.role, error), 1);
    Say(fmt::format("{} {} ({}): {}; next try in {:g} s", LocalClock(WallMillis()), s.name, s.role, error,
                    s.delay.count() / 1000.0));
    s.reopen.expires_after(s.delay);
    s.delay = std::min(s.delay * 2, kMaxReopenDelay);
    s.reopen.async_wait([this, &s](const boost::system::error_code& ec) {
      if (!ec && !stopping_) Open(s);
    });
    return;
  }
  s.link = std::move(link);
  s.delay = s.firstDelay;
  s.link->Start([this, &s](const unsigned char* d, std::size_t n) { OnBytes(s, d, n); },
                [this, &s](const std::string& why) { Lost(s, why); });
  Say(fmt::format("{} {} ({}) open: {}", LocalClock(WallMillis()), s.name, s.role, s.device));
}

void Forwarder::Lost(Side& s, const std::string& why) {
  if (stopping_ || !s.link) return;
  if (opt_.exitOnLineLoss) return Stop(fmt::format("{} ({}) closed: {}", s.name, s.role, why), 1);
  // The link is in the middle of its own handler: let it go after it returns.
  std::shared_ptr<Link> old(std::move(s.link));
  old->Close();
  asio::post(io_, [old] {});
  Opened(s, nullptr, "closed: " + why);
}

void Forwarder::OnBytes(Side& from, const unsigned char* data, std::size_t length) {
  Side& to = Other(from);
  from.bytes += length;
  // Passed on first: the write starts before anything else is done with them.
  if (to.link) to.link->Write(data, length);
  else from.dropped += length;
  const bool command = &from == &a_;
  reader_.Feed(data, length, Now(), command ? wire::Direction::ToDevice : wire::Direction::FromDevice,
               command ? 0 : 1);
}

void Forwarder::OnFrame(wire::Frame&& f) {
  ++frames_;
  if (f.role == wire::Role::Command) ++commands_;
  else if (f.role == wire::Role::Reply) ++replies_;
  bus_.Emit(FrameSeenOf(f));
  if (pcap_) pcap_->Write(f);
}

void Forwarder::Expire() {
  if (stopping_) return;
  pairing_.Expire(Now());
  expire_.expires_after(kExpireTick);
  expire_.async_wait([this](const boost::system::error_code& ec) {
    if (!ec) Expire();
  });
}

void Forwarder::Stop(const std::string& why, int status) {
  if (stopping_) return;
  stopping_ = true;
  stopReason_ = why;
  status_ = status;
  signals_.Cancel();
  duration_.cancel();
  expire_.cancel();
  for (Side* s : {&a_, &b_}) {
    s->reopen.cancel();
    if (s->link) s->link->Close();
  }
  io_.stop();
}

}  // namespace

int Forward(const RunOptions& options, std::FILE* view, EventLog& events) {
  Forwarder forwarder(options, view, events);
  return forwarder.Run();
}

}  // namespace runner
