// Sources of replies for the runner, all on one Boost.Asio io_context: a
// serial line, a TCP connection to a serial-to-Ethernet converter, the
// built-in simulator behind a pseudo-terminal pair, or a replay file.
#pragma once
#include <boost/asio/io_context.hpp>
#include <cstddef>
#include <functional>
#include <istream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/sim/Scenario.h"

namespace runner {

// A source that cannot be opened; the text says which and why.
class LinkError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class Link {
 public:
  using OnBytes = std::function<void(const unsigned char* data, std::size_t length)>;
  // The source has ended (closed, failed, or no more replies to give).
  using OnEnd = std::function<void(const std::string& why)>;

  virtual ~Link();
  virtual void Start(OnBytes onBytes, OnEnd onEnd) = 0;
  // Puts bytes on the line (queued; never blocks).
  virtual void Write(const unsigned char* data, std::size_t length) = 0;
  virtual void Close() = 0;
};

std::unique_ptr<Link> OpenSerial(boost::asio::io_context& io, const std::string& device, unsigned baud);
// A TCP connection, made without waiting: `done` gets the link, or none and why not.
using Opened = std::function<void(std::unique_ptr<Link> link, const std::string& error)>;
void OpenTcpAsync(boost::asio::io_context& io, const std::string& host, const std::string& port, Opened done);
// The simulator answers on the master side of a new pseudo-terminal; the
// runner talks to the slave side as to a serial port. A sim::Scenario passes
// for a line with that one system.
std::unique_ptr<Link> OpenSimulated(boost::asio::io_context& io, sim::BusScenario scenario);

// One line of a replay file: a reply's wire text, or none for "-".
struct ReplayLine {
  std::optional<std::string> frame;
  int lineNumber = 0;
};
// Reads replay lines; throws LinkError for a line that is neither "-" nor
// starts with '~'.
std::vector<ReplayLine> ParseReplay(std::istream& in, const std::string& name);
std::unique_ptr<Link> OpenReplay(boost::asio::io_context& io, std::vector<ReplayLine> lines);

}  // namespace runner
