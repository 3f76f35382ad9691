// Several power systems on one simulated line: each system's events as in a
// run with it alone, a silent system and replies from a wrong address, and
// settings lists the runner refuses.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "host/json.h"
#include "tests/support/EventFile.h"
#include "tests/tools/ProcessSupport.h"

namespace {

using namespace process_support;
using testing_support::ReadEvents;

const std::string kSource = QPR_SOURCE_DIR;
const std::string kFast = " --no-round-wait --reply-pause-ms 0 --poll-ms 2 --quiet";

std::string Temp(const std::string& name) {
  static int counter = 0;
  return ::testing::TempDir() + "qpr-multi-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" + name;
}

std::string Write(const std::string& name, const std::string& text) {
  const std::string path = Temp(name);
  std::ofstream(path) << text;
  return path;
}

struct HostRun {
  int status = -1;
  std::string out, err;
  std::vector<Json::Value> events;
};

HostRun RunHost(const std::string& settings, const std::string& scenario, const std::string& args) {
  HostRun r;
  const std::string events = Temp("events.jsonl"), out = Temp("out.txt"), err = Temp("err.txt");
  std::vector<std::string> argv = {QPR_HOST_BIN, "--plugin", QPR_PLUGIN, "--config", settings, "--simulate", scenario,
                                   "--events", events};
  std::istringstream words(args);
  for (std::string w; words >> w;) argv.push_back(w);
  r.status = RunToEnd(argv, out, err, 60);
  r.out = Slurp(out);
  r.err = Slurp(err);
  r.events = ReadEvents(events);
  return r;
}

unsigned AddressOf(const Json::Value& e) { return e["system"]["address"].asUInt(); }

// One system's settings: data ids from `id`, `ac` AC units, `dc` DC units.
std::string SystemSettings(unsigned address, unsigned id, int ac, int dc) {
  std::string s = "{\"address\": " + std::to_string(address) + ", \"data_id\": " + std::to_string(id) + ", \"acSetting\": [";
  for (int k = 0; k < ac; ++k) s += (k ? ", " : "") + std::string("{\"data_id\": ") + std::to_string(id + 1 + k) + "}";
  s += "], \"dcSetting\": [";
  for (int k = 0; k < dc; ++k) s += (k ? ", " : "") + std::string("{\"data_id\": ") + std::to_string(id + 1 + ac + k) + "}";
  return s + "], \"rcSetting\": {}}";
}

// Three systems that differ in units and events; each scenario entry has its own seed.
struct Entry {
  unsigned address;
  std::string settings, scenario;
};
const std::vector<Entry> kThree = {
    {1, SystemSettings(1, 100, 2, 1),
     R"({"address": 1, "seed": 11, "events": [{"type": "mains_failure", "round": 2, "until_round": 4}]})"},
    {5, SystemSettings(5, 500, 1, 2),
     R"({"address": 5, "seed": 12, "model": "QPR-36KM", "ac": [{"channels": 3}], "rectifier": {"modules": 6}, "dc": [{}, {}]})"},
    {12, SystemSettings(12, 1200, 2, 1),
     R"({"address": 12, "seed": 13, "rectifier": {"modules": 2}, "events": [{"type": "fuse_blown", "round": 3, "fuse": 4}]})"},
};

std::string List(const std::vector<std::string>& entries, const std::string& key) {
  std::string s = "{\"" + key + "\": [";
  for (std::size_t k = 0; k < entries.size(); ++k) s += (k ? ", " : "") + entries[k];
  return s + "]}";
}

TEST(MultiSystem, EachSystemSeesWhatItWouldSeeAlone) {
  std::vector<std::string> settings, scenarios;
  for (const auto& s : kThree) {
    settings.push_back(s.settings);
    scenarios.push_back(s.scenario);
  }
  const std::string args = "--rounds 5 --timeout-ms 200 --duration 30" + kFast;
  const HostRun all = RunHost(Write("settings.json", List(settings, "systems")), Write("scenario.json", List(scenarios, "systems")), args);
  ASSERT_EQ(all.status, 0) << all.err;
  for (const auto& s : kThree) {
    SCOPED_TRACE("address " + std::to_string(s.address));
    const HostRun alone = RunHost(Write("alone.json", s.settings), Write("alone-scenario.json", s.scenario), args);
    ASSERT_EQ(alone.status, 0) << alone.err;
    // The system's own events from the shared line, without the member naming it.
    const std::string sharedPath = Temp("shared.jsonl"), alonePath = Temp("alone.jsonl");
    std::ofstream a(sharedPath), b(alonePath);
    Json::StreamWriterBuilder w;
    w["indentation"] = "";
    for (Json::Value e : all.events)
      if (e.isMember("system") && AddressOf(e) == s.address) {
        e.removeMember("system");
        a << Json::writeString(w, e) << '\n';
      }
    for (const auto& e : alone.events) {
      EXPECT_FALSE(e.isMember("system")) << "a file with one system names none";
      b << Json::writeString(w, e) << '\n';
    }
    a.close();
    b.close();
    EXPECT_EQ(System("bash " + kSource + "/scripts/compare-events.sh " + alonePath + " " + sharedPath + " >&2"), 0);
  }
}

// Median time between a system's rounds, in ms.
double RoundGap(const std::vector<Json::Value>& events, unsigned address, bool tagged) {
  std::vector<long long> at, gaps;
  for (const auto& e : events)
    if (e["event"] == "round" && (!tagged || AddressOf(e) == address)) at.push_back(e["t"].asInt64());
  for (std::size_t k = 1; k < at.size(); ++k) gaps.push_back(at[k] - at[k - 1]);
  if (gaps.empty()) return 1e9;
  std::nth_element(gaps.begin(), gaps.begin() + gaps.size() / 2, gaps.end());
  return static_cast<double>(gaps[gaps.size() / 2]);
}

TEST(MultiSystem, ASilentSystemAndWrongAddressRepliesHarmNoOther) {
  constexpr int kTimeoutMs = 150;
  const std::string healthy = R"({"address": 1, "seed": 1})";
  const std::string args = " --duration 4 --comm-lost-s 1 --timeout-ms " + std::to_string(kTimeoutMs) + kFast;
  const HostRun shared = RunHost(
      Write("settings.json", List({SystemSettings(1, 100, 2, 1), SystemSettings(2, 200, 2, 1), SystemSettings(3, 300, 2, 1)}, "systems")),
      Write("scenario.json",
            List({healthy, R"({"address": 2, "silent": true})",
                  R"({"address": 3, "faults": [{"type": "wrong_address", "every": 3}]})"},
                 "systems")),
      args);
  const HostRun alone = RunHost(Write("alone.json", SystemSettings(1, 100, 2, 1)), Write("alone-scenario.json", healthy), args);
  ASSERT_EQ(shared.status, 0) << shared.err;
  ASSERT_EQ(alone.status, 0) << alone.err;

  std::map<unsigned, std::string> health;
  std::map<unsigned, int> wrongAddress, timeouts;
  for (const auto& e : shared.events) {
    const unsigned adr = AddressOf(e);
    if (e["event"] == "health") health[adr] = e["state"].asString();
    if (e["event"] == "timeout") ++timeouts[adr];
    if (e["event"] == "rejected" && e["reason"] == "address is not ours") ++wrongAddress[adr];
    // Every reply taken is from the address asked: "~" VER ADR ...
    if (e["event"] == "reply") {
      EXPECT_EQ(std::stoul(e["frame"].asString().substr(3, 2), nullptr, 16), adr) << e["frame"];
    }
  }
  EXPECT_EQ(health[1], "online");
  EXPECT_EQ(health[2], "comm lost");
  EXPECT_GT(timeouts[2], 2);
  EXPECT_GT(wrongAddress[3], 0);
  EXPECT_EQ(wrongAddress[1] + wrongAddress[2], 0);
  // Each of the two faulty systems costs the healthy one at most a time-out per cycle.
  const double gap = RoundGap(shared.events, 1, true), gapAlone = RoundGap(alone.events, 1, false);
  EXPECT_LE(gap, gapAlone + 2 * kTimeoutMs + 60) << "alone " << gapAlone << " ms";
}

// The soak of bench/wrong_address_soak.sh, short: no value, publication or
// reply of one system with another's, every wrong-address reply refused by
// the system that asked.
TEST(MultiSystem, WrongAddressRepliesNeverReachAnotherSystem) {
  const std::string out = Temp("soak"), line = Temp("soak.txt");
  ASSERT_EQ(System("bash " + kSource + "/bench/wrong_address_soak.sh " + QPR_HOST_BIN + " " + out + " 300 > " + line), 0)
      << Slurp(line) << Slurp(out + "/soak-view.txt");
  std::istringstream fields(Slurp(line));
  long rounds = 0, readings = 0, wrong = -1, injected = 0, refused = 0;
  double seconds = 0;
  fields >> rounds >> seconds >> readings >> wrong >> injected >> refused;
  EXPECT_EQ(wrong, 0);
  EXPECT_GE(readings, 300 * 3 * 8);  // eight checked values a round of each system
  EXPECT_GE(injected, 2 * 300 * 5 / 40);  // two systems, every 40th of at least five commands a round
  EXPECT_EQ(refused, injected);
}

// Each system's last values, by "address:data_id:key".
std::map<std::string, double> LastValues(const std::vector<Json::Value>& events) {
  std::map<std::string, double> values;
  for (const auto& e : events)
    if (e["event"] == "value")
      values[std::to_string(AddressOf(e)) + ":" + e["data_id"].asString() + ":" + e["key"].asString()] =
          e["value"].asDouble();
  return values;
}

TEST(MultiSystem, TheCacheKeepsEachSystemApart) {
  const std::string site = kSource + "/examples/three-systems-site.json", cache = Temp("cache.json");
  const std::string scenario = kSource + "/examples/scenarios/three-systems.json";
  const HostRun saved = RunHost(site, scenario, "--rounds 2 --save-cache " + cache + kFast);
  ASSERT_EQ(saved.status, 0) << saved.err;
  const HostRun restored = RunHost(site, scenario, "--rounds 0 --cache " + cache + kFast);
  ASSERT_EQ(restored.status, 0) << restored.err;
  const auto before = LastValues(saved.events), after = LastValues(restored.events);
  std::map<unsigned, int> perSystem;
  for (const auto& [key, value] : after) {
    ++perSystem[std::stoul(key)];
    EXPECT_EQ(value, before.count(key) ? before.at(key) : -1e9) << key;
  }
  EXPECT_EQ(perSystem.size(), 3u);

  // Settings without the first system and with the second renamed: the third
  // takes its own part, the other two parts are said and skipped.
  Json::Value two;
  std::istringstream(Slurp(site)) >> two;
  two["systems"].removeIndex(0, nullptr);
  two["systems"][0]["name"] = "hall-c";
  const HostRun fewer = RunHost(Write("two.json", two.toStyledString()), scenario, "--rounds 0 --cache " + cache);
  ASSERT_EQ(fewer.status, 0) << fewer.err;
  std::map<unsigned, int> fewerPerSystem;
  for (const auto& [key, value] : LastValues(fewer.events)) ++fewerPerSystem[std::stoul(key)];
  EXPECT_EQ(fewerPerSystem, (std::map<unsigned, int>{{12, perSystem[12]}}));
  EXPECT_TRUE(Contains(fewer.out, "cache: hall-a at address 1 is not in the settings; its 4 images skipped")) << fewer.out;
  EXPECT_TRUE(Contains(fewer.out, "cache: hall-b at address 5 is not in the settings")) << fewer.out;
}

TEST(MultiSystem, SettingsListsTheRunnerRefuses) {
  const std::string one = SystemSettings(1, 100, 2, 1), two = SystemSettings(2, 200, 2, 1);
  struct Row {
    std::string settings, args, error;
  };
  const std::vector<Row> rows = {
      {"{\"systems\": []}", "", "\"systems\" must be a non-empty array of settings objects"},
      {"{\"systems\": [" + one + ", 7]}", "", "systems[1] must be a settings object"},
      {"{\"systems\": [" + one + ", " + SystemSettings(1, 200, 2, 1) + "]}", "", "address 1 (1 when absent) is also that of systems[0]"},
      {"{\"systems\": [" + one + ", {\"address\": 300, \"rcSetting\": {}}]}", "", "the plug-in refused the settings of systems[1]"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.settings + " " + row.args);
    const HostRun r = RunHost(Write("bad.json", row.settings), kSource + "/examples/scenarios/normal.json", "--rounds 1 " + row.args + kFast);
    EXPECT_NE(r.status, 0);
    EXPECT_TRUE(Contains(r.err, row.error)) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

}  // namespace
