// Listen mode's lines: a serial device opened read-only and standard input;
// a TCP tap is the TCP link inside a ListenLink, which never writes.
#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/host/line/StreamLink.h"

namespace runner {
namespace {

namespace asio = boost::asio;

// A regular file on standard input: read in blocks, each posted after the
// last one's bytes were handled, so the loop keeps turning between them.
class FileReadLink : public Link {
 public:
  FileReadLink(asio::io_context& io, int fd) : io_(io), state_(std::make_shared<State>(fd)) {}
  ~FileReadLink() override { Close(); }
  void Start(OnBytes onBytes, OnEnd onEnd) override {
    state_->onBytes = std::move(onBytes);
    state_->onEnd = std::move(onEnd);
    Next(io_, state_);
  }
  void Write(const unsigned char*, std::size_t) override {}
  void Close() override {
    if (state_->fd >= 0) ::close(state_->fd);
    state_->fd = -1;
  }

 private:
  struct State {
    explicit State(int f) : fd(f) {}
    int fd;
    OnBytes onBytes;
    OnEnd onEnd;
    std::array<unsigned char, 4096> buf{};
  };
  static void Next(asio::io_context& io, const std::shared_ptr<State>& s) {
    asio::post(io, [&io, s] {
      if (s->fd < 0) return;
      const ssize_t n = ::read(s->fd, s->buf.data(), s->buf.size());
      if (n < 0 && errno == EINTR) return Next(io, s);
      if (n <= 0) return s->onEnd(n == 0 ? "the end of the input" : std::strerror(errno));
      s->onBytes(s->buf.data(), static_cast<std::size_t>(n));
      Next(io, s);
    });
  }
  asio::io_context& io_;
  std::shared_ptr<State> state_;
};

}  // namespace

std::unique_ptr<ListenLink> OpenListenSerial(asio::io_context& io, const std::string& device, unsigned baud) {
  // O_RDONLY: nothing this process does can put a byte on the line.
  const int fd = ::open(device.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw LinkError(fmt::format("cannot open serial port {}: {}", device, std::strerror(errno)));
  // Raw: no echo, no line editing, no translation of the bytes read.
  termios tio{};
  if (::tcgetattr(fd, &tio) == 0) {
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
  }
  asio::serial_port port(io);
  boost::system::error_code ec;
  port.assign(fd, ec);
  ConfigureSerial(port, baud, ec);
  if (ec) {
    if (!port.is_open()) ::close(fd);
    throw LinkError(fmt::format("cannot open serial port {}: {}", device, ec.message()));
  }
  return std::make_unique<ListenLink>(std::make_unique<StreamLink<asio::serial_port>>(std::move(port)));
}

std::unique_ptr<ListenLink> OpenListenStdin(asio::io_context& io) {
  const int fd = ::fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
  if (fd < 0) throw LinkError(fmt::format("cannot read standard input: {}", std::strerror(errno)));
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
    return std::make_unique<ListenLink>(std::make_unique<FileReadLink>(io, fd), true);
  return std::make_unique<ListenLink>(
      std::make_unique<StreamLink<asio::posix::stream_descriptor>>(asio::posix::stream_descriptor(io, fd)), true);
}

}  // namespace runner
