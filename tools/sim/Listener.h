// The simulator on a TCP port, as a serial-to-Ethernet converter: one client
// is served at a time, and one that connects meanwhile is closed at once.
#pragma once
#include <boost/asio.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "tools/sim/SimLink.h"
#include "tools/sim/Bus.h"

namespace sim {

class Listener {
 public:
  using tcp = boost::asio::ip::tcp;
  using Link = SimLink<tcp::socket>;
  // Receives one line of news (connections, refusals, failures) without an
  // end of line.
  using Log = std::function<void(const std::string&)>;

  // Binds and listens on `at` (port 0: a free one); throws
  // boost::system::system_error when it cannot.
  Listener(boost::asio::io_context& io, const tcp::endpoint& at, Bus& simulator,
           Link::Clock::time_point start, Log log, Link::OnFrame onFrame = {});
  ~Listener();
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  // Starts accepting clients.
  void Start();
  tcp::endpoint local() const { return acceptor_.local_endpoint(); }

 private:
  void Accept();
  void Serve(tcp::socket socket, const std::string& peer);

  tcp::acceptor acceptor_;
  Bus& simulator_;
  Link::Clock::time_point start_;
  Log log_;
  Link::OnFrame onFrame_;
  std::shared_ptr<Link> client_;  // the client being served, if any
  // Expires with the listener, so that a link outliving it does not call back.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

}  // namespace sim
