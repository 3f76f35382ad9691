// What a run of qpr2427k-host is told: where replies come from, what to record,
// the host's timing, and how the runner behaves when the line or the system fails.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "tools/host/outputs/mqtt/MqttUrl.h"
#include "tools/host/outputs/nut/NutServer.h"

namespace runner {

// Listen: a tapped line beside another master, only read (the device in `port`).
enum class Source { Simulate, Port, Replay, Listen };
// What the program does: poll (the default), discover a system, check settings,
// decode saved images, decode a capture of the line or make a replay of one,
// or pass a controller's line through to the system and show it (forward).
enum class Mode { Run, Discover, CheckConfig, Decode, DecodeCapture, ToReplay, Forward };

struct RunOptions {
  Mode mode = Mode::Run;
  std::string plugin;           // empty: the first of SearchPaths::plugins that exists
  std::string config;           // empty: the first of SearchPaths::configs that exists
  std::string labels;           // --labels FILE: the operator's names (empty: none)
  Source source = Source::Simulate;
  std::string scenario;         // --simulate SCENARIO (empty: built-in)
  std::string port;             // --port or --listen: DEVICE, tcp:HOST:PORT (--listen: "-", standard input)
  unsigned baud = 9600;
  std::string replay;           // --replay FILE
  std::optional<long long> rounds;
  std::optional<double> durationS;  // end any run after this many seconds
  std::string cache, saveCache, events, trace;
  std::string modelFile;        // --listen: the last model reply seen on the line (empty: not kept)
  unsigned timeoutMs = 1000;    // a reply must come within this
  unsigned pollMs = 100;        // how often RefreshStatus() is asked
  std::optional<unsigned> replyPauseMs;  // none: the engine's own pause
  bool noRoundWait = false;     // set lastUpdate_ back at round end so rounds follow at once
  unsigned commLostS = 10;      // no round for longer than this: communication lost
  bool exitOnLineLoss = false;  // end with 1 when the line closes or cannot be opened
  unsigned reopenMs = 1000;     // first delay before reopening a lost line (doubles up to 30 s)
  unsigned firstId = 1;         // --discover: data ids numbered from here
  unsigned address = 1;         // --discover: the system's address
  std::vector<unsigned> scan;   // --discover --scan: the addresses to ask, in order (empty: no scan)
  unsigned scanTimeoutMs = 250; // --scan: time an address has to answer the model query
  std::string checkConfig;      // --check-config FILE
  std::string decode;           // --decode FILE
  bool csv = false;             // --format csv (else JSON lines)
  std::string capture;          // --decode-capture FILE or --to-replay FILE
  std::string captureFormat = "text";  // --decode-capture: text, jsonl or csv
  std::string pcap;             // --pcap FILE: the capture's (or the forwarded line's) frames as pcap
  std::string forwardA, forwardB;  // --forward A B: the controller's side, the system's side
  std::optional<MqttUrl> mqtt;  // --mqtt: publish to this broker (password from the URL or --mqtt-password-file)
  std::string mqttCa;           // --mqtt-ca: CA file for mqtts://
  std::string mqttPrefix = "qpr2427k";
  std::string site;             // --site: the site in MQTT topics and metric labels (empty: the host name)
  std::string mqttClientId;     // empty: qpr2427k-host-SITE
  bool quiet = false;           // no per-round view
  std::vector<std::string> httpAddresses;  // --http: where the HTTP endpoint listens
  std::optional<unsigned short> httpPort;  // none: no HTTP endpoint
  std::vector<std::string> nutAddresses;   // --nut: where the NUT server listens
  std::optional<unsigned short> nutPort;   // none: no NUT server
  NutSettings nut;                         // --nut-name, --nut-users, --nut-low-battery-v
  std::string snmpAgentx;       // --snmp-agentx: the AgentX master's socket (empty: no SNMP subagent)
  std::string snmpRoot = "1.3.6.1.4.1.32473.2427";  // --snmp-root: the project's MIB subtree (32473: the documentation number)
  bool help = false;
  bool version = false;
};

}  // namespace runner
