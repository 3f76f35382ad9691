// The runner's parts that need no plug-in: command line, event lines, replay
// files, cache files, and the host controller's events and work thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/asio/thread_pool.hpp>
#include <fstream>
#include <limits>
#include <mutex>
#include <sstream>
#include <thread>

#include "host/KLDSPDevice.h"
#include "host/PMBusProtocol.h"
#include "tests/support/EventFile.h"
#include "tools/host/stream/AlarmTracker.h"
#include "tools/host/outputs/cache/CacheWriter.h"
#include "tools/host/outputs/events/EventLog.h"
#include "tools/host/outputs/events/EventsWriter.h"
#include "tools/host/loop/HealthMonitor.h"
#include "tools/host/loop/HostController.h"
#include "tools/host/line/Links.h"
#include "tools/host/cli/Options.h"
#include "tools/host/loop/Runner.h"

namespace {

using namespace runner;

RunOptions Parse(std::vector<const char*> args) {
  args.insert(args.begin(), "qpr2427k-host");
  return ParseOptions(static_cast<int>(args.size()), args.data());
}

TEST(RunnerOptions, DefaultsAreTheHostsRealTiming) {
  const RunOptions o = Parse({});
  EXPECT_EQ(o.source, Source::Simulate);
  EXPECT_EQ(o.scenario, "");
  EXPECT_EQ(o.timeoutMs, 1000u);
  EXPECT_FALSE(o.replyPauseMs.has_value());
  EXPECT_FALSE(o.noRoundWait);
  EXPECT_FALSE(o.rounds.has_value());
  EXPECT_EQ(o.baud, 9600u);
}

TEST(RunnerOptions, SimulateTakesAnOptionalScenario) {
  EXPECT_EQ(Parse({"--simulate", "--rounds", "2"}).scenario, "");
  const RunOptions o = Parse({"--simulate", "s.json", "--rounds", "2", "--no-round-wait", "--reply-pause-ms", "0"});
  EXPECT_EQ(o.scenario, "s.json");
  EXPECT_EQ(*o.rounds, 2);
  EXPECT_TRUE(o.noRoundWait);
  EXPECT_EQ(*o.replyPauseMs, 0u);
  const RunOptions p = Parse({"--port", "tcp:127.0.0.1:4001", "--baud", "19200"});
  EXPECT_EQ(p.source, Source::Port);
  EXPECT_EQ(p.port, "tcp:127.0.0.1:4001");
  EXPECT_EQ(p.baud, 19200u);
}

TEST(RunnerOptions, ScanTakesAddressesAndRangesOnceEach) {
  const struct {
    const char* list;
    std::vector<unsigned> addresses;
  } rows[] = {
      {"1-4", {1, 2, 3, 4}}, {"1,5,9-11", {1, 5, 9, 10, 11}}, {"7", {7}}, {"3-3,0,2,3", {3, 0, 2}}, {"254-255", {254, 255}},
  };
  for (const auto& row : rows) EXPECT_EQ(Parse({"--discover", "--scan", row.list}).scan, row.addresses) << row.list;
  EXPECT_EQ(Parse({"--discover", "--scan", "1-254"}).scan.size(), 254u);
  EXPECT_EQ(Parse({"--discover", "--scan", "1", "--scan-timeout-ms", "80"}).scanTimeoutMs, 80u);
}

TEST(RunnerOptions, HttpTakesAnAddressOrAPortAlone) {
  const struct {
    const char* arg;
    const char* address;
    unsigned short port;
  } rows[] = {{"9427", "127.0.0.1", 9427}, {":80", "127.0.0.1", 80}, {"0.0.0.0:9427", "0.0.0.0", 9427},
              {"[::1]:8080", "::1", 8080}, {"localhost:9127", "127.0.0.1", 9127}};
  for (const auto& row : rows) {
    const RunOptions o = Parse({"--http", row.arg});
    // A number stands for itself alone, a name for each of its addresses (localhost may be ::1 too).
    const auto& all = o.httpAddresses;
    if (std::string(row.arg).rfind("localhost", 0) == 0)
      EXPECT_NE(std::find(all.begin(), all.end(), row.address), all.end()) << row.arg;
    else
      EXPECT_EQ(all, std::vector<std::string>{row.address}) << row.arg;
    EXPECT_EQ(o.httpPort, row.port) << row.arg;
  }
  EXPECT_FALSE(Parse({}).httpPort.has_value());
  EXPECT_TRUE(Parse({}).site.empty());  // the runner takes the host name
  EXPECT_EQ(Parse({"--http", "9427", "--site", "north"}).site, "north");
}

TEST(RunnerOptions, BadCommandLinesAreRefusedWithAReason) {
  struct Row {
    std::vector<const char*> args;
    const char* message;
  };
  const std::string huge(70000, 'x');
  const Row rows[] = {
      {{"--rounds"}, "--rounds needs a value"},
      {{"--port", "--rounds", "2"}, "--port needs a value"},
      {{"--rounds", "-1"}, "--rounds needs a whole number"},
      {{"--rounds", "2x"}, "--rounds needs a whole number"},
      {{"--timeout-ms", "0"}, "--timeout-ms must not be 0"},
      {{"--port", "/dev/ttyS0", "--replay", "r.txt"}, "only one of"},
      {{"--frobnicate"}, "unknown argument --frobnicate"},
      {{"--http", "web"}, "--http needs ADDRESS:PORT or PORT"},
      {{"--http", "127.0.0.1:70000"}, "a port from 0 to 65535"},
      {{"--http", "no-such-host.invalid:80"}, "--http: cannot resolve \"no-such-host.invalid\""},
      {{"--http", "1.2.3:80"}, "--http needs an IP address or a host name"},
      {{"--site", ""}, "--site needs a name"},
      {{"--discover", "--http", "9427"}, "--http serves a polling run"},
      // MQTT topics, client ids and user names: UTF-8 without NUL or control characters, bounded.
      {{"--mqtt", "mqtt://h", "--mqtt-prefix", "q\xff"}, "--mqtt-prefix is not UTF-8"},
      {{"--mqtt", "mqtt://h", "--mqtt-prefix", "q\xc2\x85"}, "--mqtt-prefix is not UTF-8"},  // a C1 control
      {{"--mqtt", "mqtt://h", "--site", "lab\x01"}, "--site holds a control character"},
      {{"--site", "north\nsouth"}, "--site holds a control character"},
      {{"--mqtt", "mqtt://h", "--site", "caf\xe9"}, "--site is not UTF-8"},
      {{"--mqtt", "mqtt://h", "--site", huge.c_str()}, "--site is 70000 bytes long, more than the 128"},
      {{"--mqtt", "mqtt://h", "--mqtt-client-id", huge.c_str()}, "--mqtt-client-id is 70000 bytes long"},
      {{"--mqtt", "mqtt://h", "--mqtt-client-id", "id\t"}, "--mqtt-client-id holds a control character"},
      {{"--mqtt", "mqtt://u:p%00q@h"}, "the password holds a NUL byte"},
      {{"--mqtt", "mqtt://u%0A@h"}, "the user holds a control character"},
      {{"--mqtt", "mqtt://u%FF@h"}, "the user is not UTF-8"},
      {{"--decode", "c.json", "--check-config", "s.json"}, "give only one of"},
      {{"--decode", "c.json", "--format", "xml"}, "--format needs jsonl or csv"},
      {{"--format", "csv"}, "--format goes with --decode"},
      {{"--decode-capture", "c.log", "--format", "xml"}, "--format needs text, jsonl or csv"},
      {{"--decode", "c.json", "--format", "text"}, "--format needs jsonl or csv"},
      {{"--decode-capture", "c.log", "--to-replay", "c.log"}, "give only one of"},
      {{"--pcap", "out.pcap"}, "--pcap goes with --decode-capture"},
      {{"--scan", "1-4"}, "--scan goes with --discover"},
      {{"--discover", "--scan", "1-4", "--address", "2"}, "give --address or --scan, not both"},
      {{"--discover", "--scan", "5-2"}, "the range \"5-2\" runs backwards; write it as 2-5"},
      {{"--discover", "--scan", "1-256"}, "\"1-256\" in \"1-256\" is neither"},
      {{"--discover", "--scan", "1,,2"}, "--scan needs addresses from 0 to 255"},
      {{"--discover", "--scan", "1-"}, "--scan needs addresses"},
      {{"--discover", "--scan-timeout-ms", "10"}, "--scan-timeout-ms goes with --scan"},
      {{"--to-replay", "c.log", "--pcap", "out.pcap"}, "--pcap goes with --decode-capture"},
  };
  for (const auto& row : rows) {
    try {
      Parse(row.args);
      ADD_FAILURE() << "accepted " << row.args[0];
    } catch (const UsageError& e) {
      EXPECT_NE(std::string(e.what()).find(row.message), std::string::npos) << e.what();
    }
  }
}

TEST(EventLines, HexNumbersAndTextsAreWrittenAsTheStreamPromises) {
  const unsigned char bytes[] = {0x00, 0xAB, 0x7F, 0x10};
  EXPECT_EQ(Hex(bytes, 4), "00AB7F10");
  EXPECT_EQ(Hex(bytes, 0), "");
  const Fields e = {{"event", "value"},
                    {"v", Number(230.1f)},
                    {"i", Number(-0.1f)},
                    {"n", Number(std::numeric_limits<float>::quiet_NaN())},
                    {"text", "交流屏1频率\"q\""},
                    {"slot", 66},
                    {"ms", 12.5}};
  EXPECT_EQ(EventLine(e),
            R"({"event":"value","v":230.1,"i":-0.1,"n":null,"text":"交流屏1频率\"q\"","slot":66,"ms":12.5})");
}

TEST(EventLines, AreFlushedLineByLineToTheFile) {
  const std::string path = ::testing::TempDir() + "events-test.jsonl";
  EventLog log;
  ASSERT_TRUE(log.Open(path));
  log.Write({{"event", "timeout"}});
  log.Flush();
  std::ifstream in(path);  // readable before the log is closed
  std::string line;
  ASSERT_TRUE(std::getline(in, line));
  EXPECT_EQ(line, R"({"event":"timeout"})");
  EXPECT_FALSE(log.Open("/nonexistent-dir/x.jsonl"));
}

// A request to write now (SIGHUP) does not wait for the gap between writes.
TEST(CacheFiles, AreWrittenAtOnceWhenAsked) {
  const std::string path = ::testing::TempDir() + "cache-now.json";
  std::remove(path.c_str());
  CacheWriter writer(path, std::chrono::hours(1));
  writer.Observe({0, HistorySaved{21, 2, "qpr2427k-dc", {1, 2}}});
  writer.WriteSoon();
  for (int k = 0; k < 1000 && writer.writes() == 0; ++k) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(writer.writes(), 1u);
  std::ifstream in(path);
  Json::Value root;
  std::string errors;
  ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &root, &errors)) << errors;
  EXPECT_EQ(root["children"][0]["data_id"], 21);
}

TEST(ReplayFiles, KeepRepliesAndMissingRepliesInOrder) {
  std::istringstream in("# a comment\n\n~21014000C000FDB1\r\n  -  \n\t~2101\n");
  const auto lines = ParseReplay(in, "r.txt");
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(*lines[0].frame, "~21014000C000FDB1");
  EXPECT_EQ(lines[0].lineNumber, 3);
  EXPECT_FALSE(lines[1].frame.has_value());
  EXPECT_EQ(*lines[2].frame, "~2101");
  std::istringstream bad("~21\nhello\n");
  try {
    ParseReplay(bad, "r.txt");
    ADD_FAILURE() << "accepted a line without '~'";
  } catch (const LinkError& e) {
    EXPECT_NE(std::string(e.what()).find("r.txt:2"), std::string::npos) << e.what();
  }
}

TEST(CacheFiles, RoundTripAndRefuseDamage) {
  const std::vector<CacheEntry> entries = {{0, "qpr2427k-ac", 11, {1, 2, 0xFE}}, {3, "qpr2427k-rc", 100, {}}};
  const auto back = CacheFromJson(CacheToJson(entries), "c.json");
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].index, 0u);
  EXPECT_EQ(back[0].deviceType, "qpr2427k-ac");
  EXPECT_EQ(back[0].dataId, 11u);
  EXPECT_EQ(back[0].image, (std::vector<unsigned char>{1, 2, 0xFE}));
  EXPECT_EQ(back[1].index, 3u);
  EXPECT_TRUE(back[1].image.empty());

  Json::Value damaged = CacheToJson(entries);
  damaged["children"][0]["image"] = "0G";
  EXPECT_THROW(CacheFromJson(damaged, "c.json"), RunError);
  damaged["children"][0]["image"] = "ABC";
  EXPECT_THROW(CacheFromJson(damaged, "c.json"), RunError);
  EXPECT_THROW(CacheFromJson(Json::Value(Json::arrayValue), "c.json"), RunError);
  Json::Value noId = CacheToJson(entries);
  noId["children"][1].removeMember("data_id");
  EXPECT_THROW(CacheFromJson(noId, "c.json"), RunError);
}

struct Unit : KLDSPDevice {};

using testing_support::ReadEvents;

// Collects the observations a controller makes.
struct Seen : Observer {
  std::vector<Stamped> all;
  void Observe(const Stamped& o) override { all.push_back(o); }
};

TEST(RunnerController, TurnsHostCallsIntoEventsAndAlarmEdges) {
  const std::string path = ::testing::TempDir() + "controller-events.jsonl";
  EventLog log;
  ASSERT_TRUE(log.Open(path));
  EventsWriter writer(log);
  Seen seen;
  ObservationBus bus;
  bus.Add(&writer);
  bus.Add(&seen);
  auto ctl = std::make_shared<HostController>(bus);
  std::vector<std::string> mismatches;
  ctl->SetMismatchSink([&](const std::string& kind, unsigned reported, unsigned configured) {
    mismatches.push_back(kind + std::to_string(reported) + "/" + std::to_string(configured));
  });
  auto unit = std::make_shared<Unit>();
  unit->deviceType_ = "qpr2427k-ac";
  unit->Init(ctl, 11, Json::Value());

  unit->CheckThresholdBool(3, "AC_0", "06015", "交流输入电压过低告警", "交流屏1输入线/相电压AB/A", true, 1);
  unit->CheckThresholdBool(3, "AC_0", "06015", "交流输入电压过低告警", "交流屏1输入线/相电压AB/A", false, 1);
  const unsigned char image[] = {0x0B, 0, 0, 0};
  unit->SendSP(5026, image, 4, false);
  unit->InfoLog("PMBusPowerAC:ProcotolError {} read 40_41 p is {} not {}", unit->DataId(), 2, 0);
  const unsigned char group = 0xFF;
  const std::string command = yd1363::Encode(0x21, 1, 0x40, 0x41, &group, 1);
  unit->SendData(reinterpret_cast<const unsigned char*>(command.data()), static_cast<unsigned>(command.size()));
  unit->InfoLog("PMBusPower:ProcotolError {} read ac_number is {}, configured ac_number is {}", 11u, 3, 2u);
  writer.Finish();

  const auto events = ReadEvents(path);
  ASSERT_EQ(events.size(), 6u);
  EXPECT_EQ(events[0]["event"], "alarm");
  EXPECT_EQ(events[0]["data_id"], 11);
  EXPECT_EQ(events[0]["device_type"], "qpr2427k-ac");
  EXPECT_EQ(events[0]["text"], "交流屏1输入线/相电压AB/A");
  EXPECT_EQ(events[0]["active"], true);
  EXPECT_EQ(events[1]["active"], false);
  EXPECT_EQ(events[2]["event"], "publish");
  EXPECT_EQ(events[2]["record_type"], 5026);
  EXPECT_EQ(events[2]["image"], "0B000000");
  EXPECT_EQ(events[3]["message"], "PMBusPowerAC:ProcotolError 11 read 40_41 p is 2 not 0");
  EXPECT_EQ(events[4]["event"], "command");
  EXPECT_EQ(events[4]["cid1"], "40");
  EXPECT_EQ(events[4]["cid2"], "41");
  EXPECT_EQ(events[4]["info"], "FF");
  EXPECT_EQ(events[4]["frame"], command.substr(0, command.size() - 1));
  for (const auto& e : events) EXPECT_GT(e["t"].asInt64(), 1700000000000) << e;  // milliseconds since 1970
  EXPECT_EQ(mismatches, (std::vector<std::string>{"AC3/2"}));

  // Alarm edges: raised on the first active report, cleared on the next.
  AlarmTracker tracker;
  std::vector<std::string> edges;
  for (const auto& o : seen.all)
    if (const auto* a = std::get_if<AlarmCall>(&o.what))
      if (auto e = tracker.Call(*a, o.t)) edges.push_back((e->raised ? "+" : "-") + e->alarm.key);
  EXPECT_EQ(edges, (std::vector<std::string>{"+AC_0", "-AC_0"}));
  EXPECT_FALSE(tracker.Call(AlarmCall{11, "qpr2427k-ac", 3, "AC_1", "", "", "t", false, 2}, 0).has_value());
  EXPECT_EQ(ctl->PublishedLength(unit.get()), 4u);
  EXPECT_EQ(ctl->commandsSent(), 1u);
  EXPECT_EQ(ctl->lastCid2(), 0x41);
}

TEST(RunnerController, RunsWorkItemsOnTheWorkThreadAndHandsTheirHistoryToTheLoop) {
  ObservationBus bus;
  Seen seen;
  bus.Add(&seen);
  auto ctl = std::make_shared<HostController>(bus);
  boost::asio::thread_pool pool(1);
  ctl->SetWorkPool(&pool);
  std::vector<std::function<void()>> posted;
  std::mutex postedMutex;
  ctl->SetLoopPost([&](std::function<void()> f) {
    std::lock_guard<std::mutex> lock(postedMutex);
    posted.push_back(std::move(f));
  });
  auto unit = std::make_shared<Unit>();
  unit->Init(ctl, 21, Json::Value());
  ctl->SetChildren({nullptr, unit});
  const auto loop = std::this_thread::get_id();
  std::thread::id ranOn;
  for (unsigned char round = 1; round <= 3; ++round) {
    unit->CheckThresholdWork([unit, round, &ranOn] {
      ranOn = std::this_thread::get_id();
      const unsigned char image[] = {round, round};
      unit->SaveDeviceHistory(image, 2);
    });
  }
  pool.join();
  EXPECT_NE(ranOn, loop);
  EXPECT_TRUE(seen.all.empty());  // nothing observed off the loop thread
  for (auto& f : posted) f();
  ASSERT_EQ(seen.all.size(), 3u);
  const auto& last = std::get<HistorySaved>(seen.all.back().what);
  EXPECT_EQ(last.image, (std::vector<unsigned char>{3, 3}));  // the last round's image
  EXPECT_EQ(last.child, 1u);
  EXPECT_EQ(last.dataId, 21u);
}

// Health from what the loop sees, on a clock the test moves.
TEST(RunnerHealth, EachChangeIsSaidOnceInPlainWords) {
  using std::chrono::milliseconds;
  const Moment start{std::chrono::steady_clock::time_point{}, 1800000000000};
  const auto at = [&](int ms) { return Moment{start.mono + milliseconds(ms), start.wall + ms}; };
  HealthMonitor h(std::chrono::seconds(10));
  std::vector<std::string> said;
  const auto note = [&](const HealthMonitor::Change& c) {
    if (c) said.push_back(std::string(HealthName(c->state)) + ": " + c->message);
  };
  h.Started(at(0));
  h.CommandSent(at(0), "40/41");
  note(h.RoundEnded(at(200), 200));
  for (int k = 1; k <= 7; ++k) {  // the system stops answering
    h.CommandSent(at(1000 * k), "40/41");
    note(h.TimedOut(at(1000 * k + 1000)));
  }
  note(h.Tick(at(9000)));   // not yet 10 s since the round
  note(h.Tick(at(10300)));
  note(h.Tick(at(11000)));  // said once
  note(h.ReplyCame(at(25000)));
  note(h.RoundEnded(at(26300), 100));
  note(h.LineDown(at(30000), "the line closed: End of file", milliseconds(1000)));
  note(h.LineDown(at(31000), "cannot connect", milliseconds(2000)));  // still down: nothing new
  note(h.LineUp(at(33000), "tcp:h:1"));
  note(h.RoundEnded(at(33500), 80));
  h.SetCause("the power system reports 3 AC units; the settings configure 2 (acSetting)");
  note(h.Tick(at(44000)));
  const auto clock = [&](int ms) { return LocalClock(start.wall + ms); };
  const std::vector<std::string> expected = {
      "online: ONLINE: first round in 200 ms",
      "no reply: NO REPLY: 3 time-outs in a row, to 40/41 since " + clock(1000),
      "comm lost: COMM LOST: no reply to 40/41 since " + clock(1000) + ", 7 time-outs",
      "online: COMM RESTORED after 16 s",
      "line down: LINE DOWN: the line closed: End of file; reopening in 1 s",
      "comm lost: LINE UP: tcp:h:1 open again; no round since " + clock(26300),
      "online: COMM RESTORED after 4 s",
      "comm lost: COMM LOST: no round completed since " + clock(33500) +
          ": the power system reports 3 AC units; the settings configure 2 (acSetting)",
  };
  EXPECT_EQ(said, expected);
}

}  // namespace
