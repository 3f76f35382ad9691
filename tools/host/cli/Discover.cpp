// Discovery of a power system: four commands in polling order, each retried
// on a time-out, their replies split from the byte stream and checked; a scan
// does that for each address of a list that answers the first. Then the
// settings text for what was found.
#include "tools/host/cli/Discover.h"

#include <fmt/format.h>

#include <algorithm>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <memory>
#include <optional>
#include <vector>

#include "host/PMBusProtocol.h"

namespace runner {
namespace {

namespace asio = boost::asio;

constexpr unsigned char kVersion = 0x21;  // the plug-in's protocol version
constexpr unsigned char kAllUnits = 0xFF; // group command: every unit

struct Query {
  unsigned char cid1, cid2;
  bool group;           // carries kAllUnits as its one info byte
  std::size_t minInfo;  // info bytes a usable reply has at least
};
// In the order a polling round asks them, so the system sees one round.
constexpr Query kModel{0x40, 0x51, false, 12};  // name (10), version (2), maker
constexpr Query kAc{0x40, 0x41, true, 2};       // flag, unit count, the units' values
constexpr Query kRectifier{0x41, 0x41, false, 6};  // flag, 4-byte value, module count
constexpr Query kDc{0x42, 0x41, true, 2};       // flag, unit count
constexpr Query kQueries[] = {kModel, kAc, kRectifier, kDc};
enum Reply : std::size_t { kModelReply, kAcReply, kRectifierReply, kDcReply };

std::string Name(const Query& q) { return fmt::format("{:02X}/{:02X}", q.cid1, q.cid2); }

// Whether an AC group reply holds exactly its units: per unit the channel
// count, per channel four values and a count of further values, then three
// currents. A model reply shares its unit code and can come late, after a
// repeated model query; its bytes do not walk to its end.
bool AcLayoutFits(const std::vector<unsigned char>& info) {
  std::size_t pos = 2;
  for (unsigned unit = 0; unit < info[1]; ++unit) {
    if (pos >= info.size()) return false;
    const unsigned channels = info[pos++];
    for (unsigned c = 0; c < channels; ++c) {
      pos += 16;
      if (pos >= info.size()) return false;
      pos += 1 + 4u * info[pos];
    }
    pos += 12;
  }
  return pos == info.size();
}

// Text from a zero-padded field: up to the first zero, trailing spaces cut.
std::string Field(const std::vector<unsigned char>& info, std::size_t at, std::size_t width) {
  std::string s;
  for (std::size_t k = at; k < info.size() && k < at + width && info[k] != 0; ++k) s += static_cast<char>(info[k]);
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// What the four replies say.
Discovered Read(const std::vector<std::vector<unsigned char>>& info) {
  const auto& model = info[kModelReply];
  const auto& ac = info[kAcReply];
  const auto& rc = info[kRectifierReply];
  const auto& dc = info[kDcReply];
  Discovered d;
  d.model = Field(model, 0, 10);
  d.versionMajor = model[10];
  d.versionMinor = model[11];
  d.maker = Field(model, 12, 20);
  d.acUnits = ac[1];
  d.acChannels = d.acUnits > 0 ? ac[2] : 0;
  d.rectifierModules = rc[5];
  d.dcUnits = dc[1];
  return d;
}

// One discovery, or one scan of several addresses, on one link. Shared with
// the link's and the timer's handlers, which do nothing once it is done.
// Scanning, the model query has one try of the scan's time-out, and an
// address that does not answer it is passed over; the other queries, and
// every query of a discovery, have the usual time-out and tries. A system
// slower than the scan's time-out shows itself by a reply with its address
// while another is asked: it is asked again, with the usual time-out and
// tries, once the list is through.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(asio::io_context& io, Link& link, const DiscoverOptions& o, std::vector<unsigned> addresses,
          std::optional<unsigned> scanTimeoutMs)
      : link_(link), o_(o), tries_(std::max(o.tries, 1u)), timer_(io), addresses_(std::move(addresses)),
        scanTimeoutMs_(scanTimeoutMs) {}

  void Start() {
    auto self = shared_from_this();
    link_.Start([self](const unsigned char* data, std::size_t n) { self->OnBytes(data, n); },
                [self](const std::string& why) { self->Fail("the line closed: " + why); });
    Send();
  }
  bool done() const { return done_; }
  const std::string& error() const { return error_; }
  const std::vector<std::vector<unsigned char>>& infos() const { return infos_; }
  const std::vector<ScanResult>& results() const { return results_; }
  void Fail(const std::string& why) {
    if (done_) return;
    error_ = why;
    Finish();
  }

 private:
  const Query& query() const { return kQueries[infos_.size()]; }
  unsigned address() const { return addresses_[at_]; }
  bool reasking() const { return at_ >= reaskFrom_; }
  bool probing() const { return scanTimeoutMs_ && infos_.empty() && !reasking(); }  // a scan's model query

  // A scan's result for the address asked; asked again, it replaces the first.
  void Record(ScanResult r) {
    if (reasking())
      for (ScanResult& old : results_)
        if (old.address == r.address) return void(old = std::move(r));
    results_.push_back(std::move(r));
  }

  void Send() {
    const Query& q = query();
    const std::string cmd = yd1363::Encode(kVersion, static_cast<unsigned char>(address()), q.cid1, q.cid2,
                                           &kAllUnits, q.group ? 1 : 0);
    inFrame_ = false;
    link_.Write(reinterpret_cast<const unsigned char*>(cmd.data()), cmd.size());
    sentText_ = cmd.substr(0, cmd.size() - 1);
    ++sent_;
    timer_.expires_after(std::chrono::milliseconds(probing() ? *scanTimeoutMs_ : o_.timeoutMs));
    timer_.async_wait([self = shared_from_this(), attempt = sent_](const boost::system::error_code& ec) {
      if (!ec && !self->done_ && attempt == self->sent_) self->OnTimeout();
    });
  }

  void OnTimeout() {
    if (probing()) {
      passed_.push_back(address());
      Record({address(), std::nullopt, false, refusal_});
      return Next();
    }
    if (++failed_ < tries_) return Send();
    const std::string tries = fmt::format("{} tr{}", tries_, tries_ == 1 ? "y" : "ies");
    const std::string why =
        refusal_.empty()
            ? fmt::format("the power system at address {} does not answer {} ({})", address(), Name(query()), tries)
            : fmt::format("the power system at address {} gives no usable reply to {} ({}; last: {})", address(),
                          Name(query()), tries, refusal_);
    if (!scanTimeoutMs_) return Fail(why);
    Record({address(), std::nullopt, true, why});
    Next();
  }

  // The scan's next address, or the end.
  void Next() {
    infos_.clear();
    refusal_.clear();
    failed_ = 0;
    if (++at_ == addresses_.size()) {
      if (late_.empty()) return Finish();
      reaskFrom_ = at_;
      addresses_.insert(addresses_.end(), late_.begin(), late_.end());
      late_.clear();
    }
    Send();
  }

  // Frames run from '~' to CR; bytes outside them are noise.
  void OnBytes(const unsigned char* data, std::size_t n) {
    for (std::size_t k = 0; k < n && !done_; ++k) {
      const char ch = static_cast<char>(data[k]);
      if (ch == '~') {
        rx_.assign(1, ch);
        inFrame_ = true;
      } else if (!inFrame_) {
        continue;
      } else if (ch == '\r') {
        inFrame_ = false;
        OnFrame();
      } else if (rx_.size() >= PMBusProtocol::kMaxFrameChars) {
        inFrame_ = false;
        refusal_ = "a frame too long";
      } else {
        rx_ += ch;
      }
    }
  }

  // Takes a usable reply and moves on; anything else is noted and the
  // command's time-out still runs (an echo of the command is not a reply).
  void OnFrame() {
    if (rx_ == sentText_) return;  // the line echoes what is sent
    yd1363::Decoded d;
    const std::string reason = yd1363::Decode(rx_.data() + 1, rx_.size() - 1, d);
    const Query& q = query();
    if (!reason.empty()) refusal_ = reason;
    else if (d.adr != address()) {
      if (!Late(d.adr)) refusal_ = fmt::format("a reply from address {}", d.adr);
    } else if (d.cid2 != 0) refusal_ = fmt::format("return code {:02X}", d.cid2);
    else if (d.cid1 != q.cid1) refusal_ = fmt::format("a reply with unit code {:02X}", d.cid1);
    else if (d.info.size() < q.minInfo || (infos_.size() == kAcReply && !AcLayoutFits(d.info)))
      refusal_ = fmt::format("a reply of {} info bytes", d.info.size());
    else return Take(std::move(d.info));
  }

  // Whether a reply with another address is a late one from an address the
  // scan passed over; that address is noted to be asked again.
  bool Late(unsigned adr) {
    const auto has = [adr](const std::vector<unsigned>& v) { return std::find(v.begin(), v.end(), adr) != v.end(); };
    if (!scanTimeoutMs_ || reasking() || !has(passed_)) return false;
    if (!has(late_)) late_.push_back(adr);
    return true;
  }

  void Take(std::vector<unsigned char> info) {
    infos_.push_back(std::move(info));
    refusal_.clear();
    failed_ = 0;
    if (infos_.size() < std::size(kQueries)) return Send();
    if (!scanTimeoutMs_) return Finish();
    Record({address(), Read(infos_), true, ""});
    Next();
  }

  void Finish() {
    done_ = true;
    timer_.cancel();
    link_.Close();
  }

  Link& link_;
  const DiscoverOptions o_;
  const unsigned tries_;
  asio::steady_timer timer_;
  std::string rx_;
  bool inFrame_ = false;
  unsigned long long sent_ = 0;  // commands sent: names the time-out that counts
  unsigned failed_ = 0;          // tries of the current command that timed out
  std::string refusal_;          // why the last frame for the current command was not taken
  std::vector<std::vector<unsigned char>> infos_;  // usable replies, by query
  std::vector<unsigned> addresses_;                // one for a discovery, the list for a scan (then those asked again)
  const std::optional<unsigned> scanTimeoutMs_;    // none: a discovery
  std::size_t at_ = 0;                             // the address being asked
  std::string sentText_;                           // the last command, without its CR
  std::vector<ScanResult> results_;                // a scan's, by address asked
  std::size_t reaskFrom_ = static_cast<std::size_t>(-1);  // where in addresses_ those asked again begin
  std::vector<unsigned> passed_;                   // addresses whose model query went unanswered
  std::vector<unsigned> late_;                     // of those, the ones that replied later
  bool done_ = false;
  std::string error_;
};

// Runs a session to its end; throws DiscoverError when it failed as a whole.
std::shared_ptr<Session> Run(asio::io_context& io, Link& link, const DiscoverOptions& o,
                             std::vector<unsigned> addresses, std::optional<unsigned> scanTimeoutMs) {
  for (unsigned a : addresses)
    if (a > 255) throw DiscoverError(fmt::format("address {} is not from 0 to 255", a));
  if (addresses.empty()) throw DiscoverError("no address to ask");
  auto session = std::make_shared<Session>(io, link, o, std::move(addresses), scanTimeoutMs);
  if (io.stopped()) io.restart();
  session->Start();
  while (!session->done())
    if (io.run_one() == 0) session->Fail("discovery was stopped before the power system answered");
  if (!session->error().empty()) throw DiscoverError(session->error());
  return session;
}

}  // namespace

Discovered Discover(asio::io_context& io, Link& link, const DiscoverOptions& o) {
  return Read(Run(io, link, o, {o.address}, std::nullopt)->infos());
}

std::vector<ScanResult> Scan(asio::io_context& io, Link& link, const std::vector<unsigned>& addresses,
                             const DiscoverOptions& o, unsigned scanTimeoutMs) {
  return Run(io, link, o, addresses, scanTimeoutMs)->results();
}

std::string SettingsJson(const Discovered& d, const DiscoverOptions& o) {
  // Written by hand to keep the keys in the order of the settings files.
  unsigned long long next = o.firstId;
  const auto units = [&](unsigned count) {
    if (count == 0) return std::string("[]");
    std::string s = "[\n";
    for (unsigned k = 0; k < count; ++k)
      s += fmt::format("    {{ \"data_id\": {} }}{}\n", ++next, k + 1 < count ? "," : "");
    return s + "  ]";
  };
  const std::string ac = units(d.acUnits);
  const std::string dc = units(d.dcUnits);
  return fmt::format(
      "{{\n  \"data_id\": {},\n  \"address\": {},\n  \"acSetting\": {},\n  \"dcSetting\": {},\n"
      "  \"rcSetting\": {{}}\n}}\n",
      o.firstId, o.address, ac, dc);
}

std::string SystemsSettingsJson(const std::vector<ScanResult>& results, const DiscoverOptions& o) {
  std::string out;
  unsigned long long next = o.firstId;
  for (const ScanResult& r : results) {
    if (!r.found) continue;
    DiscoverOptions one = o;
    one.address = r.address;
    one.firstId = static_cast<unsigned>(next);
    next += 1ULL + r.found->acUnits + r.found->dcUnits;
    std::string text = SettingsJson(*r.found, one);
    text.pop_back();  // its last newline
    std::string indented = "    ";
    for (char c : text) indented += c == '\n' ? std::string("\n    ") : std::string(1, c);
    out += (out.empty() ? "" : ",\n") + indented;
  }
  return "{\n  \"systems\": [\n" + out + "\n  ]\n}\n";
}

}  // namespace runner
