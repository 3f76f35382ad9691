// The runner as a process: against the built-in simulator, the stand-alone
// simulator over TCP and replay files, checked through its event stream.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <boost/asio.hpp>
#include <algorithm>

#include "host/json.h"
#include "tests/support/EventFile.h"
#include "tests/tools/ProcessSupport.h"


namespace {

using namespace process_support;  // Child, Contains, FreePort, Slurp, WaitFor

const std::string kSource = QPR_SOURCE_DIR;
const std::string kSite = kSource + "/examples/site.json";
// Fast but otherwise real: no reply pause, no 2-second gap between rounds.
const std::string kFast = " --no-round-wait --reply-pause-ms 0 --poll-ms 2 --timeout-ms 100";

struct HostResult {
  int status = -1;
  std::string out, err;
  std::vector<Json::Value> events;

  // Events of one kind, in order.
  std::vector<Json::Value> Of(const std::string& kind) const {
    std::vector<Json::Value> r;
    for (const auto& e : events)
      if (e["event"] == kind) r.push_back(e);
    return r;
  }
  // The round each event belongs to: rounds seen before it, plus one.
  std::vector<int> RoundOf() const {
    std::vector<int> r;
    int round = 1;
    for (const auto& e : events) {
      r.push_back(round);
      if (e["event"] == "round") ++round;
    }
    return r;
  }
  // "CID1/CID2" of every command in order.
  std::vector<std::string> Commands() const {
    std::vector<std::string> r;
    for (const auto& e : Of("command")) r.push_back(e["cid1"].asString() + "/" + e["cid2"].asString());
    return r;
  }
};


std::string Temp(const std::string& name) {
  static int counter = 0;
  return ::testing::TempDir() + "qpr-run-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" + name;
}

using testing_support::ReadEvents;

// A program and its options split at spaces: options and paths here hold none.
std::vector<std::string> Words(const std::string& program, const std::string& args) {
  std::vector<std::string> r = {program};
  std::istringstream words(args);
  for (std::string w; words >> w;) r.push_back(w);
  return r;
}

// Runs qpr2427k-host with the plug-in and site settings of this build.
HostResult RunHost(const std::string& args, const std::string& config = kSite) {
  HostResult r;
  const std::string events = Temp("events.jsonl"), out = Temp("out.txt"), err = Temp("err.txt");
  r.status = RunToEnd(Words(QPR_HOST_BIN, "--plugin " + std::string(QPR_PLUGIN) + " --config " + config +
                                              " --events " + events + " " + args),
                      out, err, 120);
  r.out = Slurp(out);
  r.err = Slurp(err);
  r.events = ReadEvents(events);
  return r;
}

std::string Scenario(const std::string& json) {
  const std::string path = Temp("scenario.json");
  std::ofstream(path) << json;
  return path;
}


// Whether an alarm with this key and text was reported active, by round.
std::map<int, bool> AlarmByRound(const HostResult& run, const std::string& key, const std::string& text) {
  std::map<int, bool> r;
  const auto rounds = run.RoundOf();
  for (std::size_t k = 0; k < run.events.size(); ++k) {
    const auto& e = run.events[k];
    if (e["event"] == "alarm" && e["key"] == key && e["text"] == text) r[rounds[k]] = e["active"].asBool();
  }
  return r;
}

TEST(HostRun, WholeRoundsAgainstTheSimulator) {
  const HostResult run = RunHost("--simulate --rounds 3" + kFast);
  ASSERT_EQ(run.status, 0) << run.err;
  const auto commands = run.Commands();
  const std::vector<std::string> first = {"40/51", "40/41", "40/43", "40/44", "41/41", "41/43",
                                          "41/44", "42/41", "42/44", "40/46", "42/46"};
  const std::vector<std::string> quiet = {"40/41", "41/41", "42/41", "40/46", "42/46"};
  ASSERT_EQ(commands.size(), first.size() + 2 * quiet.size());
  EXPECT_EQ(std::vector<std::string>(commands.begin(), commands.begin() + 11), first);
  EXPECT_EQ(std::vector<std::string>(commands.begin() + 11, commands.begin() + 16), quiet);
  EXPECT_EQ(run.Of("reply").size(), commands.size());
  EXPECT_TRUE(run.Of("rejected").empty());
  EXPECT_TRUE(run.Of("timeout").empty());
  for (const auto& e : run.Of("command")) EXPECT_EQ(e["frame"].asString().substr(0, 3), "~21");

  const auto rounds = run.Of("round");
  ASSERT_EQ(rounds.size(), 3u);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(rounds[k]["round"], k + 1);
    EXPECT_GE(rounds[k]["ms"].asDouble(), 0.0);
  }
  // Every round: four publications, every alarm reported, none active.
  const auto published = run.Of("publish");
  ASSERT_EQ(published.size(), 12u);
  std::multiset<int> types;
  for (const auto& p : published) types.insert(p["record_type"].asInt());
  EXPECT_EQ(types.count(5026), 6u);
  EXPECT_EQ(types.count(5028), 3u);
  EXPECT_EQ(types.count(5027), 3u);
  EXPECT_EQ(run.Of("history").size(), 12u);  // every work item ran before the exit
  for (const auto& a : run.Of("alarm")) EXPECT_FALSE(a["active"].asBool()) << a["key"] << " " << a["text"];
  EXPECT_GE(run.Of("alarm").size(), 3u * (2 * 20 + 12));

  // Right after each round event: the value events of every AC and DC child. History events come
  // from the worker thread and may land anywhere in between, so they are stepped over.
  const std::vector<std::string> acKeys = {"ia", "ib", "ic", "ia_alert", "ib_alert", "ic_alert",
                                           "channel_0_a", "channel_0_b", "channel_0_c", "channel_0_f"};
  for (std::size_t k = 0; k < run.events.size(); ++k) {
    if (run.events[k]["event"] != "round") continue;
    std::vector<std::string> got;
    std::map<std::string, double> v;
    for (std::size_t j = k + 1; j < run.events.size(); ++j) {
      const auto& e = run.events[j];
      if (e["event"] == "history") continue;
      if (e["event"] != "value") break;
      got.push_back(e["data_id"].asString() + ":" + e["key"].asString());
      ASSERT_TRUE(e.isMember("value")) << e["error"];
      v[got.back()] = e["value"].asDouble();
    }
    std::vector<std::string> want;
    for (const char* id : {"11", "12"})
      for (const auto& key : acKeys) want.push_back(std::string(id) + ":" + key);
    want.push_back("21:v");
    want.push_back("21:i");
    EXPECT_EQ(got, want);
    EXPECT_NEAR(v["11:channel_0_a"], 230.0, 4.0);
    EXPECT_NEAR(v["11:channel_0_f"], 50.0, 1.0);
    EXPECT_NEAR(v["11:ia"], 18.0, 0.5);
    EXPECT_EQ(v["11:ia_alert"], 0.0);
    EXPECT_NEAR(v["21:v"], 53.5, 1.0);
    EXPECT_NEAR(v["21:i"], 30.0, 0.5);
  }
}

TEST(HostRun, AlarmsAreRaisedAndClearedByScenarioEvents) {
  const HostResult run = RunHost("--simulate " + kSource + "/examples/scenarios/mains-failure.json --rounds 7" + kFast);
  ASSERT_EQ(run.status, 0) << run.err;
  ASSERT_EQ(run.Of("round").size(), 7u);
  const auto during = [](int from, int until) {
    std::map<int, bool> m;
    for (int r = 1; r <= 7; ++r) m[r] = r >= from && r < until;
    return m;
  };
  // Mains failure in rounds 3 to 5: phase loss on both AC units, on battery.
  EXPECT_EQ(AlarmByRound(run, "AC_8", "交流屏1输入线/相电压AB/A").size(), 7u);
  std::map<int, bool> phaseLoss;
  const auto rounds = run.RoundOf();
  for (std::size_t k = 0; k < run.events.size(); ++k) {
    const auto& e = run.events[k];
    if (e["event"] == "alarm" && e["key"] == "AC_8") {
      if (e["data_id"] == 12) phaseLoss[rounds[k]] = e["active"].asBool();
    }
  }
  EXPECT_EQ(phaseLoss, during(3, 6));
  EXPECT_EQ(AlarmByRound(run, "AC_8", "交流屏1输入线/相电压AB/A"), during(3, 6));
  EXPECT_EQ(AlarmByRound(run, "AC_3", "交流屏1频率"), during(3, 6));
  EXPECT_EQ(AlarmByRound(run, "QPR2427K_AC_1", "开关电源处于电池供电中"), during(3, 6));
  // Fuse 3 from round 4 on; module 2 in rounds 5 and 6.
  EXPECT_EQ(AlarmByRound(run, "DC_3", "直流3电池熔丝故障告警"), during(4, 8));
  EXPECT_EQ(AlarmByRound(run, "DC_3", "直流2电池熔丝故障告警"), during(0, 0));
  EXPECT_EQ(AlarmByRound(run, "RC_0", "模块2整流模块故障告警"), during(5, 7));
  EXPECT_EQ(AlarmByRound(run, "QPR2427K_RC_2", "模块2模块故障告警状态"), during(5, 7));
  EXPECT_EQ(AlarmByRound(run, "RC_0", "模块1整流模块故障告警"), during(0, 0));

  // The values follow: no voltage while the mains is down. Values come
  // right after their round's event, so they count one round back.
  for (std::size_t k = 0; k < run.events.size(); ++k) {
    const auto& e = run.events[k];
    const int round = rounds[k] - 1;
    if (e["event"] == "value" && e["data_id"] == 11 && e["key"] == "channel_0_a") {
      if (round >= 3 && round < 6) EXPECT_EQ(e["value"].asDouble(), 0.0) << "round " << round;
      else EXPECT_NEAR(e["value"].asDouble(), 230.0, 4.0) << "round " << round;
    }
  }
  // The view shows the active alarms.
  EXPECT_TRUE(Contains(run.out, "ALARM qpr2427k-dc 21 DC_3")) << run.out;
}

TEST(HostRun, PollingGoesOnAfterEveryLineFault) {
  struct Row {
    const char* fault;
    std::function<void(const HostResult&)> evidence;
  };
  const auto hasTimeout = [](const HostResult& r) { EXPECT_FALSE(r.Of("timeout").empty()); };
  const auto rejected = [](const std::string& reason) {
    return [reason](const HostResult& r) {
      bool seen = false;
      for (const auto& e : r.Of("rejected")) seen = seen || e["reason"] == reason;
      EXPECT_TRUE(seen) << reason;
      EXPECT_FALSE(r.Of("timeout").empty());
    };
  };
  const auto logged = [](const std::string& message) {
    return [message](const HostResult& r) {
      bool seen = false;
      for (const auto& e : r.Of("log")) seen = seen || Contains(e["message"].asString(), message);
      EXPECT_TRUE(seen) << message;
    };
  };
  // A reply from another unit than the command asked.
  const auto wrongUnit = [](const HostResult& r) {
    bool seen = false;
    std::string asked;
    for (const auto& e : r.events) {
      if (e["event"] == "command") asked = e["cid1"].asString();
      if (e["event"] == "reply") seen = seen || e["cid1"].asString() != asked;
    }
    EXPECT_TRUE(seen);
  };
  const Row rows[] = {
      {R"({"type":"drop","round":2,"command":"40/41"})", hasTimeout},
      {R"({"type":"drop","round":2,"command":"42/46"})", hasTimeout},
      {R"({"type":"drop","round":2,"command":"40/46","count":3})", hasTimeout},
      {R"({"type":"bad_checksum","round":2,"command":"41/41"})", rejected("bad CHKSUM")},
      {R"({"type":"truncate","round":2,"command":"42/41","count":2})", [](const HostResult& r) {
         EXPECT_FALSE(r.Of("rejected").empty());
         EXPECT_FALSE(r.Of("timeout").empty());
       }},
      {R"({"type":"wrong_unit","round":2,"command":"41/41"})", wrongUnit},
      {R"({"type":"wrong_unit","round":2,"command":"40/41","count":2})", wrongUnit},
      {R"({"type":"unit_count","round":2,"command":"40/41","delta":1})",
       logged("read ac_number is 3, configured ac_number is 2")},
      {R"({"type":"unit_count","round":2,"command":"42/41","delta":-1})",
       logged("read dc_number is 0, configured dc_number is 1")},
      {R"({"type":"unit_count","round":1,"command":"42/44","delta":2})",  // asked in round 1 only
       logged("read dc_number is 3, configured dc_number is 1")},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.fault);
    const std::string scenario =
        Scenario(std::string(R"({"ac":[{},{}],"dc":[{}],"faults":[)") + row.fault + "]}");
    const HostResult run = RunHost("--simulate " + scenario + " --rounds 4" + kFast);
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.Of("round").size(), 4u);
    row.evidence(run);
    // The struck command is asked again, and later rounds are whole.
    const auto rounds = run.RoundOf();
    std::vector<std::string> last;
    for (std::size_t k = 0; k < run.events.size(); ++k)
      if (rounds[k] == 4 && run.events[k]["event"] == "command")
        last.push_back(run.events[k]["cid1"].asString() + "/" + run.events[k]["cid2"].asString());
    ASSERT_FALSE(last.empty());
    EXPECT_EQ(last.front(), "40/41");
    EXPECT_EQ(last.back(), "42/46");
  }
}

TEST(HostRun, ANoisyLineStillGivesWholeRounds) {
  const HostResult run = RunHost("--simulate " + kSource + "/examples/scenarios/line-faults.json --rounds 12" + kFast);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.Of("round").size(), 12u);
  EXPECT_FALSE(run.Of("timeout").empty());
  EXPECT_FALSE(run.Of("rejected").empty());
  // A garbled unit count is a line fault, not a settings problem.
  EXPECT_TRUE(run.Of("diagnosis").empty());
  EXPECT_FALSE(Contains(run.err + run.out, "SETTINGS:")) << run.err;
  // 22 values after each round, all answered.
  const auto values = run.Of("value");
  EXPECT_EQ(values.size(), 12u * 22u);
  for (const auto& v : values) EXPECT_TRUE(v.isMember("value")) << v["error"];
}

TEST(HostRun, UnsupportedModelRaisesTheModelAlarmOnceAndPollingGoesOn) {
  const HostResult run = RunHost("--simulate " + kSource + "/examples/scenarios/unsupported-model.json --rounds 2" + kFast);
  ASSERT_EQ(run.status, 0) << run.err;
  int seen = 0;
  for (const auto& a : run.Of("alarm")) {
    if (a["key"] != "device_model") continue;
    ++seen;
    EXPECT_EQ(a["code"], "70319");
    EXPECT_EQ(a["level"], 3);
    EXPECT_EQ(a["active"], true);
    EXPECT_TRUE(Contains(a["text"].asString(), "QPR-99X")) << a["text"];
    EXPECT_EQ(a["text"].asString().rfind("本驱动类型:qpr2427k 检测型号:", 0), 0u) << a["text"];
  }
  EXPECT_EQ(seen, 1);
  EXPECT_EQ(run.Of("round").size(), 2u);
}

TEST(HostRun, RestartFromTheSavedCache) {
  const std::string cache = Temp("cache.json");
  const HostResult first = RunHost("--simulate --rounds 2 --save-cache " + cache + kFast);
  ASSERT_EQ(first.status, 0) << first.err;
  Json::Value saved;
  {
    std::ifstream in(cache);
    Json::CharReaderBuilder b;
    std::string errors;
    ASSERT_TRUE(Json::parseFromStream(b, in, &saved, &errors)) << errors;
  }
  ASSERT_EQ(saved["children"].size(), 4u);
  const std::size_t lengths[] = {40 + 23, 40 + 23, 177, 65 + 3 * 14};
  for (Json::ArrayIndex k = 0; k < 4; ++k)
    EXPECT_EQ(saved["children"][k]["image"].asString().size(), 2 * lengths[k]) << k;
  // The last history image of each child is what the cache holds.
  std::map<int, std::string> lastHistory;
  for (const auto& h : first.Of("history")) lastHistory[h["data_id"].asInt()] = h["image"].asString();
  EXPECT_EQ(saved["children"][2]["image"].asString(), lastHistory[21]);
  std::map<std::string, double> lastValues;
  for (const auto& v : first.Of("value")) lastValues[v["data_id"].asString() + ":" + v["key"].asString()] = v["value"].asDouble();

  // Restarted: the values answer from the cache before any command is sent.
  const HostResult second = RunHost("--simulate --rounds 1 --cache " + cache + kFast);
  ASSERT_EQ(second.status, 0) << second.err;
  std::size_t before = 0;
  for (const auto& e : second.events) {
    if (e["event"] == "command") break;
    if (e["event"] != "value") continue;
    ++before;
    ASSERT_TRUE(e.isMember("value")) << e["error"];
    EXPECT_EQ(e["value"].asDouble(), lastValues[e["data_id"].asString() + ":" + e["key"].asString()]) << e["key"];
  }
  EXPECT_EQ(before, 22u);
  EXPECT_TRUE(Contains(second.out, "cache: qpr2427k-rc 100 restored (107 bytes)")) << second.out;
  EXPECT_EQ(second.Of("round").size(), 1u);

  // Without the cache nothing answers before the first round.
  const HostResult cold = RunHost("--simulate --rounds 1" + kFast);
  for (const auto& e : cold.events) {
    if (e["event"] == "round") break;
    EXPECT_NE(e["event"], "value");
  }
  // A cache image of the wrong length is refused by the child, and said so.
  Json::Value damaged = saved;
  damaged["children"][2]["image"] = "00";
  const std::string bad = Temp("bad-cache.json");
  std::ofstream(bad) << damaged;
  const HostResult refused = RunHost("--simulate --rounds 0 --cache " + bad + kFast);
  EXPECT_EQ(refused.status, 0) << refused.err;
  EXPECT_TRUE(Contains(refused.out, "cache: qpr2427k-dc 21 refused (1 bytes)")) << refused.out;
  for (const auto& e : refused.Of("value"))
    if (e["data_id"] == 21) {
      EXPECT_EQ(e["error"], "数据未就绪");
    }
}

TEST(HostRun, ReplayAnswersEachCommandWithTheNextLine) {
  const HostResult live = RunHost("--simulate --rounds 2" + kFast);
  ASSERT_EQ(live.status, 0) << live.err;
  const auto replies = live.Of("reply");
  ASSERT_EQ(replies.size(), 11u + 5u);
  // The live replies, with one lost reply and one line of noise after the model.
  const std::string file = Temp("replay.txt");
  {
    std::ofstream out(file);
    out << "# recorded from the simulator\n" << replies[0]["frame"].asString() << "\n-\n~21XYZ\n\n";
    for (std::size_t k = 1; k < replies.size(); ++k) out << replies[k]["frame"].asString() << "\r\n";
  }
  const HostResult replay = RunHost("--replay " + file + " --timeout-ms 50 --no-round-wait --reply-pause-ms 0 --poll-ms 2");
  ASSERT_EQ(replay.status, 0) << replay.err;
  EXPECT_EQ(replay.Of("round").size(), 2u);
  EXPECT_EQ(replay.Of("timeout").size(), 2u);  // "-" and the noise line
  ASSERT_EQ(replay.Of("rejected").size(), 1u);
  const auto commands = replay.Commands();
  ASSERT_GE(commands.size(), 4u);
  EXPECT_EQ(std::vector<std::string>(commands.begin(), commands.begin() + 4),
            (std::vector<std::string>{"40/51", "40/41", "40/41", "40/41"}));
  // Same replies, same values (at other times).
  std::vector<std::string> a, b;
  const Json::StreamWriterBuilder w;
  for (auto v : live.Of("value")) v.removeMember("t"), a.push_back(Json::writeString(w, v));
  for (auto v : replay.Of("value")) v.removeMember("t"), b.push_back(Json::writeString(w, v));
  EXPECT_EQ(a, b);
  // The run ends when the lines run out: the next command has no answer.
  EXPECT_EQ(replay.Commands().size(), replies.size() + 2 + 1);
  EXPECT_TRUE(Contains(replay.out, "the replay has no more replies")) << replay.out;
}

TEST(HostRun, TheExampleReplayPlaysTwoRounds) {
  const HostResult run = RunHost("--replay " + kSource + "/examples/replay/two-rounds.txt" + kFast);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.Of("round").size(), 2u);
  EXPECT_EQ(run.Of("timeout").size(), 1u);
  EXPECT_EQ(run.Of("reply").size(), 16u);
  EXPECT_TRUE(run.Of("rejected").empty());
}

TEST(HostRun, TraceLinesGoToTheTraceFileNotTheView) {
  const std::string trace = Temp("trace.txt");
  const HostResult run = RunHost("--simulate --rounds 1 --trace " + trace + kFast);
  ASSERT_EQ(run.status, 0) << run.err;
  const std::string traced = Slurp(trace);
  EXPECT_TRUE(Contains(traced, "a:")) << traced;
  EXPECT_TRUE(Contains(traced, "parse 42 41:")) << traced;
  EXPECT_FALSE(Contains(run.out, "parse 42 41:"));
  EXPECT_TRUE(Contains(run.out, "── round 1")) << run.out;
  EXPECT_TRUE(Contains(run.out, "AC 11")) << run.out;
  EXPECT_TRUE(Contains(run.out, "RC 100   3 modules")) << run.out;
}

TEST(HostRun, StandAloneSimulatorOverTcp) {
  const std::string err = Temp("sim-err.txt");
  Child sim({QPR_SIM_BIN, "--listen", "127.0.0.1:0", "--scenario", kSource + "/examples/scenarios/normal.json"},
            "/dev/null", err);
  ASSERT_GT(sim.pid, 0);
  std::string port;
  for (int k = 0; k < 500 && port.empty(); ++k) {  // the simulator says where it listens
    const std::string text = Slurp(err);
    const auto at = text.find("listening on 127.0.0.1:");
    if (at != std::string::npos && text.find('\n', at) != std::string::npos)
      port = text.substr(at + 23, text.find('\n', at) - at - 23);
    else
      std::this_thread::sleep_for(std::chrono::milliseconds(10));  // a real process starting up
  }
  ASSERT_FALSE(port.empty()) << Slurp(err);
  const HostResult run = RunHost("--port tcp:127.0.0.1:" + port + " --rounds 2" + kFast);
  sim.Stop(SIGTERM);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.Of("round").size(), 2u);
  EXPECT_TRUE(Contains(Slurp(err), "client 127.0.0.1:")) << Slurp(err);
}

TEST(HostRun, ClearErrorsAndExitStatus) {
  const std::string noRc = Scenario(R"({"data_id":1,"acSetting":[{"data_id":2}]})");
  const std::string notJson = Scenario("{ nope");
  struct Row {
    std::string args, config;
    int status;
    const char* message;
  };
  const Row rows[] = {
      {"--plugin /nonexistent/qpr2427k.so --simulate --rounds 1", kSite, 1, "cannot load the plug-in"},
      {"--simulate --rounds 1", "/nonexistent/site.json", 1, "cannot open the settings file /nonexistent/site.json"},
      {"--simulate --rounds 1", notJson, 1, "is not valid JSON"},
      {"--simulate --rounds 1", noRc, 1, "the plug-in refused the settings"},
      {"--port /nonexistent/ttyS9 --rounds 1 --exit-on-line-loss", kSite, 1, "cannot open serial port /nonexistent/ttyS9"},
      {"--port tcp:127.0.0.1:1 --rounds 1 --exit-on-line-loss", kSite, 1, "cannot connect to 127.0.0.1:1"},
      {"--port tcp:nohostport --rounds 1", kSite, 1, "needs the form tcp:HOST:PORT"},
      {"--simulate " + notJson + " --rounds 1", kSite, 1, "not valid JSON"},
      {"--simulate " + Scenario(R"({"ac":[{"channels":99}]})") + " --rounds 1", kSite, 1, "ac[0].channels"},
      {"--replay /nonexistent/replay.txt", kSite, 1, "cannot open the replay file"},
      {"--rounds many", kSite, 2, "--rounds needs a whole number"},
      {"--cache " + notJson + " --rounds 0", kSite, 0, "is not valid JSON"},
      {"--save-cache /nonexistent/dir/c.json --simulate --rounds 1" + kFast, kSite, 1, "cannot write the cache file"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args);
    const HostResult run = RunHost(row.args, row.config);
    EXPECT_EQ(run.status, row.status) << run.err;
    EXPECT_TRUE(Contains(run.err, row.message)) << run.err;
  }
  const HostResult help = RunHost("--help");
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(Contains(help.out, "usage: qpr2427k-host")) << help.out;
  EXPECT_TRUE(Contains(help.out, QPR_PLUGIN)) << "--help names where the plug-in is looked for\n" << help.out;
  for (const std::string program : {QPR_HOST_BIN, QPR_SIM_BIN}) {
    const std::string out = Temp("version.txt");
    EXPECT_EQ(RunToEnd({program, "--version"}, out, ""), 0) << program;
    EXPECT_EQ(Slurp(out), program.substr(program.rfind('/') + 1) + " " + QPR_VERSION + "\n");
  }
}

TEST(HostRun, FindsThePluginAndSettingsWithoutOptions) {
  // From a folder without examples/: this build's plug-in and the source's settings.
  const std::string out = Temp("out.txt"), err = Temp("err.txt");
  EXPECT_EQ(RunToEnd(Words(QPR_HOST_BIN, "--simulate --rounds 2 --quiet" + kFast), out, err, 60, ::testing::TempDir()), 0)
      << Slurp(out) << Slurp(err);
}


// ---- In the field: health, alarm edges, settings, the cache, lines that come back.

std::vector<Json::Value> Of(const std::vector<Json::Value>& events, const std::string& kind) {
  std::vector<Json::Value> r;
  for (const auto& e : events)
    if (e["event"] == kind) r.push_back(e);
  return r;
}

TEST(HostRunField, LostCommunicationAndWrongUnitCountsAreSaidOnce) {
  struct Row {
    std::string scenario, args;
    int status;
    std::vector<std::string> states;  // health changes in order
    std::string lostBecause, diagnosis;
    std::size_t maxFirstCommands;  // how often the first command of a round may be sent
  };
  const Row rows[] = {
      {R"({"address":2})", "--duration 3", 0, {"no reply", "comm lost"}, "no reply to 40/51", "", 100},
      {R"({"ac":[{},{},{}]})", "--duration 5 --rounds 1", 1, {"comm lost"},
       "the power system reports 3 AC units; the settings configure 2 (acSetting)",
       "the power system reports 3 AC units; the settings configure 2 (acSetting)", 5},
      {R"({"dc":[]})", "--duration 5", 0, {"comm lost"}, "reports 0 DC units",
       "the power system reports 0 DC units; the settings configure 1 (dcSetting)", 5},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.scenario);
    const HostResult run = RunHost("--simulate " + Scenario(row.scenario) + " " + row.args +
                                   " --comm-lost-s 1 --reply-pause-ms 0 --poll-ms 2 --timeout-ms 100 --no-round-wait");
    EXPECT_EQ(run.status, row.status) << run.err;
    std::vector<std::string> states;
    for (const auto& h : run.Of("health")) states.push_back(h["state"].asString());
    EXPECT_EQ(states, row.states);
    for (const auto& h : run.Of("health")) {
      if (h["state"] == "comm lost") {
        EXPECT_TRUE(Contains(h["message"].asString(), row.lostBecause)) << h;
      }
    }
    const auto diagnoses = run.Of("diagnosis");
    EXPECT_EQ(diagnoses.size(), row.diagnosis.empty() ? 0u : 1u);
    if (!diagnoses.empty()) {
      EXPECT_EQ(diagnoses[0]["message"], row.diagnosis);
    }
    const auto commands = run.Commands();
    const auto firsts = std::count_if(commands.begin(), commands.end(),
                                      [&](const std::string& c) { return c == (row.diagnosis.empty() ? "40/51" : "40/41") || c == "42/41"; });
    EXPECT_LE(static_cast<std::size_t>(firsts), row.maxFirstCommands) << "the line is flooded";
    EXPECT_TRUE(Contains(run.out, "COMM LOST")) << run.out;
  }
}

TEST(HostRunField, AlarmEdgesAndTimesReachScripts) {
  for (const std::string target : {"-", "/dev/stdout"}) {
    SCOPED_TRACE(target);
    const std::string out = Temp("stdout.txt"), err = Temp("stderr.txt");
    const auto args = Words(QPR_HOST_BIN, "--plugin " + std::string(QPR_PLUGIN) + " --config " + kSite +
                                              " --simulate " + kSource + "/examples/scenarios/mains-failure.json" +
                                              " --rounds 7" + kFast + " --events " + target);
    ASSERT_EQ(RunToEnd(args, out, err, 60), 0) << Slurp(err);
    const auto events = ReadEvents(out);  // standard output holds nothing but events
    ASSERT_EQ(Of(events, "round").size(), 7u);
    for (const auto& e : events) ASSERT_TRUE(e["t"].isInt64()) << e;
    std::vector<std::string> edges;
    Json::Int64 raisedAt = 0;
    for (const auto& e : Of(events, "alarm_change")) {
      if (e["key"] != "AC_8" || e["data_id"] != 11) continue;
      edges.push_back(e["change"].asString());
      if (e["change"] == "raised") raisedAt = e["t"].asInt64();
      else EXPECT_EQ(e["since"].asInt64(), raisedAt);
    }
    EXPECT_EQ(edges, (std::vector<std::string>{"raised", "cleared"}));
    EXPECT_TRUE(Contains(Slurp(err), "ALARM RAISED qpr2427k-ac 11 AC_8")) << Slurp(err);
    EXPECT_TRUE(Contains(Slurp(err), "ALARM CLEARED qpr2427k-ac 11 AC_8"));
  }
}

TEST(HostRunField, SettingsProblemsAreNamed) {
  struct Row {
    std::string args, settings;
    int status;
    const char* message;
  };
  const Row rows[] = {
      {"--quiet --rounds 1", "{}", 1, "refused the settings in"},
      {"--quiet --rounds 1", R"({"address":"one","rcSetting":{}})", 1, "\"address\""},
      {"--rounds 1" + kFast, R"({"adress":1,"acSetting":[{"data_id":2},{"data_id":3}],"dcSetting":[{"data_id":4}],"rcSetting":{}})", 0, "did you mean \"address\""},
      {"--check-config", R"({"data_id":5,"acSetting":[{"data_id":5}],"rcSetting":{}})", 1, "data id 5"},
      {"--check-config", "", 0, "no problems"},
      {"--check-config", R"({"systems":[{"data_id":1,"rcSetting":{}},{"data_id":2,"address":2}]})", 1,
       "systems[1]: the plug-in refuses these settings"},
      {"--check-config", R"({"systems":[{"data_id":1,"rcSetting":{}},{"data_id":1,"address":2,"rcSetting":{}}]})", 1,
       "systems[1].data_id: data id 1 (0 when absent) is also used by systems[0].data_id"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.settings);
    const std::string file = row.settings.empty() ? kSite : Scenario(row.settings);
    const bool check = row.args == "--check-config";
    const HostResult run = RunHost(check ? "--check-config " + file : row.args, check ? kSite : file);
    EXPECT_EQ(run.status, row.status) << run.err;
    EXPECT_TRUE(Contains(run.err + run.out, row.message)) << run.err << run.out;
  }
}

TEST(HostRunField, DiscoveredSettingsMatchTheSystem) {
  const std::string scenario = Scenario(R"({"ac":[{},{},{}],"dc":[{},{}]})");
  const HostResult found = RunHost("--discover --simulate " + scenario + " --first-id 50");
  ASSERT_EQ(found.status, 0) << found.err;
  const std::string settings = Scenario(found.out);
  const HostResult run = RunHost("--simulate " + scenario + " --rounds 2" + kFast, settings);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.Of("round").size(), 2u);
  EXPECT_TRUE(run.Of("diagnosis").empty());
  EXPECT_EQ(RunHost("--discover --simulate " + Scenario(R"({"address":9})") + " --timeout-ms 50").status, 1);
}

TEST(HostRunField, AScanPrintsEverySystemOnTheLineAndNothingElse) {
  const HostResult scan = RunHost("--discover --scan 1-32 --scan-timeout-ms 100 --simulate " + kSource +
                                  "/examples/scenarios/three-systems.json");
  ASSERT_EQ(scan.status, 0) << scan.err;
  Json::Value root;
  std::istringstream(scan.out) >> root;
  std::vector<unsigned> addresses;
  for (const auto& s : root["systems"]) addresses.push_back(s["address"].asUInt());
  EXPECT_EQ(addresses, (std::vector<unsigned>{1, 5, 12}));
  EXPECT_EQ(root.getMemberNames(), std::vector<std::string>{"systems"});
  std::size_t lines = 0;
  for (std::size_t at = 0; (at = scan.err.find("found at address", at)) != std::string::npos; ++at) ++lines;
  EXPECT_EQ(lines, 3u) << scan.err;
  EXPECT_TRUE(Contains(scan.err, "scanned 32 addresses in ")) << scan.err;
  // What it prints is a settings file the check takes as it is.
  const HostResult check = RunHost("--check-config " + Scenario(scan.out));
  EXPECT_EQ(check.status, 0) << check.out;
  EXPECT_TRUE(Contains(check.out, "no problems")) << check.out;
  EXPECT_EQ(RunHost("--discover --scan 40-45 --scan-timeout-ms 20 --simulate").status, 1);
}

TEST(HostRunField, TheCacheIsCheckedAtStartAndKeptDuringTheRun) {
  const HostResult unwritable = RunHost("--save-cache /proc/qpr-cache.json --simulate" + kFast);
  EXPECT_EQ(unwritable.status, 1);
  EXPECT_TRUE(unwritable.Of("command").empty());  // refused before polling
  EXPECT_TRUE(Contains(unwritable.err, "cannot write the cache file")) << unwritable.err;

  const std::string cache = Temp("live-cache.json");
  const auto children = [&] {
    Json::Value saved;
    std::istringstream in(Slurp(cache));
    std::string errors;
    return Json::parseFromStream(Json::CharReaderBuilder(), in, &saved, &errors) ? saved["children"].size() : 0u;
  };
  Child host({QPR_HOST_BIN, "--plugin", QPR_PLUGIN, "--config", kSite, "--simulate", "--save-cache", cache,
              "--reply-pause-ms", "0", "--poll-ms", "2", "--no-round-wait", "--duration", "60"},
             "/dev/null", Temp("err.txt"));
  // Every child's image is in the file while the runner polls on.
  EXPECT_TRUE(WaitFor([&] { return children() == 4u; }));
  EXPECT_TRUE(host.Running());
  host.Stop(SIGKILL);  // a power cut: no chance to write at exit
  EXPECT_EQ(children(), 4u);
}

// The simulator killed and started again, 20 times, behind TCP and behind a
// pseudo-terminal pair that goes away with it (a USB adapter pulled out). The
// quiet view says each change of health; a restored line has ended a round.
TEST(HostRunField, TheLineComesBackAfterEveryLoss) {
  const int tcpPort = FreePort();
  const std::string dir = Temp("line");
  const std::string scenario = kSource + "/examples/scenarios/normal.json";
  struct Transport {
    const char* name;
    std::string port;
    std::function<std::vector<std::unique_ptr<Child>>()> start;
  };
  const Transport transports[] = {
      {"tcp", "tcp:127.0.0.1:" + std::to_string(tcpPort),
       [&] {
         std::vector<std::unique_ptr<Child>> c;
         const std::string log = dir + "-sim.txt";
         std::remove(log.c_str());
         c.push_back(std::make_unique<Child>(
             std::vector<std::string>{QPR_SIM_BIN, "--listen", "127.0.0.1:" + std::to_string(tcpPort), "--scenario",
                                      scenario},
             "/dev/null", log));
         WaitFor([&] { return Contains(Slurp(log), "listening"); }, 5);
         return c;
       }},
      {"pty", dir + "-host",
       [&] {
         std::vector<std::unique_ptr<Child>> c;
         c.push_back(std::make_unique<Child>(
             std::vector<std::string>{"socat", "pty,raw,echo=0,link=" + dir + "-host", "pty,raw,echo=0,link=" + dir + "-sim"},
             "/dev/null", dir + "-socat.txt"));
         WaitFor([&] { return access((dir + "-sim").c_str(), F_OK) == 0 && access((dir + "-host").c_str(), F_OK) == 0; }, 5);
         // Ready once the simulator reads the line: commands sent before pile up in the pseudo-terminal and
         // are answered late, out of step (a slow start under a sanitizer).
         const std::string log = dir + "-sim.txt";
         std::remove(log.c_str());
         c.push_back(std::make_unique<Child>(
             std::vector<std::string>{QPR_SIM_BIN, "--port", dir + "-sim", "--scenario", scenario}, "/dev/null", log));
         WaitFor([&] { return Contains(Slurp(log), "answering on"); });
         return c;
       }},
  };
  constexpr int kRestarts = 20;
  for (const auto& t : transports) {
    SCOPED_TRACE(t.name);
    const std::string view = Temp(std::string(t.name) + "-view.txt");
    const auto count = [&](const std::string& what) {
      const std::string text = Slurp(view);
      int n = 0;
      for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
      return n;
    };
    auto line = t.start();
    Child host({QPR_HOST_BIN, "--plugin", QPR_PLUGIN, "--config", kSite, "--port", t.port, "--reply-pause-ms", "0",
                "--poll-ms", "2", "--timeout-ms", "100", "--no-round-wait", "--reopen-ms", "50", "--comm-lost-s", "1",
                "--quiet", "--duration", "100"},
               view, Temp("host-err.txt"));
    ASSERT_TRUE(WaitFor([&] { return count("ONLINE: first round") == 1; })) << Slurp(view);
    for (int k = 1; k <= kRestarts; ++k) {
      for (auto& c : line) c->Stop(SIGTERM);  // the simulator, and socat with it: the line goes away
      line.clear();
      ASSERT_TRUE(WaitFor([&] { return count("LINE DOWN") == k; })) << "loss " << k << " not seen:\n" << Slurp(view);
      line = t.start();
      ASSERT_TRUE(WaitFor([&] { return count("COMM RESTORED") == k; })) << "no round after restart " << k << ":\n"
                                                                        << Slurp(view);
      ASSERT_TRUE(host.Running()) << "the runner ended on a lost line";
    }
    EXPECT_EQ(host.Stop(SIGTERM), 0);
    EXPECT_EQ(count("LINE DOWN"), kRestarts) << Slurp(view);  // each loss once
    EXPECT_EQ(count("COMM RESTORED"), kRestarts);              // each recovery once
  }
}

}  // namespace
