// The built-in simulator (one or several systems on the line) behind a
// pseudo-terminal pair.
#include <fcntl.h>
#include <fmt/format.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/host/line/StreamLink.h"
#include "tools/sim/SimLink.h"

namespace runner {
namespace {

namespace asio = boost::asio;

// The built-in simulator: it owns the model and the master side of the
// pseudo-terminal; the runner's side is a serial port on the slave.
class SimulatedLink : public Link {
 public:
  SimulatedLink(asio::io_context& io, sim::BusScenario scenario)
      : simulator_(std::move(scenario)) {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0) throw LinkError(fmt::format("cannot open a pseudo-terminal: {}", std::strerror(errno)));
    std::array<char, 128> name{};
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name.data(), name.size()) != 0) {
      const int err = errno;
      ::close(master);
      throw LinkError(fmt::format("cannot set up a pseudo-terminal: {}", std::strerror(err)));
    }
    asio::serial_port slave(io);
    boost::system::error_code ec;
    slave.open(name.data(), ec);  // puts the line in raw mode
    ConfigureSerial(slave, 9600, ec);
    if (ec) {
      ::close(master);
      throw LinkError(fmt::format("cannot open {}: {}", name.data(), ec.message()));
    }
    simSide_ = std::make_shared<sim::SimLink<asio::posix::stream_descriptor>>(
        asio::posix::stream_descriptor(io, master), simulator_, std::chrono::steady_clock::now(),
        [](const std::string&) {});
    hostSide_ = std::make_unique<StreamLink<asio::serial_port>>(std::move(slave));
  }
  ~SimulatedLink() override { Close(); }

  void Start(OnBytes onBytes, OnEnd onEnd) override {
    simSide_->Start();
    hostSide_->Start(std::move(onBytes), std::move(onEnd));
  }
  void Write(const unsigned char* data, std::size_t length) override { hostSide_->Write(data, length); }
  void Close() override {
    hostSide_->Close();
    simSide_->Close();
  }

 private:
  sim::Bus simulator_;
  std::shared_ptr<sim::SimLink<asio::posix::stream_descriptor>> simSide_;
  std::unique_ptr<Link> hostSide_;
};

}  // namespace

std::unique_ptr<Link> OpenSimulated(asio::io_context& io, sim::BusScenario scenario) {
  return std::make_unique<SimulatedLink>(io, std::move(scenario));
}

}  // namespace runner
