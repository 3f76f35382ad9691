// Discovery of a power system: four commands in polling order, each retried
// on a time-out, their replies split from the byte stream and checked; then
// the settings text for what was found.
#include "tools/host/cli/Discover.h"

#include <fmt/format.h>

#include <algorithm>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <memory>
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

// One discovery on one link. Shared with the link's and the timer's handlers,
// which do nothing once it is done.
class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(asio::io_context& io, Link& link, const DiscoverOptions& o)
      : link_(link), o_(o), tries_(std::max(o.tries, 1u)), timer_(io) {}

  void Start() {
    auto self = shared_from_this();
    link_.Start([self](const unsigned char* data, std::size_t n) { self->OnBytes(data, n); },
                [self](const std::string& why) { self->Fail("the line closed: " + why); });
    Send();
  }
  bool done() const { return done_; }
  const std::string& error() const { return error_; }
  const std::vector<std::vector<unsigned char>>& infos() const { return infos_; }
  void Fail(const std::string& why) {
    if (done_) return;
    error_ = why;
    Finish();
  }

 private:
  const Query& query() const { return kQueries[infos_.size()]; }

  void Send() {
    const Query& q = query();
    const std::string cmd = yd1363::Encode(kVersion, static_cast<unsigned char>(o_.address), q.cid1, q.cid2,
                                           &kAllUnits, q.group ? 1 : 0);
    inFrame_ = false;
    link_.Write(reinterpret_cast<const unsigned char*>(cmd.data()), cmd.size());
    ++sent_;
    timer_.expires_after(std::chrono::milliseconds(o_.timeoutMs));
    timer_.async_wait([self = shared_from_this(), attempt = sent_](const boost::system::error_code& ec) {
      if (!ec && !self->done_ && attempt == self->sent_) self->OnTimeout();
    });
  }

  void OnTimeout() {
    if (++failed_ < tries_) return Send();
    const std::string tries = fmt::format("{} tr{}", tries_, tries_ == 1 ? "y" : "ies");
    if (refusal_.empty())
      Fail(fmt::format("the power system at address {} does not answer {} ({})", o_.address, Name(query()), tries));
    else
      Fail(fmt::format("the power system at address {} gives no usable reply to {} ({}; last: {})", o_.address,
                       Name(query()), tries, refusal_));
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
    yd1363::Decoded d;
    const std::string reason = yd1363::Decode(rx_.data() + 1, rx_.size() - 1, d);
    const Query& q = query();
    if (!reason.empty()) refusal_ = reason;
    else if (d.adr != o_.address) refusal_ = fmt::format("a reply from address {}", d.adr);
    else if (d.cid2 != 0) refusal_ = fmt::format("return code {:02X}", d.cid2);
    else if (d.cid1 != q.cid1) refusal_ = fmt::format("a reply with unit code {:02X}", d.cid1);
    else if (d.info.size() < q.minInfo || (infos_.size() == kAcReply && !AcLayoutFits(d.info)))
      refusal_ = fmt::format("a reply of {} info bytes", d.info.size());
    else return Take(std::move(d.info));
  }

  void Take(std::vector<unsigned char> info) {
    infos_.push_back(std::move(info));
    refusal_.clear();
    failed_ = 0;
    if (infos_.size() == std::size(kQueries)) return Finish();
    Send();
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
  bool done_ = false;
  std::string error_;
};

}  // namespace

Discovered Discover(asio::io_context& io, Link& link, const DiscoverOptions& o) {
  if (o.address > 255) throw DiscoverError(fmt::format("address {} is not from 0 to 255", o.address));
  auto session = std::make_shared<Session>(io, link, o);
  if (io.stopped()) io.restart();
  session->Start();
  while (!session->done())
    if (io.run_one() == 0) session->Fail("discovery was stopped before the power system answered");
  if (!session->error().empty()) throw DiscoverError(session->error());

  const auto& info = session->infos();
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

}  // namespace runner
