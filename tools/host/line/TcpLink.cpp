// TCP connections to a serial-to-Ethernet converter, made without waiting.
#include <fmt/format.h>

#include "tools/host/line/StreamLink.h"

namespace runner {

namespace asio = boost::asio;

void OpenTcpAsync(asio::io_context& io, const std::string& host, const std::string& port, Opened done) {
  struct Attempt {
    explicit Attempt(asio::io_context& io) : resolver(io), socket(io) {}
    asio::ip::tcp::resolver resolver;
    asio::ip::tcp::socket socket;
  };
  auto a = std::make_shared<Attempt>(io);
  const auto fail = [host, port](const boost::system::error_code& ec) {
    return fmt::format("cannot connect to {}:{}: {}", host, port, ec.message());
  };
  a->resolver.async_resolve(host, port, [a, done, fail](const boost::system::error_code& ec,
                                                        const asio::ip::tcp::resolver::results_type& endpoints) {
    if (ec) return done(nullptr, fail(ec));
    asio::async_connect(a->socket, endpoints, [a, done, fail](const boost::system::error_code& ec, const auto&) {
      if (ec) return done(nullptr, fail(ec));
      boost::system::error_code ignored;
      a->socket.set_option(asio::ip::tcp::no_delay(true), ignored);
      done(std::make_unique<StreamLink<asio::ip::tcp::socket>>(std::move(a->socket)), {});
    });
  });
}

}  // namespace runner
