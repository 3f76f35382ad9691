// Command-line parsing for qpr2427k-host.
#include "tools/host/Options.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstdlib>

namespace runner {
namespace {

unsigned long long Unsigned(const std::string& opt, const std::string& text, unsigned long long max) {
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || v > max)
    throw UsageError(fmt::format("{} needs a whole number from 0 to {}, got \"{}\"", opt, max, text));
  return v;
}

}  // namespace

const char* UsageText() {
  return R"(usage: qpr2427k-host [options]

Loads the qpr2427k.so plug-in, creates its power-system device from a settings
file and polls a power system as the monitoring host does, showing every round.

Source of replies (one of):
  --simulate [SCENARIO]  the built-in simulator over a pseudo-terminal pair
                         (the default; SCENARIO is a scenario file, see examples/)
  --port DEVICE          a serial line (9600 baud 8N1 unless --baud),
                         or tcp:HOST:PORT for a serial-to-Ethernet converter
  --replay FILE          each non-empty line not starting with '#' is the wire
                         text of one reply ('~' to the checksum) answering the
                         next command; "-" is a reply that never comes; the run
                         ends when the lines run out

Device:
  --plugin FILE          the plug-in (default: qpr2427k.so beside this program)
  --config FILE          the device's settings (default: examples/site.json)
  --baud N               serial speed for --port (default 9600)

Run:
  --rounds N             end after N complete rounds
  --timeout-ms N         time a reply may take (default 1000)
  --poll-ms N            how often the device is asked to poll (default 100)
  --reply-pause-ms N     the engine's pause before handling a reply (default 20)
  --no-round-wait        let the next round start at once instead of 2 s after
                         the last one (for tests)

Records:
  --cache FILE           restore every child from this file at start
  --save-cache FILE      write each child's last saved history image at exit
  --events FILE          one JSON object per line for every command, reply,
                         alarm, publication, history save, log line, round, value
  --trace FILE           where the plug-in's own trace lines go ("-": the
                         terminal; default: discarded)
  --quiet                no per-round view
  --help                 this text
)";
}

Options ParseOptions(int argc, const char* const* argv) {
  Options o;
  int sources = 0;
  for (int k = 1; k < argc; ++k) {
    const std::string opt = argv[k];
    const auto value = [&]() -> std::string {
      if (k + 1 >= argc) throw UsageError(opt + " needs a value");
      return argv[++k];
    };
    if (opt == "--help" || opt == "-h") {
      o.help = true;
    } else if (opt == "--plugin") {
      o.plugin = value();
    } else if (opt == "--config") {
      o.config = value();
    } else if (opt == "--simulate") {
      o.source = Source::Simulate;
      ++sources;
      if (k + 1 < argc && std::string(argv[k + 1]).rfind("--", 0) != 0) o.scenario = argv[++k];
    } else if (opt == "--port") {
      o.source = Source::Port;
      ++sources;
      o.port = value();
    } else if (opt == "--replay") {
      o.source = Source::Replay;
      ++sources;
      o.replay = value();
    } else if (opt == "--baud") {
      o.baud = static_cast<unsigned>(Unsigned(opt, value(), 4000000));
      if (o.baud == 0) throw UsageError("--baud must not be 0");
    } else if (opt == "--rounds") {
      o.rounds = static_cast<long long>(Unsigned(opt, value(), 1ULL << 40));
    } else if (opt == "--timeout-ms") {
      o.timeoutMs = static_cast<unsigned>(Unsigned(opt, value(), 600000));
      if (o.timeoutMs == 0) throw UsageError("--timeout-ms must not be 0");
    } else if (opt == "--poll-ms") {
      o.pollMs = static_cast<unsigned>(Unsigned(opt, value(), 600000));
      if (o.pollMs == 0) throw UsageError("--poll-ms must not be 0");
    } else if (opt == "--reply-pause-ms") {
      o.replyPauseMs = static_cast<unsigned>(Unsigned(opt, value(), 10000));
    } else if (opt == "--no-round-wait") {
      o.noRoundWait = true;
    } else if (opt == "--cache") {
      o.cache = value();
    } else if (opt == "--save-cache") {
      o.saveCache = value();
    } else if (opt == "--events") {
      o.events = value();
    } else if (opt == "--trace") {
      o.trace = value();
    } else if (opt == "--quiet") {
      o.quiet = true;
    } else {
      throw UsageError("unknown argument " + opt);
    }
  }
  if (sources > 1) throw UsageError("give only one of --simulate, --port and --replay");
  return o;
}

}  // namespace runner
