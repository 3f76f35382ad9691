// qpr_line_pace: a TCP relay with the timing of a serial line. Bytes written
// by either side arrive at the other no sooner than a line of the given speed
// would carry them (10 bits a byte for 8N1), one direction at a time each way.
//
//   qpr_line_pace --connect HOST:PORT [--listen PORT] [--baud N] [--bits-per-byte N]
//
// Prints "listening on 127.0.0.1:PORT" once it accepts, relays one client,
// and on close prints the bytes carried each way.
#include <algorithm>
#include <array>
#include <boost/asio.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <functional>
#include <memory>
#include <string>

namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using Clock = std::chrono::steady_clock;

// One direction of the line: what it reads from `from` it writes to `to` when
// the last byte would have arrived.
class Direction {
 public:
  Direction(tcp::socket& from, tcp::socket& to, Clock::duration byteTime, const char* name,
            std::function<void()> onClose)
      : from_(from), to_(to), timer_(from.get_executor()), byteTime_(byteTime), name_(name),
        onClose_(std::move(onClose)) {}

  void Start() { Read(); }
  unsigned long long Bytes() const { return bytes_; }
  const char* Name() const { return name_; }

 private:
  struct Chunk {
    Clock::time_point due;
    std::string bytes;
  };

  void Read() {
    from_.async_read_some(asio::buffer(buf_), [this](const boost::system::error_code& ec, std::size_t n) {
      if (ec) return onClose_();
      const Clock::time_point start = std::max(Clock::now(), lineFree_);
      lineFree_ = start + byteTime_ * static_cast<long>(n);
      bytes_ += n;
      queue_.push_back({lineFree_, std::string(buf_.data(), n)});
      if (queue_.size() == 1) Arm();
      Read();
    });
  }

  void Arm() {
    timer_.expires_at(queue_.front().due);
    timer_.async_wait([this](const boost::system::error_code& ec) {
      if (ec) return;
      asio::async_write(to_, asio::buffer(queue_.front().bytes), [this](const boost::system::error_code& wec, std::size_t) {
        if (wec) return onClose_();
        queue_.pop_front();
        if (!queue_.empty()) Arm();
      });
    });
  }

  tcp::socket& from_;
  tcp::socket& to_;
  asio::steady_timer timer_;
  Clock::duration byteTime_;
  const char* name_;
  std::function<void()> onClose_;
  std::array<char, 4096> buf_{};
  std::deque<Chunk> queue_;
  Clock::time_point lineFree_{};
  unsigned long long bytes_ = 0;
};

[[noreturn]] void Usage(const char* why) {
  std::fprintf(stderr, "qpr_line_pace: %s\nusage: qpr_line_pace --connect HOST:PORT [--listen PORT] [--baud N] [--bits-per-byte N]\n", why);
  std::exit(2);
}

unsigned long Number(const char* text, const char* what) {
  char* end = nullptr;
  const unsigned long v = std::strtoul(text, &end, 10);
  if (!*text || *end) Usage(what);
  return v;
}

}  // namespace

int main(int argc, char** argv) {
  std::string connect;
  unsigned long listenPort = 0, baud = 9600, bits = 10;
  for (int k = 1; k < argc; ++k) {
    const std::string opt = argv[k];
    if (k + 1 >= argc) Usage("every option takes a value");
    const char* v = argv[++k];
    if (opt == "--connect") connect = v;
    else if (opt == "--listen") listenPort = Number(v, "--listen needs a port number");
    else if (opt == "--baud") baud = Number(v, "--baud needs a speed");
    else if (opt == "--bits-per-byte") bits = Number(v, "--bits-per-byte needs a number");
    else Usage("unknown option");
  }
  const auto colon = connect.rfind(':');
  if (colon == std::string::npos || colon == 0 || baud == 0 || bits == 0 || listenPort > 65535)
    Usage("--connect HOST:PORT is needed, and speeds are positive");

  asio::io_context io;
  tcp::acceptor acceptor(io, tcp::endpoint(asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(listenPort)));
  std::printf("listening on 127.0.0.1:%u\n", static_cast<unsigned>(acceptor.local_endpoint().port()));
  std::fflush(stdout);

  tcp::socket client(io), device(io);
  acceptor.accept(client);
  tcp::resolver resolver(io);
  asio::connect(device, resolver.resolve(connect.substr(0, colon), connect.substr(colon + 1)));
  client.set_option(tcp::no_delay(true));
  device.set_option(tcp::no_delay(true));

  const auto byteTime = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(static_cast<double>(bits) / static_cast<double>(baud)));
  const auto close = [&] {
    boost::system::error_code ignored;
    client.close(ignored);
    device.close(ignored);
    io.stop();
  };
  Direction toDevice(client, device, byteTime, "to the device", close);
  Direction toHost(device, client, byteTime, "to the host", close);
  toDevice.Start();
  toHost.Start();
  io.run();
  std::fprintf(stderr, "qpr_line_pace: %llu bytes %s, %llu bytes %s\n", toDevice.Bytes(), toDevice.Name(),
               toHost.Bytes(), toHost.Name());
  return 0;
}
