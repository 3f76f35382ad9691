// Discovery of the power system on a line: its model and how many AC units,
// DC units and rectifier modules it reports, and a settings object to match;
// or of every system on a line, by a scan of addresses.
#pragma once
#include <boost/asio/io_context.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

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

// One address of a scan: the system found there, or why none was.
struct ScanResult {
  unsigned address = 0;
  std::optional<Discovered> found;
  bool answeredModel = false;  // the model query had a usable reply (then `note` says what failed after it)
  std::string note;            // why there is no system: empty for silence, else the last reply refused
                               // ("a reply from address 7") or the discovery's failure
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

// Asks each address of `addresses` (0..255) for its model, waiting
// `scanTimeoutMs` once: an address that does not answer hears nothing else.
// Each that answers with its own address is discovered as by Discover, with
// o.timeoutMs and o.tries. A reply carrying another address than the one
// asked is not a system at the asked address. Results in the order asked.
// Starts and closes the link as Discover does; throws DiscoverError only when
// the line ends or the run is stopped.
std::vector<ScanResult> Scan(boost::asio::io_context& io, Link& link, const std::vector<unsigned>& addresses,
                             const DiscoverOptions& o, unsigned scanTimeoutMs);

// The port device's settings for the system: data ids from o.firstId on, the
// port device first, then the AC units, then the DC units; the rectifier
// carries the port device's id. Keys in the order the settings files use.
std::string SettingsJson(const Discovered& d, const DiscoverOptions& o);

// Settings for the systems a scan found, as {"systems": [...]}: each entry as
// SettingsJson with its address, data ids running on from o.firstId across them.
std::string SystemsSettingsJson(const std::vector<ScanResult>& results, const DiscoverOptions& o);

}  // namespace runner
