// Command line of qpr2427k-host: where replies come from, what to record, and
// the host's timing (time-out, poll interval, reply pause, round gap).
#pragma once
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace runner {

// A command line the runner cannot use; the text says why.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum class Source { Simulate, Port, Replay };

struct Options {
  std::string plugin;           // empty: qpr2427k.so beside the program
  std::string config;           // empty: examples/site.json
  Source source = Source::Simulate;
  std::string scenario;         // --simulate SCENARIO (empty: built-in)
  std::string port;             // --port DEVICE or tcp:HOST:PORT
  unsigned baud = 9600;
  std::string replay;           // --replay FILE
  std::optional<long long> rounds;
  std::string cache, saveCache, events, trace;
  unsigned timeoutMs = 1000;    // a reply must come within this
  unsigned pollMs = 100;        // how often RefreshStatus() is asked
  std::optional<unsigned> replyPauseMs;  // none: the engine's own pause
  bool noRoundWait = false;     // set lastUpdate_ back at round end so rounds follow at once
  bool quiet = false;           // no per-round view
  bool help = false;
};

// Parses argv; throws UsageError.
Options ParseOptions(int argc, const char* const* argv);
// The --help text.
const char* UsageText();

}  // namespace runner
