// Opening, losing and reopening the run's line.
#include "tools/host/loop/LineKeeper.h"

#include <fmt/format.h>

#include <boost/asio/post.hpp>
#include <sstream>

#include "tools/common/InputFile.h"
#include "tools/host/stream/RunError.h"
#include "tools/sim/Scenario.h"

namespace runner {

namespace asio = boost::asio;
using std::chrono::milliseconds;

constexpr milliseconds kMaxReopenDelay{30000};

LineKeeper::LineKeeper(asio::io_context& io, const RunOptions& o, Hooks hooks)
    : io_(io), opt_(o), hooks_(std::move(hooks)), reopen_(io), reopenDelay_(o.reopenMs) {}

void LineKeeper::Close() {
  reopen_.cancel();
  if (link_) link_->Close();
}

void LineKeeper::Open() {
  const auto opened = [this](std::unique_ptr<Link> link, const std::string& error) {
    if (hooks_.stopping()) return;
    if (link) return Up(std::move(link));
    if (opt_.exitOnLineLoss) return hooks_.stop(error, 1);
    ScheduleReopen(error);
  };
  switch (opt_.source) {
    case Source::Simulate: {
      sim::BusScenario s;
      try {
        s = opt_.scenario.empty() ? sim::DefaultScenario() : sim::LoadBusScenario(opt_.scenario);
      } catch (const sim::ScenarioError& e) {
        throw RunError(e.what());
      }
      opened(OpenSimulated(io_, std::move(s)), {});
      break;
    }
    case Source::Port:
      if (opt_.port.rfind("tcp:", 0) == 0) {
        const std::string rest = opt_.port.substr(4);
        const auto colon = rest.rfind(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == rest.size())
          throw RunError(fmt::format("--port {} needs the form tcp:HOST:PORT", opt_.port));
        OpenTcpAsync(io_, rest.substr(0, colon), rest.substr(colon + 1), opened);
      } else {
        std::unique_ptr<Link> link;
        std::string error;
        try {
          link = OpenSerial(io_, opt_.port, opt_.baud);
        } catch (const LinkError& e) {
          error = e.what();
        }
        opened(std::move(link), error);
      }
      break;
    case Source::Listen:
      OpenListen(opened);
      break;
    case Source::Replay: {
      std::istringstream in;
      try {
        in.str(inputs::ReadInputFile(opt_.replay, "replay file"));
      } catch (const inputs::InputError& e) {
        throw RunError(e.what());
      }
      auto lines = ParseReplay(in, opt_.replay);
      Say(fmt::format("source: replay {} ({} replies)", opt_.replay, lines.size()));
      opened(OpenReplay(io_, std::move(lines)), {});
      break;
    }
  }
}

void LineKeeper::OpenListen(const std::function<void(std::unique_ptr<Link>, const std::string&)>& opened) {
  if (opt_.port.rfind("tcp:", 0) == 0) {
    const std::string rest = opt_.port.substr(4);
    const auto colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == rest.size())
      throw RunError(fmt::format("--listen {} needs the form tcp:HOST:PORT", opt_.port));
    // The socket is kept inside a ListenLink: nothing is ever sent on it.
    OpenTcpAsync(io_, rest.substr(0, colon), rest.substr(colon + 1),
                 [opened](std::unique_ptr<Link> link, const std::string& error) {
                   opened(link ? std::make_unique<ListenLink>(std::move(link)) : nullptr, error);
                 });
    return;
  }
  std::unique_ptr<Link> link;
  std::string error;
  try {
    link = opt_.port == "-" ? OpenListenStdin(io_) : OpenListenSerial(io_, opt_.port, opt_.baud);
  } catch (const LinkError& e) {
    error = e.what();
  }
  opened(std::move(link), error);
}

std::uint64_t LineKeeper::heldBack() const {
  const auto* listen = dynamic_cast<const ListenLink*>(link_.get());
  return heldBackBefore_ + (listen ? listen->heldBack() : 0);
}

void LineKeeper::Up(std::unique_ptr<Link> link) {
  link_ = std::move(link);
  hooks_.attach(link_.get());
  link_->Start(hooks_.bytes, [this, endsRun = link_->EndsRun()](const std::string& why) {
    if (endsRun) hooks_.stop(why, 0);
    else if (opt_.exitOnLineLoss) hooks_.stop("the line closed: " + why, 1);
    else Lost(why);
  });
  up_ = true;
  if (!everUp_ && opt_.source == Source::Simulate)
    Say(fmt::format("source: built-in simulator ({})", opt_.scenario.empty() ? "default scenario" : opt_.scenario));
  else if (!everUp_ && opt_.source == Source::Port)
    Say(fmt::format("source: {}", opt_.port));
  else if (!everUp_ && opt_.source == Source::Listen)
    Say(fmt::format("source: listening on {} (read only, nothing is sent)", opt_.port == "-" ? "standard input" : opt_.port));
  everUp_ = true;
  hooks_.up(opt_.port);
}

void LineKeeper::Lost(const std::string& why) {
  if (!up_) return;
  up_ = false;
  hooks_.attach(nullptr);
  // The link is in the middle of its own handler: let it go after it returns.
  if (const auto* listen = dynamic_cast<const ListenLink*>(link_.get())) heldBackBefore_ += listen->heldBack();
  std::shared_ptr<Link> old(std::move(link_));
  old->Close();
  asio::post(io_, [old] {});
  ScheduleReopen("the line closed: " + why);
}

void LineKeeper::ScheduleReopen(const std::string& why) {
  if (!hooks_.down(why, reopenDelay_)) Say(fmt::format("{} reopen failed: {}; next try in {:g} s", LocalClock(WallMillis()), why, reopenDelay_.count() / 1000.0));
  reopen_.expires_after(reopenDelay_);
  reopenDelay_ = std::min(reopenDelay_ * 2, kMaxReopenDelay);
  reopen_.async_wait([this](const boost::system::error_code& ec) {
    if (!ec && !hooks_.stopping()) Open();
  });
}

}  // namespace runner
