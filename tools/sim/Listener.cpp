// One client at a time on a TCP port: accepts, serves through a SimLink, and
// closes any client that comes while another is served.
#include "tools/sim/Listener.h"

#include <fmt/format.h>

namespace sim {

Listener::Listener(boost::asio::io_context& io, const tcp::endpoint& at, Bus& simulator,
                   Link::Clock::time_point start, Log log, Link::OnFrame onFrame)
    : acceptor_(io), simulator_(simulator), start_(start), log_(std::move(log)), onFrame_(std::move(onFrame)) {
  acceptor_.open(at.protocol());
  acceptor_.set_option(tcp::acceptor::reuse_address(true));
  acceptor_.bind(at);
  acceptor_.listen(1);
}

Listener::~Listener() {
  boost::system::error_code ignored;
  acceptor_.close(ignored);
  if (client_) client_->Close();
}

void Listener::Start() { Accept(); }

void Listener::Accept() {
  acceptor_.async_accept([this](const boost::system::error_code& ec, tcp::socket socket) {
    if (ec == boost::asio::error::operation_aborted) return;  // the listener is going away
    if (ec) {
      log_(fmt::format("accept failed: {}", ec.message()));
      return;
    }
    boost::system::error_code ignored;
    const auto at = socket.remote_endpoint(ignored);
    const std::string peer = fmt::format("{}:{}", at.address().to_string(), at.port());
    if (client_) {
      // The line has one end: a second controller would only see silence.
      socket.close(ignored);
      log_(fmt::format("second client {} refused: one client at a time", peer));
    } else {
      Serve(std::move(socket), peer);
    }
    Accept();
  });
}

void Listener::Serve(tcp::socket socket, const std::string& peer) {
  log_(fmt::format("client {} connected", peer));
  client_ = std::make_shared<Link>(
      std::move(socket), simulator_, start_,
      [this, alive = std::weak_ptr<int>(alive_)](const std::string& why) {
        if (alive.expired()) return;  // the listener has gone; its io_context ran on
        log_(fmt::format("client gone ({})", why));
        // A write failure leaves the read pending: close, so that the old
        // link ends before the next client is served.
        client_->Close();
        client_.reset();
      },
      onFrame_);
  client_->Start();
}

}  // namespace sim
