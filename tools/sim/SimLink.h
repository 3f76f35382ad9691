// Connects the simulated line (one or several systems) to one Boost.Asio byte
// stream (serial port, TCP socket or the master side of a pseudo-terminal):
// bytes read are fed to the systems, their replies are written back in order.
#pragma once
#include <boost/asio.hpp>
#include <array>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <string>

#include "tools/sim/Bus.h"

namespace sim {

template <typename Stream>
class SimLink : public std::enable_shared_from_this<SimLink<Stream>> {
 public:
  using Clock = std::chrono::steady_clock;
  // Called once when the stream fails or closes, with the reason.
  using OnClose = std::function<void(const std::string&)>;
  // Called for every frame handled (command text, reply bytes), for logging.
  using OnFrame = std::function<void(const std::string&, const std::string&)>;

  SimLink(Stream stream, Bus& simulator, Clock::time_point start, OnClose onClose,
          OnFrame onFrame = {})
      : stream_(std::move(stream)),
        sim_(simulator),
        start_(start),
        onClose_(std::move(onClose)),
        onFrame_(std::move(onFrame)) {}

  void Start() { Read(); }
  void Close() {
    boost::system::error_code ignored;
    stream_.close(ignored);
  }
  Stream& stream() { return stream_; }

 private:
  void Read() {
    auto self = this->shared_from_this();
    stream_.async_read_some(boost::asio::buffer(buf_),
                            [self](const boost::system::error_code& ec, std::size_t n) {
                              if (ec) return self->Fail(ec.message());
                              self->Handle(n);
                              self->Read();
                            });
  }

  void Handle(std::size_t n) {
    const double now = std::chrono::duration<double>(Clock::now() - start_).count();
    std::string replies = sim_.Feed(buf_.data(), n, now);
    if (onFrame_) onFrame_(std::string(buf_.data(), n), replies);
    if (replies.empty()) return;
    out_.push_back(std::move(replies));
    if (out_.size() == 1) Write();
  }

  void Write() {
    auto self = this->shared_from_this();
    boost::asio::async_write(stream_, boost::asio::buffer(out_.front()),
                             [self](const boost::system::error_code& ec, std::size_t) {
                               if (ec) return self->Fail(ec.message());
                               self->out_.pop_front();
                               if (!self->out_.empty()) self->Write();
                             });
  }

  void Fail(const std::string& why) {
    if (closed_) return;
    closed_ = true;
    if (onClose_) onClose_(why);
  }

  Stream stream_;
  Bus& sim_;
  Clock::time_point start_;
  OnClose onClose_;
  OnFrame onFrame_;
  std::array<char, 512> buf_{};
  std::deque<std::string> out_;
  bool closed_ = false;
};

}  // namespace sim
