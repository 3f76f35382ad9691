// Reply sources on Boost.Asio: stream links (serial, TCP, pseudo-terminal),
// the built-in simulator and replay files.
#include "tools/host/Links.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <boost/asio.hpp>
#include <deque>

#include "tools/sim/SimLink.h"

namespace runner {
namespace {

namespace asio = boost::asio;

// Reads and writes one Asio stream. The state lives in a shared object so that
// handlers still queued after Close() find it and do nothing.
template <typename Stream>
class StreamLink : public Link {
 public:
  explicit StreamLink(Stream stream) : state_(std::make_shared<State>(std::move(stream))) {}
  ~StreamLink() override { Close(); }

  void Start(OnBytes onBytes, OnEnd onEnd) override {
    state_->onBytes = std::move(onBytes);
    state_->onEnd = std::move(onEnd);
    State::Read(state_);
  }
  void Write(const unsigned char* data, std::size_t length) override {
    state_->out.emplace_back(reinterpret_cast<const char*>(data), length);
    if (state_->out.size() == 1) State::Flush(state_);
  }
  void Close() override {
    state_->closed = true;
    boost::system::error_code ignored;
    state_->stream.close(ignored);
  }

 private:
  struct State {
    explicit State(Stream s) : stream(std::move(s)) {}
    Stream stream;
    OnBytes onBytes;
    OnEnd onEnd;
    std::array<unsigned char, 512> buf{};
    std::deque<std::string> out;
    bool closed = false;

    static void Read(const std::shared_ptr<State>& self) {
      self->stream.async_read_some(asio::buffer(self->buf),
                                   [self](const boost::system::error_code& ec, std::size_t n) {
                                     if (self->closed) return;
                                     if (ec) return self->End(ec.message());
                                     self->onBytes(self->buf.data(), n);
                                     if (!self->closed) Read(self);
                                   });
    }
    static void Flush(const std::shared_ptr<State>& self) {
      asio::async_write(self->stream, asio::buffer(self->out.front()),
                        [self](const boost::system::error_code& ec, std::size_t) {
                          if (self->closed) return;
                          if (ec) return self->End(ec.message());
                          self->out.pop_front();
                          if (!self->out.empty()) Flush(self);
                        });
    }
    void End(const std::string& why) {
      closed = true;
      if (onEnd) onEnd(why);
    }
  };
  std::shared_ptr<State> state_;
};

void ConfigureSerial(asio::serial_port& port, unsigned baud, boost::system::error_code& ec) {
  using sp = asio::serial_port;
  if (!ec) port.set_option(sp::baud_rate(baud), ec);
  if (!ec) port.set_option(sp::character_size(8), ec);
  if (!ec) port.set_option(sp::parity(sp::parity::none), ec);
  if (!ec) port.set_option(sp::stop_bits(sp::stop_bits::one), ec);
  if (!ec) port.set_option(sp::flow_control(sp::flow_control::none), ec);
}

// The built-in simulator: it owns the model and the master side of the
// pseudo-terminal; the runner's side is a serial port on the slave.
class SimulatedLink : public Link {
 public:
  SimulatedLink(asio::io_context& io, sim::Scenario scenario)
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
  sim::Simulator simulator_;
  std::shared_ptr<sim::SimLink<asio::posix::stream_descriptor>> simSide_;
  std::unique_ptr<Link> hostSide_;
};

// Answers each command with the next line of the file, posted so that the
// reply arrives after the device's call that sent the command has returned.
class ReplayLink : public Link {
 public:
  ReplayLink(asio::io_context& io, std::vector<ReplayLine> lines)
      : io_(io), lines_(std::move(lines)), alive_(std::make_shared<bool>(true)) {}
  ~ReplayLink() override { Close(); }

  void Start(OnBytes onBytes, OnEnd onEnd) override {
    onBytes_ = std::move(onBytes);
    onEnd_ = std::move(onEnd);
  }
  void Write(const unsigned char*, std::size_t) override {
    std::weak_ptr<bool> alive = alive_;
    if (next_ >= lines_.size()) {
      asio::post(io_, [this, alive] {
        if (alive.lock() && *alive.lock()) onEnd_("the replay has no more replies");
      });
      return;
    }
    const ReplayLine& line = lines_[next_++];
    if (!line.frame) return;  // a reply that never comes
    std::string bytes = *line.frame + "\r";
    asio::post(io_, [this, alive, bytes] {
      const auto a = alive.lock();
      if (a && *a) onBytes_(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    });
  }
  void Close() override { *alive_ = false; }

 private:
  asio::io_context& io_;
  std::vector<ReplayLine> lines_;
  std::size_t next_ = 0;
  std::shared_ptr<bool> alive_;
  OnBytes onBytes_;
  OnEnd onEnd_;
};

}  // namespace

Link::~Link() = default;

std::unique_ptr<Link> OpenSerial(asio::io_context& io, const std::string& device, unsigned baud) {
  asio::serial_port port(io);
  boost::system::error_code ec;
  port.open(device, ec);
  ConfigureSerial(port, baud, ec);
  if (ec) throw LinkError(fmt::format("cannot open serial port {}: {}", device, ec.message()));
  return std::make_unique<StreamLink<asio::serial_port>>(std::move(port));
}

void OpenTcpAsync(asio::io_context& io, const std::string& host, const std::string& port, Opened done) {
  struct Attempt {
    explicit Attempt(asio::io_context& io) : resolver(io), socket(io) {}
    asio::ip::tcp::resolver resolver;
    asio::ip::tcp::socket socket;
  };
  auto a = std::make_shared<Attempt>(io);
  const auto fail = [host, port](const boost::system::error_code& ec) {
    return fmt::format("cannot connect to {}:{}: {}", host, port, ec.message());
  };
  a->resolver.async_resolve(host, port, [a, done, fail](const boost::system::error_code& ec,
                                                        const asio::ip::tcp::resolver::results_type& endpoints) {
    if (ec) return done(nullptr, fail(ec));
    asio::async_connect(a->socket, endpoints, [a, done, fail](const boost::system::error_code& ec, const auto&) {
      if (ec) return done(nullptr, fail(ec));
      boost::system::error_code ignored;
      a->socket.set_option(asio::ip::tcp::no_delay(true), ignored);
      done(std::make_unique<StreamLink<asio::ip::tcp::socket>>(std::move(a->socket)), {});
    });
  });
}

std::unique_ptr<Link> OpenSimulated(asio::io_context& io, sim::Scenario scenario) {
  return std::make_unique<SimulatedLink>(io, std::move(scenario));
}

std::vector<ReplayLine> ParseReplay(std::istream& in, const std::string& name) {
  std::vector<ReplayLine> lines;
  std::string text;
  int number = 0;
  while (std::getline(in, text)) {
    ++number;
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '\t')) text.pop_back();
    std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos || text[first] == '#') continue;
    text.erase(0, first);
    if (text == "-") {
      lines.push_back({std::nullopt, number});
    } else if (text[0] == '~') {
      lines.push_back({text, number});
    } else {
      throw LinkError(fmt::format("{}:{}: a reply line starts with '~' (or is \"-\" for no reply)", name, number));
    }
  }
  return lines;
}

std::unique_ptr<Link> OpenReplay(asio::io_context& io, std::vector<ReplayLine> lines) {
  return std::make_unique<ReplayLink>(io, std::move(lines));
}

}  // namespace runner
