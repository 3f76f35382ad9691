// The run's signals read on the loop: SIGINT, SIGTERM and SIGHUP are blocked
// in every thread for the whole run and taken from a signalfd, so that none
// can end the process between the loop's end and its exit.
#pragma once
#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <functional>
#include <sys/signalfd.h>

namespace runner {

class SignalWatch {
 public:
  // Blocks the three signals in the calling thread and every thread it starts
  // from now on: called before the run starts any thread.
  static void BlockForRun();

  explicit SignalWatch(boost::asio::io_context& io);
  // Hands each signal to `onSignal` on the loop until Cancel(); a signal that
  // came before this call is handed on at once.
  void Start(std::function<void(int)> onSignal);
  void Cancel();

 private:
  void Read();

  boost::asio::posix::stream_descriptor fd_;
  signalfd_siginfo info_{};
  std::function<void(int)> onSignal_;
};

}  // namespace runner
