// Serial ports: opened, set to 8N1 at the given rate, read and written as a stream.
#include <fmt/format.h>

#include "tools/host/line/StreamLink.h"

namespace runner {

namespace asio = boost::asio;

Link::~Link() = default;

void ConfigureSerial(asio::serial_port& port, unsigned baud, boost::system::error_code& ec) {
  using sp = asio::serial_port;
  if (!ec) port.set_option(sp::baud_rate(baud), ec);
  if (!ec) port.set_option(sp::character_size(8), ec);
  if (!ec) port.set_option(sp::parity(sp::parity::none), ec);
  if (!ec) port.set_option(sp::stop_bits(sp::stop_bits::one), ec);
  if (!ec) port.set_option(sp::flow_control(sp::flow_control::none), ec);
}

std::unique_ptr<Link> OpenSerial(asio::io_context& io, const std::string& device, unsigned baud) {
  asio::serial_port port(io);
  boost::system::error_code ec;
  port.open(device, ec);
  ConfigureSerial(port, baud, ec);
  if (ec) throw LinkError(fmt::format("cannot open serial port {}: {}", device, ec.message()));
  return std::make_unique<StreamLink<asio::serial_port>>(std::move(port));
}

}  // namespace runner
