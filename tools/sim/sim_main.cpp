// qpr2427k-sim: the power-system simulator on its own, answering a controller
// on a serial device or on a TCP port (one client at a time).
#include <fmt/format.h>

#include <boost/asio.hpp>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

#include "tools/sim/Listener.h"
#include "tools/sim/Scenario.h"
#include "tools/sim/SimLink.h"

#ifndef QPR_VERSION
#error "QPR_VERSION must be set by the build"
#endif

namespace {

constexpr const char* kUsage = R"(usage: qpr2427k-sim (--port DEVICE | --listen HOST:PORT) [options]

Simulates power systems of the QPR2427K family on one line: each answers the
YD/T 1363.3 commands addressed to it from a model of the system that a
scenario file describes (units, values, timed events, line faults). A
scenario with "systems" puts several systems on the line, each at its own
address; commands for an address no system has get no answer.

  --port DEVICE        serial device to answer on (for example /dev/ttyUSB0)
  --baud N             serial speed, default 9600 (8 data bits, no parity, 1 stop bit)
  --listen HOST:PORT   TCP address to answer on, like a serial-to-Ethernet converter
  --scenario FILE      scenario file (JSON); default: two AC units, the
                       rectifier and one DC unit, no events, no faults
  --verbose            print every command and reply on standard error
  --help               this text
  --version            print the version and exit
)";

struct Args {
  std::string port, listen, scenario;
  unsigned baud = 9600;
  bool verbose = false;
};

[[noreturn]] void UsageError(const std::string& what) {
  std::fprintf(stderr, "qpr2427k-sim: %s\n(try --help)\n", what.c_str());
  std::exit(2);
}

Args Parse(int argc, char** argv) {
  Args a;
  for (int k = 1; k < argc; ++k) {
    const std::string opt = argv[k];
    const auto value = [&]() -> std::string {
      if (k + 1 >= argc) UsageError(opt + " needs a value");
      return argv[++k];
    };
    if (opt == "--help" || opt == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (opt == "--version") {
      std::puts("qpr2427k-sim " QPR_VERSION);
      std::exit(0);
    } else if (opt == "--port") {
      a.port = value();
    } else if (opt == "--listen") {
      a.listen = value();
    } else if (opt == "--scenario") {
      a.scenario = value();
    } else if (opt == "--baud") {
      const std::string v = value();
      char* end = nullptr;
      const unsigned long b = std::strtoul(v.c_str(), &end, 10);
      if (v.empty() || *end != '\0' || b == 0 || b > 4000000) UsageError("--baud needs a positive speed");
      a.baud = static_cast<unsigned>(b);
    } else if (opt == "--verbose") {
      a.verbose = true;
    } else {
      UsageError("unknown argument " + opt);
    }
  }
  if (a.port.empty() == a.listen.empty()) UsageError("give one of --port DEVICE or --listen HOST:PORT");
  return a;
}

std::string Printable(const std::string& bytes) {
  std::string s;
  for (char c : bytes) s += c == '\r' ? std::string("<CR>") : std::string(1, c);
  return s;
}

using boost::asio::ip::tcp;

}  // namespace

int main(int argc, char** argv) {
  const Args args = Parse(argc, argv);
  std::optional<sim::Bus> simulator;
  try {
    simulator.emplace(args.scenario.empty() ? sim::DefaultScenario() : sim::LoadBusScenario(args.scenario));
  } catch (const sim::ScenarioError& e) {
    std::fprintf(stderr, "qpr2427k-sim: %s\n", e.what());
    return 1;
  }

  boost::asio::io_context io;
  const auto start = std::chrono::steady_clock::now();
  sim::SimLink<tcp::socket>::OnFrame onFrame;
  if (args.verbose)
    onFrame = [](const std::string& in, const std::string& out) {
      std::fprintf(stderr, "<- %s\n-> %s\n", Printable(in).c_str(), Printable(out).c_str());
    };

  boost::asio::signal_set signals(io, SIGINT, SIGTERM);
  signals.async_wait([&](const boost::system::error_code&, int) { io.stop(); });

  std::unique_ptr<sim::Listener> listener;
  if (!args.port.empty()) {
    boost::asio::serial_port port(io);
    boost::system::error_code ec;
    port.open(args.port, ec);
    if (!ec) port.set_option(boost::asio::serial_port::baud_rate(args.baud), ec);
    if (!ec) port.set_option(boost::asio::serial_port::character_size(8), ec);
    if (!ec) port.set_option(boost::asio::serial_port::parity(boost::asio::serial_port::parity::none), ec);
    if (!ec) port.set_option(boost::asio::serial_port::stop_bits(boost::asio::serial_port::stop_bits::one), ec);
    if (ec) {
      std::fprintf(stderr, "qpr2427k-sim: cannot open %s: %s\n", args.port.c_str(), ec.message().c_str());
      return 1;
    }
    auto link = std::make_shared<sim::SimLink<boost::asio::serial_port>>(
        std::move(port), *simulator, start,
        [&io](const std::string& why) {
          std::fprintf(stderr, "qpr2427k-sim: serial line closed (%s)\n", why.c_str());
          io.stop();
        },
        onFrame);
    link->Start();
    std::fprintf(stderr, "qpr2427k-sim: answering on %s at %u baud\n", args.port.c_str(), args.baud);
  } else {
    const auto colon = args.listen.rfind(':');
    if (colon == std::string::npos || colon == 0) {
      std::fprintf(stderr, "qpr2427k-sim: --listen needs HOST:PORT, got %s\n", args.listen.c_str());
      return 2;
    }
    boost::system::error_code ec;
    tcp::resolver resolver(io);
    const auto found = resolver.resolve(args.listen.substr(0, colon), args.listen.substr(colon + 1),
                                        tcp::resolver::passive, ec);
    if (!ec && found.empty()) ec = boost::asio::error::host_not_found;
    try {
      if (ec) throw boost::system::system_error(ec);
      listener = std::make_unique<sim::Listener>(
          io, found.begin()->endpoint(), *simulator, start,
          [](const std::string& line) { std::fprintf(stderr, "qpr2427k-sim: %s\n", line.c_str()); }, onFrame);
    } catch (const boost::system::system_error& e) {
      std::fprintf(stderr, "qpr2427k-sim: cannot listen on %s: %s\n", args.listen.c_str(), e.code().message().c_str());
      return 1;
    }
    listener->Start();
    const auto local = listener->local();
    std::fprintf(stderr, "qpr2427k-sim: listening on %s:%u\n", local.address().to_string().c_str(),
                 static_cast<unsigned>(local.port()));
  }
  io.run();
  const bool several = simulator->systems().size() > 1;
  for (const sim::Simulator& system : simulator->systems()) {
    const auto& st = system.stats();
    const std::string at = several ? fmt::format("address {}: ", system.scenario().address) : std::string();
    std::fprintf(stderr,
                 "qpr2427k-sim: %s%llu commands, %llu replies, %llu error replies, %llu faults, %lld rounds%s\n",
                 at.c_str(), static_cast<unsigned long long>(st.commands),
                 static_cast<unsigned long long>(st.replies), static_cast<unsigned long long>(st.errors),
                 static_cast<unsigned long long>(st.faults), system.Round(),
                 system.scenario().silent ? " (silent)" : "");
  }
  if (several)
    std::fprintf(stderr, "qpr2427k-sim: %llu frames for no system on the line\n",
                 static_cast<unsigned long long>(simulator->unclaimed()));
  return 0;
}
