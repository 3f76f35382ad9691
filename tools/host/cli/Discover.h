// Discovery of the power system on a line: its model and how many AC units,
// DC units and rectifier modules it reports, and a settings object to match.
#pragma once
#include <boost/asio/io_context.hpp>
#include <stdexcept>
#include <string>

#include "tools/host/line/Links.h"

namespace runner {

struct DiscoverOptions {
  unsigned address = 1;     // ADR byte of the system, 0..255
  unsigned firstId = 1;     // data id of the port device; the units follow it
  unsigned timeoutMs = 1000;
  unsigned tries = 3;       // per command (at least one)
};

struct Discovered {
  std::string model, maker;  // zero padding and trailing spaces removed
  int versionMajor = 0, versionMinor = 0;
  unsigned acUnits = 0, acChannels = 0 /* of the first unit */, dcUnits = 0, rectifierModules = 0;
};

// A command that never got a usable reply, or a line that ended; the text
// says which command and why.
class DiscoverError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Starts `link` (not yet started), asks the model (40/51), the AC group's
// analog values (40/41), the rectifier's (41/41) and the DC group's (42/41),
// each up to `o.tries` times, as the plug-in frames them, and runs `io` until
// all are answered. Replies with another address, a non-zero return code,
// another unit code or too few bytes do not count, nor an AC reply whose
// bytes do not match its unit and channel counts. The link is closed before
// returning, whatever the outcome. Throws DiscoverError.
Discovered Discover(boost::asio::io_context& io, Link& link, const DiscoverOptions& o);

// The port device's settings for the system: data ids from o.firstId on, the
// port device first, then the AC units, then the DC units; the rectifier
// carries the port device's id. Keys in the order the settings files use.
std::string SettingsJson(const Discovered& d, const DiscoverOptions& o);

}  // namespace runner
