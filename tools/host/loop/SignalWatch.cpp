// A signalfd for SIGINT, SIGTERM and SIGHUP, read by the loop.
#include "tools/host/loop/SignalWatch.h"

#include <pthread.h>
#include <signal.h>

#include <boost/asio/read.hpp>
#include <cstring>

#include "tools/host/stream/RunError.h"

namespace runner {
namespace {

sigset_t RunSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

int OpenSignalFd() {
  const sigset_t set = RunSignals();
  const int fd = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
  if (fd < 0) throw RunError(std::string("cannot watch for signals: ") + std::strerror(errno));
  return fd;
}

}  // namespace

void SignalWatch::BlockForRun() {
  const sigset_t set = RunSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

SignalWatch::SignalWatch(boost::asio::io_context& io) : fd_(io, OpenSignalFd()) {}

void SignalWatch::Start(std::function<void(int)> onSignal) {
  onSignal_ = std::move(onSignal);
  Read();
}

void SignalWatch::Read() {
  boost::asio::async_read(fd_, boost::asio::buffer(&info_, sizeof info_),
                          [this](const boost::system::error_code& ec, std::size_t) {
                            if (ec) return;
                            const int signal = static_cast<int>(info_.ssi_signo);
                            Read();  // first: the handler may cancel the watch
                            onSignal_(signal);
                          });
}

void SignalWatch::Cancel() {
  boost::system::error_code ignored;
  fd_.cancel(ignored);
}

}  // namespace runner
