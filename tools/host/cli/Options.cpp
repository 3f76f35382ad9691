// Command-line parsing for qpr2427k-host, on Boost.Program_options. Numbers are
// taken as text and checked here, so every refusal names the option and why.
#include "tools/host/cli/Options.h"

#include <fmt/format.h>

#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/program_options.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <map>
#include <sstream>
#include <tuple>

#include "tools/common/InputFile.h"
#include "tools/host/outputs/mqtt/MqttSettings.h"
#include "tools/host/outputs/nut/NutUsers.h"
#include "tools/host/outputs/snmp/Oid.h"

namespace runner {
namespace {

namespace po = boost::program_options;

// A site is one topic level and a device name; a prefix a few levels. Both
// bounded so that every topic made of them stays far below MQTT's 65535 bytes.
constexpr std::size_t kSiteMax = 128, kPrefixMax = 1024;

unsigned long long Unsigned(const std::string& opt, const std::string& text, unsigned long long max) {
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = std::strtoull(text.c_str(), &end, 10);
  if (text.empty() || text[0] == '-' || *end != '\0' || errno != 0 || v > max)
    throw UsageError(fmt::format("{} needs a whole number from 0 to {}, got \"{}\"", opt, max, text));
  return v;
}

unsigned NonZero(const std::string& opt, const std::string& text, unsigned long long max) {
  const auto v = static_cast<unsigned>(Unsigned(opt, text, max));
  if (v == 0) throw UsageError(opt + " must not be 0");
  return v;
}

// --scan: addresses and ranges of them, comma-separated ("1-32", "1,5,9-12"),
// each from 0 to 255; an address given twice is asked once, where first given.
std::vector<unsigned> ParseAddressList(const std::string& text) {
  std::vector<unsigned> out;
  std::vector<bool> seen(256, false);
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = text.find(',', start);
    const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    const std::size_t dash = item.find('-');
    const auto number = [&](const std::string& t) {
      if (t.empty() || t.find_first_not_of("0123456789") != std::string::npos || t.size() > 3 || std::stoul(t) > 255)
        throw UsageError(fmt::format("--scan needs addresses from 0 to 255 and ranges like 1-32, separated by "
                                     "commas; \"{}\" in \"{}\" is neither", item, text));
      return static_cast<unsigned>(std::stoul(t));
    };
    const unsigned first = number(item.substr(0, dash));
    const unsigned last = dash == std::string::npos ? first : number(item.substr(dash + 1));
    if (last < first)
      throw UsageError(fmt::format("--scan: the range \"{}\" runs backwards; write it as {}-{}", item, last, first));
    for (unsigned a = first; a <= last; ++a)
      if (!seen[a]) seen[a] = true, out.push_back(a);
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return out;
}

double Seconds(const std::string& opt, const std::string& text) {
  char* end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || !std::isfinite(v) || v <= 0 || v > 1e9)
    throw UsageError(fmt::format("{} needs a number of seconds above 0, got \"{}\"", opt, text));
  return v;
}

// --http and --nut: "ADDRESS:PORT", ":PORT" or "PORT" (address 127.0.0.1). A
// host name stands for every address it resolves to (localhost: 127.0.0.1 and
// often ::1).
std::pair<std::vector<std::string>, unsigned short> ParseListenAddress(const std::string& opt, const std::string& text) {
  std::string address = "127.0.0.1", port = text;
  const auto colon = text.rfind(':');
  if (colon != std::string::npos) {
    if (colon > 0) address = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (address.size() > 2 && address.front() == '[' && address.back() == ']') address = address.substr(1, address.size() - 2);
  }
  const bool digits = !port.empty() && port.size() <= 5 && port.find_first_not_of("0123456789") == std::string::npos;
  if (!digits || std::stoul(port) > 65535)
    throw UsageError(fmt::format("{} needs ADDRESS:PORT or PORT with a port from 0 to 65535, got \"{}\"", opt, text));
  const auto number = static_cast<unsigned short>(std::stoul(port));
  boost::system::error_code ec;
  boost::asio::ip::make_address(address, ec);
  if (!ec) return {{address}, number};
  // A host name has a letter (its last label is never all digits): "1.2.3" is a
  // mistyped address, which the system's resolver would read as 1.2.0.3.
  if (std::none_of(address.begin(), address.end(), [](unsigned char c) { return std::isalpha(c); }))
    throw UsageError(fmt::format("{} needs an IP address or a host name, got \"{}\"", opt, address));
  boost::asio::io_context io;
  boost::asio::ip::tcp::resolver resolver(io);
  const auto found = resolver.resolve(address, port, boost::asio::ip::tcp::resolver::numeric_service, ec);
  if (ec || found.empty())
    throw UsageError(fmt::format("{}: cannot resolve \"{}\": {}", opt, address, ec ? ec.message() : "no address"));
  std::vector<std::string> addresses;
  for (const auto& entry : found) {
    const std::string a = entry.endpoint().address().to_string();
    if (std::find(addresses.begin(), addresses.end(), a) == addresses.end()) addresses.push_back(a);
  }
  return {addresses, number};
}

po::options_description Described() {
  po::options_description d;
  const auto text = [] { return po::value<std::string>(); };
  d.add_options()
      ("help,h", po::bool_switch())
      ("version", po::bool_switch())
      ("simulate", text()->implicit_value(""))
      ("port", text())
      ("replay", text())
      ("discover", po::bool_switch())
      ("decode", text())
      ("decode-capture", text())
      ("pcap", text())
      ("to-replay", text())
      ("format", text())
      ("check-config", text())
      ("plugin", text())
      ("config", text())
      ("labels", text())
      ("baud", text())
      ("rounds", text())
      ("duration", text())
      ("timeout-ms", text())
      ("poll-ms", text())
      ("reply-pause-ms", text())
      ("no-round-wait", po::bool_switch())
      ("comm-lost-s", text())
      ("exit-on-line-loss", po::bool_switch())
      ("reopen-ms", text())
      ("first-id", text())
      ("address", text())
      ("scan", text())
      ("scan-timeout-ms", text())
      ("cache", text())
      ("save-cache", text())
      ("events", text())
      ("trace", text())
      ("mqtt", text())
      ("mqtt-ca", text())
      ("mqtt-prefix", text())
      ("mqtt-password-file", text())
      ("mqtt-client-id", text())
      ("site", text())
      ("quiet", po::bool_switch())
      ("http", text())
      ("nut", text())
      ("nut-name", text())
      ("nut-users", text())
      ("nut-low-battery-v", text())
      ("snmp-agentx", text())
      ("snmp-root", text())
      ("forward", po::value<std::vector<std::string>>()->multitoken())
      ("listen", text())
      ("model-file", text())
      ("unexpected", po::value<std::vector<std::string>>());
  return d;
}

// "--simulate FILE" takes the next word as its scenario unless it is an option;
// Program_options takes an optional value only as "--simulate=FILE".
std::vector<std::string> Words(int argc, const char* const* argv) {
  std::vector<std::string> words;
  for (int k = 1; k < argc; ++k) {
    const std::string w = argv[k];
    if (w == "--simulate" && k + 1 < argc && std::string(argv[k + 1]).rfind("--", 0) != 0)
      words.push_back(w + "=" + argv[++k]);
    else
      words.push_back(w);
  }
  return words;
}

// A topic level: not empty, no wildcard, and no '/' unless it may span levels;
// an MQTT string of at most maxBytes bytes.
void CheckTopicPart(const char* opt, const std::string& v, bool slashes, std::size_t maxBytes) {
  if (const std::string fault = MqttTextFault(v, maxBytes); !fault.empty())
    throw UsageError(fmt::format("{} {}", opt, fault));
  if (v.empty() || v.find_first_of(slashes ? "+#" : "+#/") != std::string::npos || v.front() == '/' ||
      v.back() == '/')
    throw UsageError(fmt::format("{} \"{}\" must be a non-empty topic {} without '+', '#'{}", opt, v,
                                 slashes ? "prefix" : "level", slashes ? " or a leading or trailing '/'" : " or '/'"));
}

void MqttOptions(const std::map<std::string, std::string>& given, RunOptions& o) {
  const auto has = [&](const char* name) { return given.count(name) > 0; };
  // The site names devices and metrics too: a text for people, one line.
  if (has("site"))
    if (const std::string fault = MqttTextFault(given.at("site"), kSiteMax); !fault.empty())
      throw UsageError(fmt::format("--site {}", fault));
  if (!has("mqtt")) {
    for (const char* name : {"mqtt-ca", "mqtt-prefix", "mqtt-password-file", "mqtt-client-id"})
      if (has(name)) throw UsageError(fmt::format("--{} needs --mqtt", name));
    return;
  }
  o.mqtt = ParseMqttUrl(given.at("mqtt"));
  if (has("mqtt-ca")) {
    if (!o.mqtt->tls) throw UsageError("--mqtt-ca needs an mqtts:// broker URL");
    o.mqttCa = given.at("mqtt-ca");
    try {
      (void)inputs::ReadInputFile(o.mqttCa, "CA file");  // the broker's client reads it again
    } catch (const inputs::InputError& e) {
      throw UsageError(fmt::format("--mqtt-ca {}: cannot read the file: {}", o.mqttCa, e.reason()));
    }
  }
  if (has("mqtt-password-file")) {
    if (o.mqtt->password) throw UsageError("give the broker password in the URL or in --mqtt-password-file, not both");
    if (o.mqtt->user.empty()) throw UsageError("--mqtt-password-file needs a user in the --mqtt URL (USER@HOST)");
    const std::string path = given.at("mqtt-password-file");
    std::string line;
    try {
      std::istringstream in(inputs::ReadInputFile(path, "password file"));
      if (!std::getline(in, line))
        throw UsageError(fmt::format("--mqtt-password-file {}: cannot read a password from it", path));
    } catch (const inputs::InputError& e) {
      throw UsageError(fmt::format("--mqtt-password-file {}: cannot read a password from it: {}", path, e.reason()));
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find('\0') != std::string::npos || line.size() > kMqttStringMax)
      throw UsageError(fmt::format("--mqtt-password-file {}: the password {}", path,
                                   line.size() > kMqttStringMax ? "is longer than 65535 bytes" : "holds a NUL byte"));
    o.mqtt->password = line;
  }
  if (has("mqtt-prefix")) o.mqttPrefix = given.at("mqtt-prefix");
  CheckTopicPart("--mqtt-prefix", o.mqttPrefix, true, kPrefixMax);
  if (has("site")) CheckTopicPart("--site", o.site = given.at("site"), false, kSiteMax);
  if (has("mqtt-client-id")) {
    o.mqttClientId = given.at("mqtt-client-id");
    if (o.mqttClientId.empty()) throw UsageError("--mqtt-client-id must not be empty");
    if (const std::string fault = MqttTextFault(o.mqttClientId); !fault.empty())
      throw UsageError(fmt::format("--mqtt-client-id {}", fault));
  }
}

void NutOptions(const std::map<std::string, std::string>& given, RunOptions& o) {
  const auto has = [&](const char* name) { return given.count(name) > 0; };
  if (!has("nut")) {
    for (const char* name : {"nut-name", "nut-users", "nut-low-battery-v"})
      if (has(name)) throw UsageError(fmt::format("--{} needs --nut", name));
    return;
  }
  if (o.mode != Mode::Run) throw UsageError("--nut serves a polling run, not another job");
  std::tie(o.nutAddresses, o.nutPort) = ParseListenAddress("--nut", given.at("nut"));
  if (has("nut-name")) {
    const std::string& name = given.at("nut-name");
    // A word of the protocol: no spaces, quotes or '@' (upsc's NAME@HOST).
    const bool fits = !name.empty() && name.size() <= 64 && std::all_of(name.begin(), name.end(), [](unsigned char c) {
      return std::isalnum(c) || c == '.' || c == '_' || c == '-';
    });
    if (!fits) throw UsageError(fmt::format("--nut-name needs 1 to 64 letters, digits, '.', '_' or '-', got \"{}\"", name));
    o.nut.upsName = name;
  }
  if (has("nut-users")) o.nut.users = ReadNutUsers(given.at("nut-users"));
  if (has("nut-low-battery-v")) {
    const std::string& text = given.at("nut-low-battery-v");
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(v) || v <= 0 || v > 1000)
      throw UsageError(fmt::format("--nut-low-battery-v needs volts above 0 and up to 1000, got \"{}\"", text));
    o.nut.lowBatteryV = v;
  }
}

// --forward A B: two lines, each a serial device or tcp:HOST:PORT; the
// options of a polling run's device, records and telemetry do not apply.
void ForwardOptions(const std::vector<std::string>& devices, const std::map<std::string, std::string>& given,
                    RunOptions& o) {
  if (o.mode != Mode::Run)
    throw UsageError("give only one of --forward, --discover, --check-config, --decode, --decode-capture and --to-replay");
  if (devices.size() != 2 || devices[0].empty() || devices[1].empty())
    throw UsageError("--forward needs two lines: the controller's side and the system's side");
  if (devices[0] == devices[1]) throw UsageError("--forward needs two different lines, got " + devices[0] + " twice");
  for (const char* name : {"simulate", "port", "replay", "rounds", "cache", "save-cache", "labels", "plugin", "config",
                           "poll-ms", "reply-pause-ms", "no-round-wait", "comm-lost-s", "address", "first-id", "mqtt",
                           "http", "nut", "snmp-agentx", "site"})
    if (given.count(name)) throw UsageError(fmt::format("--{} does not go with --forward", name));
  o.mode = Mode::Forward;
  o.forwardA = devices[0];
  o.forwardB = devices[1];
}

// --listen DEVICE: the line beside another master, only read; a polling run's
// own source, so no other source and no other job goes with it.
void ListenOptions(const std::map<std::string, std::string>& given, RunOptions& o) {
  if (!given.count("listen")) {
    if (given.count("model-file")) throw UsageError("--model-file goes with --listen");
    return;
  }
  for (const char* name : {"simulate", "port", "replay"})
    if (given.count(name)) throw UsageError(fmt::format("give only one of --listen and --{}", name));
  if (o.mode != Mode::Run) throw UsageError("--listen is a polling run's source, not another job's");
  o.port = given.at("listen");
  if (o.port.empty()) throw UsageError("--listen needs a device, tcp:HOST:PORT or - (standard input)");
  o.source = Source::Listen;
  // The model reply is kept beside the cache file unless told where.
  if (given.count("model-file")) o.modelFile = given.at("model-file");
  else if (!o.saveCache.empty()) o.modelFile = o.saveCache + ".model";
  else if (!o.cache.empty()) o.modelFile = o.cache + ".model";
  if (given.count("model-file") && o.modelFile.empty()) throw UsageError("--model-file needs a file");
}

// "(default: A)" or "(default, the first that exists: A, B)", one place a line.
std::string DefaultText(const std::vector<SearchPath>& candidates) {
  const std::string indent = "\n                         ";
  std::string text = candidates.size() > 1 ? "(default, the first that exists:" : "(default:";
  for (std::size_t k = 0; k < candidates.size(); ++k)
    text += indent + candidates[k].shown + (k + 1 < candidates.size() ? "," : ")");
  return candidates.empty() ? std::string() : text;
}

}  // namespace

std::string FirstReadable(const std::vector<SearchPath>& candidates) {
  for (const auto& c : candidates)
    if (access(c.path.c_str(), R_OK) == 0) return c.path;
  return candidates.empty() ? std::string() : candidates.back().path;
}

std::string UsageText(const SearchPaths& defaults) {
  std::string text = R"(usage: qpr2427k-host [options]
       qpr2427k-host --discover (--port DEVICE | --simulate [SCENARIO]) [--address N] [--first-id N]
       qpr2427k-host --discover --scan ADDRESSES (--port DEVICE | --simulate [SCENARIO]) [--first-id N]
       qpr2427k-host --check-config FILE [--labels FILE]
       qpr2427k-host --decode FILE [--format jsonl|csv] [--labels FILE]
       qpr2427k-host --decode-capture FILE [--format text|jsonl|csv] [--pcap OUT]
       qpr2427k-host --to-replay FILE
       qpr2427k-host --forward LINE_A LINE_B [--events FILE] [--pcap OUT] [--duration S]
       qpr2427k-host --listen (DEVICE | tcp:HOST:PORT | -) [--pcap OUT] [options]

Loads the qpr2427k.so plug-in, creates its power-system device from a settings
file and polls a power system as the monitoring host does, showing every round,
the communication health and every alarm raised or cleared.

Source of replies (one of):
  --simulate [SCENARIO]  the built-in simulator over a pseudo-terminal pair
                         (the default; SCENARIO is a scenario file, see examples/)
  --port DEVICE          a serial line (9600 baud 8N1 unless --baud),
                         or tcp:HOST:PORT for a serial-to-Ethernet converter
  --replay FILE          each non-empty line not starting with '#' is the wire
                         text of one reply ('~' to the checksum) answering the
                         next command; "-" is a reply that never comes; the run
                         ends when the lines run out
  --listen DEVICE        listen beside another master that polls the system:
                         the line (DEVICE, tcp:HOST:PORT, or - for standard
                         input) is only read, never written; the other
                         master's replies to the commands the plug-in would
                         send feed it, and each frame is an event ("frame":
                         direction, address, CID1/CID2, RTN, length, checksum
                         state, latency, problems)
  --model-file FILE      --listen: keep the last model reply seen on the line
                         (with its address and time) in FILE, and hand it to
                         the plug-in when its model query gets no answer (the
                         other master asks the model only when it starts):
                         a listener started after the other master can begin,
                         and asks the switch and alarm states only when they
                         change, as that master does (--cache: the states
                         until then)
                         (default: the --save-cache file's path, else the
                         --cache file's, with ".model" added; without either,
                         none is kept)

Other jobs:
  --discover             ask the system on the line for its model and unit
                         counts, print matching settings (JSON) and exit
  --address N            --discover: the system's address (default 1)
  --first-id N           --discover: data ids numbered from N (default 1)
  --scan ADDRESSES       --discover: ask every address of a list such as
                         1-254 or 1,5,9-12 for its model, then discover each
                         system that answers and print settings listing them
                         all ({"systems": [...]}, data ids running on). An
                         address that does not answer costs one
                         --scan-timeout-ms and hears only the model query:
                         1-254 with few systems takes about a minute at the
                         default. A reply from another address than the one
                         asked is named and not taken for a system.
  --scan-timeout-ms N    --scan: time an address has to answer (default 250)
  --check-config FILE    check a settings file (and the --labels file), print
                         every problem and exit (0: clean, 1: problems)
  --decode FILE          print every image of a cache file or an events file
                         (publications and history) field by field, with
                         names and units
  --format F             --decode: jsonl (one JSON object an image, the
                         default) or csv (one row a field); --decode-capture:
                         text (the default), jsonl or csv (one a frame)
  --decode-capture FILE  print every frame of a capture of the line: time,
                         direction, address, command, RTN, INFO length,
                         checksum state, pairing and the values of analog and
                         model replies, then a summary. FILE holds raw bytes,
                         a socat -x -v dump ('>': towards the device), a
                         jpnevulator --ascii --timing-print dump, or an
                         --events file; the kind is told by its first line
  --pcap OUT             --decode-capture, --forward, --listen: write the frames as a
                         pcap file too (link type 147, DLT_USER0; see the
                         Wireshark dissector)
  --to-replay FILE       print a --replay file of a capture's or an events
                         file's exchanges: each command's reply, or "-"
  --forward LINE_A LINE_B
                         sit between a controller (on LINE_A) and the power
                         system (on LINE_B), each a serial device (--baud) or
                         tcp:HOST:PORT: every byte is passed on unchanged as
                         it comes, both ways; each frame is shown decoded as
                         --decode-capture shows it, with its reply's latency,
                         and written to --events as a "frame" event and to
                         --pcap. A line that goes away is reopened as
                         --reopen-ms says while the other stays open; runs
                         until SIGINT or SIGTERM, or --duration

Device:
  --plugin FILE          the plug-in @PLUGIN@
  --config FILE          the device's settings @CONFIG@
  --labels FILE          the operator's names for load branches and batteries,
                         and names, units and Home Assistant device classes for
                         user values (JSON, see examples/labels.json)
  --baud N               serial speed for --port (default 9600)

Run:
  --rounds N             end after N complete rounds
  --duration S           end after S seconds, whatever happens (exit 1 if
                         --rounds was given and not reached)
  --timeout-ms N         time a reply may take (default 1000)
  --poll-ms N            how often the device is asked to poll (default 100)
  --reply-pause-ms N     the engine's pause before handling a reply (default 20)
  --no-round-wait        let the next round start at once instead of 2 s after
                         the last one (for tests)
  --comm-lost-s N        no round for N seconds: communication lost (default 10)
  --exit-on-line-loss    end with status 1 when the line closes or cannot be
                         opened, instead of reopening it
  --reopen-ms N          first delay before reopening a lost line; it doubles
                         up to 30 s (default 1000)

Records:
  --cache FILE           restore every child from this file at start (a missing
                         or damaged file is said and polling starts fresh)
  --save-cache FILE      keep each child's last history image in this file,
                         written atomically after rounds (at most once a
                         second) and at exit
  --events FILE          one JSON object per line for every command, reply,
                         alarm, publication, history save, log line, round,
                         value, health change and alarm change ("-": standard
                         output, the view then goes to standard error);
                         SIGHUP opens it anew at its path (log rotation)
  --trace FILE           where the plug-in's own trace lines go ("-": the
                         terminal; default: discarded)
  --mqtt URL             publish values, alarms and health to an MQTT broker,
                         with Home Assistant discovery:
                         mqtt://[USER[:PASSWORD]@]HOST[:PORT] or mqtts://...
  --mqtt-ca FILE         CA certificate(s) for mqtts:// (default: the system's)
  --mqtt-password-file F the broker password, first line of F
  --mqtt-prefix P        topics start with P/SITE/ (default qpr2427k)
  --site NAME            the site in MQTT topics, Home Assistant device names
                         and metric labels (default: the host name)
  --mqtt-client-id ID    (default qpr2427k-host-SITE)
  --quiet                no per-round view (problems are still said)

Telemetry:
  --http ADDRESS:PORT    serve /metrics (Prometheus), /api/v1/status (JSON),
                         /api/v1/events (Server-Sent Events) and a status page
                         at / (ADDRESS defaults to 127.0.0.1: give PORT alone;
                         a host name serves every address it resolves to)
  --nut ADDRESS:PORT     serve the plant as a UPS over the NUT network protocol
                         (upsc, upsmon, NAS systems, Home Assistant; ADDRESS
                         defaults to 127.0.0.1; NUT's usual port is 3493)
  --nut-name NAME        the UPS name clients ask for (default qpr2427k; NAS
                         systems expect ups); several systems: one UPS each,
                         named by its id
  --nut-users FILE       users allowed to LOGIN (upsmon) and to set FSD, one a
                         line: USER PASSWORD [upsmon primary|secondary]; the
                         file must be readable by its owner alone
  --nut-low-battery-v V  DC bus voltage at or below which the battery is low
                         (LB, latched until the mains is back and the voltage
                         above V again; default: the plant's DC low limit)
  --snmp-agentx SOCKET   serve the plant over SNMP as an AgentX subagent of the
                         master at SOCKET (a path such as /var/agentx/master,
                         or tcp:HOST:PORT); reconnects when the master restarts;
                         several systems: each in the SNMP context of its id
  --snmp-root OID        the subtree of the QPR2427K-MIB (default
                         @SNMP_ROOT@, under the enterprise number
                         set apart for examples: put your own one here)
  --help                 this text
  --version              the program's version
)";
  const auto fill = [&text](const std::string& mark, const std::string& with) {
    text.replace(text.find(mark), mark.size(), with);
  };
  fill("@PLUGIN@", DefaultText(defaults.plugins));
  fill("@CONFIG@", DefaultText(defaults.configs));
  fill("@SNMP_ROOT@", RunOptions().snmpRoot);
  return text;
}

RunOptions ParseOptions(int argc, const char* const* argv) {
  // An option that needs a value and is followed by another option (or by
  // nothing) is said as such: the parser would take the next word as its own
  // and blame what follows ("--port --rounds 2": "unknown argument 2").
  const po::options_description described = Described();
  const std::vector<std::string> words = Words(argc, argv);
  for (std::size_t k = 0; k < words.size(); ++k) {
    const std::string& w = words[k];
    if (w.rfind("--", 0) != 0 || w.find('=') != std::string::npos) continue;
    const auto* option = described.find_nothrow(w.substr(2), false);
    if (!option || option->semantic()->min_tokens() == 0) continue;
    if (k + 1 == words.size() || (words[k + 1].rfind("--", 0) == 0 && words[k + 1].size() > 2))
      throw UsageError(w + " needs a value");
  }
  // The parsed words in order; an option given twice keeps its last value.
  std::map<std::string, std::string> given;
  std::vector<std::string> forward;  // --forward's two lines
  try {
    po::positional_options_description rest;
    rest.add("unexpected", -1);
    const auto style = po::command_line_style::default_style & ~po::command_line_style::allow_guessing;
    const auto parsed =
        po::command_line_parser(words).options(described).positional(rest).style(style).run();
    for (const auto& option : parsed.options) {
      if (option.string_key == "unexpected") throw UsageError("unknown argument " + option.value.front());
      given[option.string_key] = option.value.empty() ? std::string() : option.value.front();
      if (option.string_key == "forward") forward = option.value;
    }
  } catch (const po::unknown_option& e) {
    throw UsageError("unknown argument " + e.get_option_name());
  } catch (const po::invalid_command_line_syntax& e) {
    if (e.kind() == po::invalid_syntax::missing_parameter) throw UsageError(e.get_option_name() + " needs a value");
    throw UsageError(e.what());
  } catch (const po::error& e) {
    throw UsageError(e.what());
  }

  RunOptions o;
  const auto has = [&](const char* name) { return given.count(name) > 0; };
  const auto str = [&](const char* name) { return given.at(name); };
  const auto flag = has;
  const auto set = [&](const char* name, std::string& to) {
    if (has(name)) to = str(name);
  };

  o.help = flag("help");
  o.version = flag("version");
  int sources = 0;
  if (has("simulate")) o.source = Source::Simulate, o.scenario = str("simulate"), ++sources;
  if (has("port")) o.source = Source::Port, o.port = str("port"), ++sources;
  if (has("replay")) o.source = Source::Replay, o.replay = str("replay"), ++sources;
  if (sources > 1) throw UsageError("give only one of --simulate, --port and --replay");
  if (flag("discover")) o.mode = Mode::Discover;
  if (has("check-config")) {
    if (o.mode == Mode::Discover) throw UsageError("give only one of --discover and --check-config");
    o.mode = Mode::CheckConfig;
    o.checkConfig = str("check-config");
  }
  if (has("decode")) {
    if (o.mode != Mode::Run) throw UsageError("give only one of --discover, --check-config and --decode");
    o.mode = Mode::Decode;
    o.decode = str("decode");
  }
  for (const auto& [name, mode] : {std::pair{"decode-capture", Mode::DecodeCapture}, {"to-replay", Mode::ToReplay}}) {
    if (!has(name)) continue;
    if (o.mode != Mode::Run)
      throw UsageError("give only one of --discover, --check-config, --decode, --decode-capture and --to-replay");
    o.mode = mode;
    o.capture = str(name);
  }
  if (has("forward")) ForwardOptions(forward, given, o);
  if (has("format")) {
    if (o.mode == Mode::DecodeCapture) {
      if (str("format") != "text" && str("format") != "jsonl" && str("format") != "csv")
        throw UsageError(fmt::format("--format needs text, jsonl or csv, got \"{}\"", str("format")));
      o.captureFormat = str("format");
    } else {
      if (o.mode != Mode::Decode) throw UsageError("--format goes with --decode or --decode-capture");
      if (str("format") != "jsonl" && str("format") != "csv")
        throw UsageError(fmt::format("--format needs jsonl or csv, got \"{}\"", str("format")));
      o.csv = str("format") == "csv";
    }
  }
  if (has("pcap")) {
    if (o.mode != Mode::DecodeCapture && o.mode != Mode::Forward && !has("listen"))
      throw UsageError("--pcap goes with --decode-capture, --forward or --listen");
    if (str("pcap").empty()) throw UsageError("--pcap needs a file");
    o.pcap = str("pcap");
  }
  if (o.mode == Mode::Discover && o.source == Source::Replay) throw UsageError("--discover needs --port or --simulate");
  if (has("labels")) {
    if (o.mode == Mode::Discover || o.mode == Mode::DecodeCapture || o.mode == Mode::ToReplay)
      throw UsageError("--labels goes with a polling run, --check-config or --decode");
    o.labels = str("labels");
    if (o.labels.empty()) throw UsageError("--labels needs a file");
  }
  set("plugin", o.plugin);
  set("config", o.config);
  set("cache", o.cache);
  set("save-cache", o.saveCache);
  set("events", o.events);
  set("trace", o.trace);
  if (has("baud")) o.baud = NonZero("--baud", str("baud"), 4000000);
  if (has("rounds")) o.rounds = static_cast<long long>(Unsigned("--rounds", str("rounds"), 1ULL << 40));
  if (has("duration")) o.durationS = Seconds("--duration", str("duration"));
  if (has("timeout-ms")) o.timeoutMs = NonZero("--timeout-ms", str("timeout-ms"), 600000);
  if (has("poll-ms")) o.pollMs = NonZero("--poll-ms", str("poll-ms"), 600000);
  if (has("reply-pause-ms"))
    o.replyPauseMs = static_cast<unsigned>(Unsigned("--reply-pause-ms", str("reply-pause-ms"), 10000));
  if (has("comm-lost-s")) o.commLostS = NonZero("--comm-lost-s", str("comm-lost-s"), 86400);
  if (has("reopen-ms")) o.reopenMs = NonZero("--reopen-ms", str("reopen-ms"), 30000);
  if (has("first-id")) o.firstId = static_cast<unsigned>(Unsigned("--first-id", str("first-id"), 4000000000ULL));
  if (has("address")) o.address = static_cast<unsigned>(Unsigned("--address", str("address"), 255));
  if (has("scan")) {
    if (o.mode != Mode::Discover) throw UsageError("--scan goes with --discover");
    if (has("address")) throw UsageError("give --address or --scan, not both");
    o.scan = ParseAddressList(str("scan"));
  }
  if (has("scan-timeout-ms")) {
    if (!has("scan")) throw UsageError("--scan-timeout-ms goes with --scan");
    o.scanTimeoutMs = NonZero("--scan-timeout-ms", str("scan-timeout-ms"), 600000);
  }
  o.noRoundWait = flag("no-round-wait");
  o.exitOnLineLoss = flag("exit-on-line-loss");
  o.quiet = flag("quiet");
  if (has("http")) {
    if (o.mode != Mode::Run) throw UsageError("--http serves a polling run, not another job");
    std::tie(o.httpAddresses, o.httpPort) = ParseListenAddress("--http", str("http"));
  }
  if (has("snmp-agentx") || has("snmp-root")) {
    if (o.mode != Mode::Run) throw UsageError("--snmp-agentx serves a polling run, not another job");
    if (!has("snmp-agentx")) throw UsageError("--snmp-root needs --snmp-agentx");
    if (str("snmp-agentx").empty()) throw UsageError("--snmp-agentx needs the master's socket");
#if !QPR_HAVE_SNMP
    throw UsageError("--snmp-agentx: this build has no SNMP subagent (built without net-snmp)");
#endif
    o.snmpAgentx = str("snmp-agentx");
    if (has("snmp-root")) {
      const auto oid = ParseOid(str("snmp-root"));
      if (!oid || oid->size() < 2 || oid->size() > 100)
        throw UsageError(fmt::format("--snmp-root needs a numeric OID such as {}, got \"{}\"", RunOptions().snmpRoot,
                                     str("snmp-root")));
      o.snmpRoot = OidText(*oid);
    }
  }
  if (has("site") && str("site").empty()) throw UsageError("--site needs a name");
  NutOptions(given, o);
  MqttOptions(given, o);
  ListenOptions(given, o);
  if (has("site")) o.site = str("site");
  return o;
}

}  // namespace runner
