// The link over one Asio stream (serial port, TCP socket, pseudo-terminal)
// and the serial settings the runner uses; shared by the stream links.
#pragma once
#include <array>
#include <boost/asio.hpp>
#include <deque>
#include <memory>
#include <string>

#include "tools/host/line/Links.h"

namespace runner {

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
      self->stream.async_read_some(boost::asio::buffer(self->buf),
                                   [self](const boost::system::error_code& ec, std::size_t n) {
                                     if (self->closed) return;
                                     if (ec) return self->End(ec.message());
                                     self->onBytes(self->buf.data(), n);
                                     if (!self->closed) Read(self);
                                   });
    }
    static void Flush(const std::shared_ptr<State>& self) {
      boost::asio::async_write(self->stream, boost::asio::buffer(self->out.front()),
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

// 8 data bits, no parity, one stop bit, no flow control, at `baud`.
void ConfigureSerial(boost::asio::serial_port& port, unsigned baud, boost::system::error_code& ec);

}  // namespace runner
