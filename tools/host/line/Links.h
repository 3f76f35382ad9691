// Sources of replies for the runner, all on one Boost.Asio io_context: a
// serial line, a TCP connection to a serial-to-Ethernet converter, the
// built-in simulator behind a pseudo-terminal pair, or a replay file.
#pragma once
#include <boost/asio/io_context.hpp>
#include <cstddef>
#include <cstdint>
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
  // The source's end is the end of the run's input (a replay file, standard
  // input): the run ends there, rather than losing the line and reopening it.
  virtual bool EndsRun() const { return false; }
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

// Listen mode: a line only read. Its Write() puts nothing on the line and
// counts what it held back. `endsRun`: the reader's end is the end of the input.
class ListenLink : public Link {
 public:
  explicit ListenLink(std::unique_ptr<Link> reader, bool endsRun = false)
      : reader_(std::move(reader)), endsRun_(endsRun) {}
  void Start(OnBytes onBytes, OnEnd onEnd) override { reader_->Start(std::move(onBytes), std::move(onEnd)); }
  void Write(const unsigned char*, std::size_t) override { ++heldBack_; }
  void Close() override { reader_->Close(); }
  bool EndsRun() const override { return endsRun_; }
  std::uint64_t heldBack() const { return heldBack_; }

 private:
  std::unique_ptr<Link> reader_;
  bool endsRun_;
  std::uint64_t heldBack_ = 0;
};
// A serial device opened read-only (O_RDONLY), raw, at `baud`.
std::unique_ptr<ListenLink> OpenListenSerial(boost::asio::io_context& io, const std::string& device, unsigned baud);
// Standard input: a pipe, terminal or socket read as it comes, a file read
// through; its end ends the run.
std::unique_ptr<ListenLink> OpenListenStdin(boost::asio::io_context& io);

}  // namespace runner
