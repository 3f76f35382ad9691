// The runner's SNMP subagent as a process against a Debian snmpd that each
// test starts as AgentX master on loopback: sensors against the images the
// events file recorded and against /metrics, walk times, alarm notifications through snmptrapd, a
// lost line, a master restart and the notifications made meanwhile; the MIB through smilint; the options.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/json.h"
#include "tests/tools/ProcessSupport.h"
#include "tools/host/catalogue/Catalogue.h"
#include "tools/host/cli/Options.h"
#include "tools/host/stream/EventJson.h"
#include "tools/host/stream/RunError.h"

namespace {

using namespace process_support;  // Child, Contains, RunToEnd, Slurp, System
using Clock = std::chrono::steady_clock;

const std::string kSource = QPR_SOURCE_DIR;
const std::string kRoot = ".1.3.6.1.4.1.32473.2427";
const std::string kEntities = ".1.3.6.1.2.1.47.1.1.1.1", kSensors = ".1.3.6.1.2.1.99.1.1.1";

// Waits until `done` (which may take a while: it runs a program) or `seconds` have passed.
bool Within(double seconds, const std::function<bool()>& done) {
  const auto end = Clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    if (done()) return true;
    if (Clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
}

int FreeUdpPort() {
  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t n = sizeof a;
  bind(s, reinterpret_cast<sockaddr*>(&a), n);
  getsockname(s, reinterpret_cast<sockaddr*>(&a), &n);
  close(s);
  return ntohs(a.sin_port);
}

// A folder of the test's own for configurations, sockets and logs.
std::string TempDir() {
  std::string t = ::testing::TempDir() + "qpr-snmp-XXXXXX";
  if (!mkdtemp(t.data())) ADD_FAILURE() << "mkdtemp";
  return t;
}

// snmpd as AgentX master with its socket in the test's folder (its
// configuration is not named snmpd.conf: snmpd writes its persistent state
// under that name into SNMP_PERSISTENT_DIR when it stops); notifications
// go to snmptrapd on a port of its own, which logs one line per notification.
struct Master {
  std::string dir = TempDir();
  int port = FreeUdpPort(), trapPort = FreeUdpPort();
  std::string agentx = dir + "/agentx", traps = dir + "/traps.log";
  std::unique_ptr<Child> snmpd, trapd;
  // `contexts`: each one reached with the community "qpr-" and its name.
  explicit Master(const std::vector<std::string>& contexts = {}) {
    std::ofstream conf(dir + "/master.conf");
    conf << "master agentx\nagentXSocket " << agentx << "\nagentXPerms 0600 0700\nrocommunity qprtest 127.0.0.1\n"
         << "trap2sink 127.0.0.1:" << trapPort << " qprtest\nview all included .1\n";
    for (const auto& c : contexts)
      conf << "com2sec -Cn " << c << " s-" << c << " 127.0.0.1 qpr-" << c << "\ngroup g-" << c << " v2c s-" << c
           << "\naccess g-" << c << " " << c << " v2c noauth exact all none none\n";
    conf.close();
    std::ofstream(dir + "/snmptrapd.conf") << "disableAuthorization yes\n";
    trapd = std::make_unique<Child>(std::vector<std::string>{"env", "MIBS=", "snmptrapd", "-f", "-C", "-c",
                                                             dir + "/snmptrapd.conf", "-Lf", traps, "-On", "-F",
                                                             "TRAP %v\n", "udp:127.0.0.1:" + std::to_string(trapPort)},
                                    dir + "/trapd.out", dir + "/trapd.err");
    Start();
  }
  void Start() {
    snmpd = std::make_unique<Child>(std::vector<std::string>{"env", "MIBS=", "SNMP_PERSISTENT_DIR=" + dir, "snmpd", "-f",
                                                             "-Lo", "-C", "-c", dir + "/master.conf",
                                                             "udp:127.0.0.1:" + std::to_string(port)},
                                    dir + "/snmpd.out", dir + "/snmpd.err");
    EXPECT_TRUE(Within(20, [&] { return access(agentx.c_str(), F_OK) == 0; })) << Slurp(dir + "/snmpd.out");
  }
  // OID -> value as snmpwalk prints them (-Oqnt: numeric OIDs, values bare, timeticks as numbers).
  std::map<std::string, std::string> Walk(const std::string& oid, double* seconds = nullptr,
                                          const std::string& community = "qprtest") const {
    const std::string out = dir + "/walk.txt";
    const auto start = Clock::now();
    RunToEnd({"env", "MIBS=", "snmpwalk", "-v2c", "-c", community, "-Oqnt", "-t", "5", "-r", "0",
              "127.0.0.1:" + std::to_string(port), oid},
             out, dir + "/walk.err", 60);
    if (seconds) *seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::map<std::string, std::string> values;
    std::istringstream in(Slurp(out));
    std::string last;
    for (std::string line; std::getline(in, line);) {
      const auto space = line.find(' ');
      if (line.rfind(oid + ".", 0) == 0 && space != std::string::npos) values[last = line.substr(0, space)] = line.substr(space + 1);
      else if (!last.empty()) values[last] += " " + line;  // a hex string's next line
    }
    return values;
  }
};

// The runner with the subagent, its events in a file.
struct Host {
  std::string dir = TempDir(), events = dir + "/events.jsonl", err = dir + "/err.txt";
  std::unique_ptr<Child> child;
  Host(const Master& m, std::vector<std::string> source, const std::string& config = "site.json",
       const std::string& community = "qprtest") {
    std::vector<std::string> args{QPR_HOST_BIN, "--plugin", QPR_PLUGIN, "--config", kSource + "/examples/" + config,
                                  "--quiet", "--events", events, "--snmp-agentx", m.agentx, "--duration", "120"};
    args.insert(args.end(), source.begin(), source.end());
    child = std::make_unique<Child>(args, dir + "/out.txt", err);
    // Registered, and past the first round: qprHealthState online(2), which
    // follows that round's images through the subagent's inbox.
    EXPECT_TRUE(Within(20, [&] {
      const auto health = m.Walk(kRoot + ".1.2.1", nullptr, community);
      const auto it = health.find(kRoot + ".1.2.1.0");
      return it != health.end() && it->second == "2";
    })) << Slurp(err);
  }
  // The last image published by each unit, and the last round, from the events file.
  struct Images {
    std::map<unsigned, std::pair<int, std::string>> byId;  // data id -> (record type, hex image)
    long long round = 0;
  };
  Images Last(const std::string& system = "") const {
    Images i;
    std::istringstream in(Slurp(events));
    for (std::string line; std::getline(in, line);) {
      Json::Value e;
      std::istringstream s(line);
      Json::CharReaderBuilder b;
      if (!Json::parseFromStream(b, s, &e, nullptr)) continue;  // a line being written
      if (!system.empty() && e["system"]["id"] != system) continue;
      if (e["event"] == "publish") i.byId[e["data_id"].asUInt()] = {e["record_type"].asInt(), e["image"].asString()};
      if (e["event"] == "round") i.round = e["round"].asInt64();
    }
    return i;
  }
};

// unit description -> sensor description -> value in thousandths, and the sensors' oper status.
using Readings = std::map<std::string, std::map<std::string, long long>>;
// Every measurement of the images, with its data id and its unit's
// description ("DC distribution 1": the title and the unit's ordinal of its kind).
// `each` returns false to stop.
template <typename Each>
bool ForEachMeasurement(const Host::Images& images, Each each) {
  std::map<int, unsigned> ordinal;
  for (const auto& [id, image] : images.byId) {
    const catalogue::Record* record = catalogue::RecordOfType(image.first);
    bool ok = true;
    const auto bytes = runner::FromHex(image.second, ok);
    const std::string unit = std::string(record->title) + " " + std::to_string(++ordinal[record->type]);
    for (const auto& r : catalogue::Decode(*record, bytes.data(), bytes.size()))
      if (r.field->kind == catalogue::Kind::Measurement && !each(id, unit, r)) return false;
  }
  return true;
}

Readings Expected(const Host::Images& images) {
  Readings r;
  ForEachMeasurement(images, [&](unsigned, const std::string& unit, const catalogue::Reading& reading) {
    r[unit][reading.name] = std::llround(reading.value * 1000);
    return true;
  });
  return r;
}
Readings Served(const Master& m, std::map<std::string, int>* status = nullptr, const std::string& community = "qprtest") {
  const auto entities = m.Walk(kEntities, nullptr, community), sensors = m.Walk(kSensors, nullptr, community);
  const auto col = [&](const std::map<std::string, std::string>& t, const std::string& base, int c, const std::string& i) {
    const auto it = t.find(base + "." + std::to_string(c) + "." + i);
    return it == t.end() ? std::string() : it->second;
  };
  const auto unquoted = [](const std::string& t) { return t.size() < 2 ? "?" + t : t.substr(1, t.size() - 2); };
  Readings r;
  for (const auto& [oid, value] : sensors) {
    if (oid.rfind(kSensors + ".4.", 0) != 0) continue;
    const std::string index = oid.substr(kSensors.size() + 3);
    std::string unit = index;  // up the containment to the unit (class module(9))
    for (int hops = 0; hops < 4 && col(entities, kEntities, 5, unit) != "9"; ++hops) unit = col(entities, kEntities, 4, unit);
    r[unquoted(col(entities, kEntities, 2, unit))][unquoted(col(entities, kEntities, 2, index))] = std::stoll(value);
    EXPECT_EQ(col(sensors, kSensors, 2, index), "9");  // units
    EXPECT_EQ(col(sensors, kSensors, 3, index), "3");  // precision
    if (status) (*status)[index] = std::stoi(col(sensors, kSensors, 5, index));
  }
  return r;
}

// Equal but for the last digit's rounding.
bool Same(const Readings& a, const Readings& b, std::string& why) {
  for (const auto& [unit, names] : a) {
    const auto u = b.find(unit);
    if (u == b.end()) return why = "no unit " + unit, false;
    if (u->second.size() != names.size()) return why = unit + ": sensor count differs", false;
    for (const auto& [name, v] : names) {
      const auto it = u->second.find(name);
      if (it == u->second.end() || std::llabs(it->second - v) > 1)
        return why = unit + " / " + name + ": " + std::to_string(v), false;
    }
  }
  if (a.size() != b.size()) return why = "unit count differs", false;
  return true;
}

// A sample's name and labels ("name{a=\"1\",b=\"x\"}" as a sorted key), and its value.
using Labels = std::map<std::string, std::string>;
Labels ParseLabels(const std::string& text) {
  static const std::regex label(R"re(([a-z_]+)="([^"]*)")re");
  Labels l;
  for (std::sregex_iterator it(text.begin(), text.end(), label), end; it != end; ++it) l[(*it)[1]] = (*it)[2];
  return l;
}
std::map<std::pair<std::string, Labels>, double> Samples(const std::string& text) {
  static const std::regex line(R"(^([a-z_0-9]+)\{([^}]*)\} (\S+)$)");
  std::map<std::pair<std::string, Labels>, double> out;
  std::istringstream in(text);
  for (std::string l; std::getline(in, l);) {
    std::smatch m;
    if (!std::regex_match(l, m, line)) continue;
    Labels labels = ParseLabels(m[2]);
    labels.erase("site");
    out[{m[1], labels}] = std::stod(m[3]);
  }
  return out;
}

// Every measurement of the images has its /metrics sample (its catalogue
// metric, its labels and the unit's data id), equal to the served sensor.
bool SameAsMetrics(const Host::Images& images, const Readings& served, const std::string& metrics, std::string& why) {
  const auto samples = Samples(metrics);
  return ForEachMeasurement(images, [&](unsigned id, const std::string& unit, const catalogue::Reading& r) {
    Labels labels = ParseLabels(r.labels);
    labels["data_id"] = std::to_string(id);
    const auto sample = samples.find({r.field->metric, labels});
    if (sample == samples.end()) return why = "no sample " + std::string(r.field->metric) + " " + r.labels, false;
    const auto u = served.find(unit);
    const auto sensor = u == served.end() ? nullptr : &u->second;
    if (!sensor || !sensor->count(r.name) || std::llabs(sensor->at(r.name) - std::llround(sample->second * 1000)) > 1)
      return why = unit + " / " + r.name + " differs from /metrics", false;
    return true;
  });
}

TEST(Snmp, SensorsEqualThePublishedImagesAndAlarmsAreNotified) {
  Master m;
  const int http = process_support::FreePort();
  Host host(m, {"--simulate", kSource + "/examples/scenarios/mains-failure.json", "--http",
                "127.0.0.1:" + std::to_string(http)});

  // The whole subtree, each of the three registrations, in under a second
  // (the best of three walks: the machine is shared).
  for (const std::string& subtree : {kEntities, kSensors, kRoot}) {
    double best = 1e9;
    std::size_t size = 0;
    for (int k = 0; k < 3; ++k) {
      double s = 0;
      const std::size_t n = m.Walk(subtree, &s).size();  // the alarm rows come and go
      if (s < best) best = s, size = n;
    }
    EXPECT_GT(size, 10u) << subtree;
    EXPECT_LT(best, 1.0) << subtree;
    std::printf("walk %s: %zu instances in %.3f s\n", subtree.c_str(), size, best);
  }

  // The sensors and a scrape of /metrics between two reads of the events
  // file that saw the same images.
  std::string why;
  ASSERT_TRUE(Within(30, [&] {
    const Host::Images before = host.Last();
    const std::string scrape = m.dir + "/metrics.txt";
    RunToEnd({"curl", "-s", "--max-time", "10", "http://127.0.0.1:" + std::to_string(http) + "/metrics"}, scrape,
             m.dir + "/curl.err", 30);
    std::map<std::string, int> status;
    const Readings served = Served(m, &status);
    const Host::Images after = host.Last();
    if (before.byId != after.byId || before.byId.size() < 4) return why = "a round went by", false;
    for (const auto& [index, s] : status)
      if (s != 1) return why = "sensor " + index + " not ok", false;
    return Same(Expected(after), served, why) && SameAsMetrics(after, served, Slurp(scrape), why);
  })) << why;

  // The mains fails in round 3: its alarm (code 06029) is raised within 2
  // rounds and cleared once it is back (round 6).
  const std::string raised = kRoot + ".0.1", cleared = kRoot + ".0.2";
  const auto trapWith = [&](const std::string& trap) {
    std::istringstream in(Slurp(m.traps));
    for (std::string line; std::getline(in, line);)
      if (Contains(line, trap + "\t") || Contains(line, trap + " ")) {
        if (Contains(line, "\"06029\"")) return true;
      }
    return false;
  };
  // Meanwhile the MIB's own objects by name, through the MIB file: the alarm
  // is a row of qprAlarmTable and the plant is on battery.
  const auto named = [&](const char* tool, const char* what) {
    const std::string out = m.dir + "/named.txt";
    std::vector<std::string> args{"env", "MIBS=", "MIBDIRS=" + kSource + "/tools/host/outputs/snmp:" + kSource + "/tests/tools/mibs",
                                  tool, "-v2c", "-c", "qprtest", "-m", "QPR2427K-MIB"};
    if (std::string(tool) == "snmptable") args.insert(args.end(), {"-Cf", "|"});
    args.insert(args.end(), {"127.0.0.1:" + std::to_string(m.port), what});
    RunToEnd(args, out, m.dir + "/named.err", 60);
    return Slurp(out);
  };
  const auto failed = [&] {
    const std::string plant = named("snmpwalk", "QPR2427K-MIB::qprPlant");
    return Contains(named("snmptable", "QPR2427K-MIB::qprAlarmTable"), "|06029|") &&
           Contains(plant, "qprMainsState.0 = INTEGER: failed(3)") &&
           Contains(plant, "qprBatteryState.0 = INTEGER: onBattery(2)");
  };
  long long round = 0;
  bool seenFailed = false;
  ASSERT_TRUE(Within(60, [&] {
    seenFailed = seenFailed || failed();
    if (!round && trapWith(raised)) round = host.Last().round;
    return round && seenFailed;
  })) << Slurp(m.traps) << named("snmpwalk", "QPR2427K-MIB::qpr2427kMIB");
  EXPECT_LE(round, 3 + 2);
  EXPECT_TRUE(Within(60, [&] { return trapWith(cleared); })) << Slurp(m.traps);
  EXPECT_FALSE(Contains(named("snmptable", "QPR2427K-MIB::qprAlarmTable"), "|06029|"));
  EXPECT_TRUE(Contains(named("snmpwalk", "QPR2427K-MIB::qprMainsState"), "present(2)"));
  EXPECT_TRUE(Contains(Slurp(m.traps), kRoot + ".0.3")) << "no health notification";
}

TEST(Snmp, ALostLineMakesSensorsUnavailableAndAMasterRestartIsSurvived) {
  Master m;
  const std::string dir = TempDir();
  Child sim({QPR_SIM_BIN, "--listen", "127.0.0.1:0"}, dir + "/sim-out.txt", dir + "/sim-err.txt");
  std::string simPort;
  ASSERT_TRUE(Within(20, [&] {
    static const std::regex at(R"(listening on 127\.0\.0\.1:(\d+)\n)");
    std::smatch match;
    const std::string text = Slurp(dir + "/sim-err.txt");
    if (std::regex_search(text, match, at)) simPort = match[1];
    return !simPort.empty();
  }));
  Host host(m, {"--port", "tcp:127.0.0.1:" + simPort});
  const auto statuses = [&] {
    std::map<std::string, int> status;
    Served(m, &status);
    return status;
  };
  const auto all = [&](int want) {
    const auto s = statuses();
    for (const auto& [index, v] : s)
      if (v != want) return false;
    return !s.empty();
  };
  ASSERT_TRUE(Within(30, [&] { return all(1); }));
  sim.Stop(SIGKILL);
  EXPECT_TRUE(Within(30, [&] { return all(2); }));  // unavailable

  // snmpd restarts: the subagent finds it again and registers anew.
  m.snmpd->Stop(SIGTERM);
  m.Start();
  const auto restarted = Clock::now();
  EXPECT_TRUE(Within(20, [&] { return m.Walk(kRoot + ".1.2.1").count(kRoot + ".1.2.1.0") > 0; }))
      << Slurp(host.err) << Slurp(m.dir + "/snmpd.out");
  const double back = std::chrono::duration<double>(Clock::now() - restarted).count();
  std::printf("subagent back %.1f s after the master restarted\n", back);
  EXPECT_LT(back, 10.0);
  EXPECT_TRUE(all(2));
}

// Notifications made while the master is away wait for it: the mains fails
// and comes back (rounds 8 to 10) while snmpd is stopped; once it runs again
// both notifications reach snmptrapd, raised before cleared.
TEST(Snmp, NotificationsMadeWhileTheMasterIsAwayAreSentOnceItIsBack) {
  Master m;
  Json::Value scenario;
  std::istringstream original(Slurp(kSource + "/examples/scenarios/mains-failure.json"));
  ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), original, &scenario, nullptr));
  scenario["events"] = Json::arrayValue;
  scenario["events"].append(Json::Value(Json::objectValue));
  scenario["events"][0]["type"] = "mains_failure";
  scenario["events"][0]["round"] = 8;
  scenario["events"][0]["until_round"] = 10;
  const std::string file = m.dir + "/late-mains-failure.json";
  std::ofstream(file) << scenario;
  Host host(m, {"--simulate", file});
  // The line of the first notification `trap` about the mains (code 06029), or npos.
  const auto lineOf = [&](const std::string& trap) {
    std::istringstream in(Slurp(m.traps));
    std::size_t n = 0;
    for (std::string line; std::getline(in, line); ++n)
      if ((Contains(line, trap + "\t") || Contains(line, trap + " ")) && Contains(line, "\"06029\"")) return n;
    return std::string::npos;
  };
  // Connected: the health's first change (starting to online) has arrived.
  ASSERT_TRUE(Within(30, [&] { return Contains(Slurp(m.traps), kRoot + ".0.3"); })) << Slurp(host.err);
  ASSERT_LT(host.Last().round, 7) << "the machine is too slow for this test";
  m.snmpd->Stop(SIGTERM);
  ASSERT_TRUE(Within(60, [&] { return host.Last().round >= 13; }));
  const std::string raised = kRoot + ".0.1", cleared = kRoot + ".0.2";
  EXPECT_EQ(lineOf(raised), std::string::npos) << Slurp(m.traps);
  m.Start();
  EXPECT_TRUE(Within(20, [&] { return lineOf(cleared) != std::string::npos; })) << Slurp(m.traps) << Slurp(host.err);
  EXPECT_LT(lineOf(raised), lineOf(cleared)) << Slurp(m.traps);
  EXPECT_TRUE(Contains(Slurp(host.err), "snmp: master connected: sending ")) << Slurp(host.err);
}

// Several systems on the line: each in the context of its id, with its own
// sensors and id; every notification about it carries the id.
TEST(Snmp, SeveralSystemsAreServedEachInTheContextOfItsId) {
  const std::vector<std::string> ids = {"hall-a", "hall-b", "annex"};
  Master m(ids);
  Host host(m, {"--simulate", kSource + "/examples/scenarios/three-systems.json"}, "three-systems-site.json",
            "qpr-" + ids[0]);
  for (const auto& id : ids) {
    SCOPED_TRACE(id);
    const std::string community = "qpr-" + id;
    std::string why;
    EXPECT_TRUE(Within(30, [&] {
      const Host::Images before = host.Last(id);
      const Readings served = Served(m, nullptr, community);
      return before.byId == host.Last(id).byId && !before.byId.empty() && Same(Expected(before), served, why);
    })) << why;
    EXPECT_EQ(m.Walk(kRoot + ".1.1.12", nullptr, community)[kRoot + ".1.1.12.0"], "\"" + id + "\"");
    EXPECT_TRUE(Within(10, [&] { return Contains(Slurp(m.traps), "\"" + id + "\""); })) << Slurp(m.traps);
  }
  EXPECT_TRUE(m.Walk(kRoot).empty()) << "the default context serves a system";
}

TEST(Snmp, MibPassesSmilint) {
  // Debian ships no IETF modules: tests/tools/mibs holds the SMIv2 base
  // modules' parts the MIB imports. A MIB with a fault must not pass.
  const std::string dir = TempDir(), mib = kSource + "/tools/host/outputs/snmp/QPR2427K-MIB.txt";
  std::string text = Slurp(mib);
  std::ofstream(dir + "/QPR2427K-MIB.txt") << std::regex_replace(text, std::regex("Gauge32"), "Gauge33");
  struct Row {
    std::string file;
    bool clean;
  } rows[] = {{mib, true}, {dir + "/QPR2427K-MIB.txt", false}};
  for (const auto& row : rows) {
    const std::string out = dir + "/smilint.txt";
    EXPECT_EQ(System("SMIPATH=" + kSource + "/tests/tools/mibs smilint -l 3 " + row.file + " > " + out + " 2>&1"), 0);
    EXPECT_EQ(Slurp(out).empty(), row.clean) << row.file << ":\n" << Slurp(out);
  }
}

TEST(Snmp, OptionsAreChecked) {
  struct Row {
    std::vector<const char*> args;
    const char* error;  // null: accepted
    const char* root;
  } rows[] = {
      {{"--snmp-agentx", "/var/agentx/master"}, nullptr, "1.3.6.1.4.1.32473.2427"},
      {{"--snmp-agentx", "tcp:127.0.0.1:705", "--snmp-root", ".1.3.6.1.4.1.99999.1"}, nullptr, "1.3.6.1.4.1.99999.1"},
      {{"--snmp-agentx", "x", "--snmp-root", "1.3.six"}, "--snmp-root needs a numeric OID", nullptr},
      {{"--snmp-agentx", "x", "--snmp-root", "1..3"}, "--snmp-root needs a numeric OID", nullptr},
      {{"--snmp-agentx", "x", "--snmp-root", "1.3.4294967296"}, "--snmp-root needs a numeric OID", nullptr},
      {{"--snmp-root", "1.3.6"}, "--snmp-root needs --snmp-agentx", nullptr},
      {{"--snmp-agentx", ""}, "--snmp-agentx needs the master's socket", nullptr},
  };
  for (const auto& row : rows) {
    std::vector<const char*> argv{"qpr2427k-host"};
    argv.insert(argv.end(), row.args.begin(), row.args.end());
    try {
      const auto o = runner::ParseOptions(static_cast<int>(argv.size()), argv.data());
      EXPECT_EQ(row.error, nullptr) << row.args.back();
      if (row.root) {
        EXPECT_EQ(o.snmpRoot, row.root);
      }
    } catch (const runner::UsageError& e) {
      ASSERT_NE(row.error, nullptr) << e.what();
      EXPECT_TRUE(Contains(e.what(), row.error)) << e.what();
    }
  }
}

}  // namespace
