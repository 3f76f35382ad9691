// The simulator's side of the line: reply layouts read back with an
// independent reader, return codes, data flags, events, faults, scenario
// checks, and the TCP listener's one-client rule.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <functional>
#include <set>

#include "host/PMBusProtocol.h"
#include "tools/sim/Listener.h"
#include "tools/sim/Simulator.h"

namespace {

using sim::Simulator;

struct Reply {
  bool present = false;
  std::string reason;  // why Decode refused the frame, empty when it did not
  yd1363::Decoded frame;
  std::string text;
};

// Sends one command and decodes the answer.
Reply Ask(Simulator& s, unsigned char cid1, unsigned char cid2, double now = 0,
          unsigned char adr = 1) {
  const unsigned char group = 0xFF;
  const bool withGroup = (cid1 == 0x40 && cid2 != 0x51 && cid2 != 0x46) || (cid1 == 0x42 && cid2 != 0x46);
  std::string cmd = yd1363::Encode(0x21, adr, cid1, cid2, &group, withGroup ? 1 : 0);
  cmd.pop_back();  // CR
  Reply r;
  r.text = s.Answer(cmd, now);
  r.present = !r.text.empty();
  if (r.present) r.reason = yd1363::Decode(r.text.data() + 1, r.text.size() - 2, r.frame);
  return r;
}

float F32(const std::vector<unsigned char>& b, std::size_t at) {
  std::uint32_t bits = static_cast<std::uint32_t>(b.at(at)) | static_cast<std::uint32_t>(b.at(at + 1)) << 8 |
                       static_cast<std::uint32_t>(b.at(at + 2)) << 16 | static_cast<std::uint32_t>(b.at(at + 3)) << 24;
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

// One full polling round in order, every status query included.
const std::pair<unsigned char, unsigned char> kRound[] = {
    {0x40, 0x41}, {0x40, 0x43}, {0x40, 0x44}, {0x41, 0x41}, {0x41, 0x43},
    {0x41, 0x44}, {0x42, 0x41}, {0x42, 0x44}, {0x40, 0x46}, {0x42, 0x46}};

std::vector<Reply> FullRound(Simulator& s, double now = 0) {
  std::vector<Reply> out;
  for (const auto& c : kRound) out.push_back(Ask(s, c.first, c.second, now));
  return out;
}

sim::Scenario WithJson(const char* text) {
  Json::Value root;
  Json::CharReaderBuilder b;
  std::string errors;
  std::unique_ptr<Json::CharReader> reader(b.newCharReader());
  const std::string t(text);
  EXPECT_TRUE(reader->parse(t.data(), t.data() + t.size(), &root, &errors)) << errors;
  return sim::ParseScenario(root);
}

TEST(Simulator, ModelReplyIsPaddedNameTwoVersionBytesAndPaddedMaker) {
  Simulator s(WithJson(R"({"model":"QPR-36KM","version":[3,7],"maker":"Acme"})"));
  const Reply r = Ask(s, 0x40, 0x51);
  ASSERT_TRUE(r.present);
  ASSERT_EQ(r.reason, "");
  EXPECT_EQ(r.frame.cid1, 0x40);
  EXPECT_EQ(r.frame.cid2, sim::kRtnOk);
  ASSERT_EQ(r.frame.info.size(), 32u);
  EXPECT_EQ(std::string(r.frame.info.begin(), r.frame.info.begin() + 10), std::string("QPR-36KM\0\0", 10));
  EXPECT_EQ(r.frame.info[10], 3);
  EXPECT_EQ(r.frame.info[11], 7);
  EXPECT_EQ(std::string(r.frame.info.begin() + 12, r.frame.info.end()), std::string("Acme") + std::string(16, '\0'));
}

TEST(Simulator, EveryReplyOfTheRoundHasTheLayoutLength) {
  // Default system: two AC units of one channel, three modules, one DC unit
  // with two battery and three load currents, 64 fuses, 20 status bytes.
  Simulator s(sim::DefaultScenario());
  struct Row {
    unsigned char cid1, cid2;
    std::size_t length;
  };
  const Row rows[] = {
      {0x40, 0x41, 2 + 2 * (1 + 17 + 12)}, {0x40, 0x43, 2 + 2 * (1 + 2 + 1 + 3)},
      {0x40, 0x44, 2 + 2 * (1 + 7 + 3)},   {0x41, 0x41, 6 + 5 * 3},
      {0x41, 0x43, 2 + 4 * 3},             {0x41, 0x44, 2 + 5 * 3},
      {0x42, 0x41, 2 + 11 + 4 * (2 + 3)},  {0x42, 0x44, 2 + 3 + 64 + 20},
      {0x40, 0x46, 21},                    {0x42, 0x46, 29},
  };
  for (const auto& row : rows) {
    const Reply r = Ask(s, row.cid1, row.cid2);
    ASSERT_TRUE(r.present);
    ASSERT_EQ(r.reason, "") << std::hex << int(row.cid1) << "/" << int(row.cid2);
    EXPECT_EQ(r.frame.cid1, row.cid1);
    EXPECT_EQ(r.frame.info.size(), row.length) << std::hex << int(row.cid1) << "/" << int(row.cid2);
  }
}

TEST(Simulator, GroupRepliesCarryUnitCountsAndPlausibleValues) {
  Simulator s(sim::DefaultScenario());
  const auto round = FullRound(s);
  const auto& ac = round[0].frame.info;
  EXPECT_EQ(ac[1], 2);  // AC units
  EXPECT_EQ(ac[2], 1);  // channels of unit 1
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(F32(ac, 3 + 4 * k), 230.0f, 230.0f * 0.016f);
  EXPECT_NEAR(F32(ac, 15), 50.0f, 1.0f);
  EXPECT_EQ(ac[19], 0);  // no user-defined values
  EXPECT_NEAR(F32(ac, 20), 18.0f, 0.3f);
  const auto& rc = round[3].frame.info;
  EXPECT_NEAR(F32(rc, 1), 53.5f, 1.0f);
  EXPECT_EQ(rc[5], 3);
  const auto& dc = round[6].frame.info;
  EXPECT_EQ(dc[1], 1);
  EXPECT_NEAR(F32(dc, 2), 53.5f, 1.0f);
  EXPECT_NEAR(F32(dc, 6), 30.0f, 0.5f);
  EXPECT_EQ(dc[10], 2);  // battery currents
  const auto& dcAlarm = round[7].frame.info;
  EXPECT_EQ(dcAlarm[3], 64);   // fuse count
  EXPECT_EQ(dcAlarm[68], 20);  // status byte count
  const auto& dcParam = round[9].frame.info;
  EXPECT_EQ(dcParam[8], 5);
}

TEST(Simulator, AnswersOnlyItsAddressAndReportsFrameErrors) {
  Simulator s(WithJson(R"({"address":7})"));
  EXPECT_FALSE(Ask(s, 0x40, 0x41, 0, 1).present);
  EXPECT_TRUE(Ask(s, 0x40, 0x41, 0, 7).present);

  std::string cmd = yd1363::Encode(0x21, 7, 0x40, 0x41, nullptr, 0);
  cmd.pop_back();
  struct Row {
    const char* what;
    std::string frame;
    unsigned char rtn;
  };
  std::string badSum = cmd;
  badSum.back() = badSum.back() == '0' ? '1' : '0';
  std::string badLen = cmd;
  badLen[9] = badLen[9] == '0' ? '1' : '0';  // LCHKSUM digit
  std::string unknownData = yd1363::Encode(0x21, 7, 0x40, 0x47, nullptr, 0);
  unknownData.pop_back();
  std::string unknownUnit = yd1363::Encode(0x21, 7, 0x43, 0x41, nullptr, 0);
  unknownUnit.pop_back();
  const Row rows[] = {{"checksum", badSum, sim::kRtnBadChecksum},
                      {"length checksum", badLen, sim::kRtnBadLengthChecksum},
                      {"unknown data code", unknownData, sim::kRtnUnknownCommand},
                      {"unknown unit code", unknownUnit, sim::kRtnUnknownCommand}};
  for (const auto& row : rows) {
    const std::string reply = s.Answer(row.frame, 0);
    ASSERT_FALSE(reply.empty()) << row.what;
    yd1363::Decoded d;
    ASSERT_EQ(yd1363::Decode(reply.data() + 1, reply.size() - 2, d), "") << row.what;
    EXPECT_EQ(d.cid2, row.rtn) << row.what;
    EXPECT_EQ(d.adr, 7) << row.what;
    EXPECT_TRUE(d.info.empty()) << row.what;
  }
}

TEST(Simulator, FramesTooShortToParseGetBadFormatFromItsOwnAddress) {
  Simulator s(WithJson(R"({"address":7})"));
  // Up to "~VVA" the frame carries no whole address; from "~VVAA" on it does.
  for (const char* frame : {"~", "~2", "~21", "~210", "~2107", "~21074", "~2107400", "~21074051000"}) {
    ASSERT_EQ(s.Feed(frame, std::strlen(frame), 0), "") << frame;
    const std::string reply = s.Feed("\r", 1, 0);
    ASSERT_FALSE(reply.empty()) << frame;
    yd1363::Decoded d;
    ASSERT_EQ(yd1363::Decode(reply.data() + 1, reply.size() - 2, d), "") << frame;
    EXPECT_EQ(d.adr, 7) << frame;
    EXPECT_EQ(d.cid2, sim::kRtnBadFormat) << frame;
  }
  EXPECT_EQ(s.Answer("~2101400", 0), "");  // whole address, another's: silence
}

TEST(Simulator, FeedReassemblesFramesAcrossChunksAndSkipsNoise) {
  Simulator s(sim::DefaultScenario());
  const std::string a = yd1363::Encode(0x21, 1, 0x40, 0x51, nullptr, 0);
  const std::string b = yd1363::Encode(0x21, 1, 0x41, 0x41, nullptr, 0);
  const std::string stream = "xx\r" + a + "noise" + b;
  std::string replies;
  for (std::size_t k = 0; k < stream.size(); k += 5) replies += s.Feed(stream.data() + k, std::min<std::size_t>(5, stream.size() - k), 0);
  ASSERT_EQ(std::count(replies.begin(), replies.end(), '\r'), 2);
  EXPECT_EQ(replies.substr(5, 4), "4000");  // model reply: CID1 40, RTN 00
  EXPECT_EQ(replies.substr(replies.find('~', 1) + 5, 4), "4100");
}

TEST(Simulator, RoundsCountStepsBackInThePollingOrder) {
  Simulator s(sim::DefaultScenario());
  Ask(s, 0x40, 0x51);
  EXPECT_EQ(s.Round(), 0);
  Ask(s, 0x40, 0x41);
  Ask(s, 0x40, 0x41);  // repeated after a refused reply: same round
  EXPECT_EQ(s.Round(), 1);
  Ask(s, 0x41, 0x41);
  Ask(s, 0x42, 0x46);
  EXPECT_EQ(s.Round(), 1);
  Ask(s, 0x41, 0x41);  // no AC query in this round: still a new one
  EXPECT_EQ(s.Round(), 2);
}

TEST(Simulator, DataFlagsFollowChangesUntilTheStatusIsReported) {
  Simulator s(WithJson(R"({"ac":[{"switches":2}],"dc":[{}],"events":[{"type":"switch","ac":0,"index":1,"state":1,"round":3}]})"));
  auto r = FullRound(s);
  EXPECT_EQ(r[0].frame.info[0], 0x11);  // nothing reported yet
  EXPECT_EQ(r[3].frame.info[0], 0x11);
  EXPECT_EQ(r[6].frame.info[0], 0x01);
  r = FullRound(s);
  EXPECT_EQ(r[0].frame.info[0], 0x00);
  EXPECT_EQ(r[3].frame.info[0], 0x00);
  EXPECT_EQ(r[6].frame.info[0], 0x00);
  r = FullRound(s);  // round 3: the switch moves
  EXPECT_EQ(r[0].frame.info[0], 0x10);
  EXPECT_EQ(r[1].frame.info[4], 1);  // unit 1: count 2, bytes 0 1
  r = FullRound(s);
  EXPECT_EQ(r[0].frame.info[0], 0x00);
}

TEST(Simulator, MainsFailureDropsInputsRunsOnBatteryAndRecovers) {
  Simulator s(WithJson(R"({"ac":[{"channels":1}],"rectifier":{"modules":2},"dc":[{}],
      "events":[{"type":"mains_failure","round":2,"until_round":4}]})"));
  FullRound(s);
  auto r = FullRound(s);  // round 2: no mains
  const auto& ac = r[0].frame.info;
  EXPECT_EQ(F32(ac, 3), 0.0f);
  EXPECT_EQ(F32(ac, 15), 0.0f);
  EXPECT_EQ(ac[0] & 0x01, 0x01);
  const auto& acAlarm = r[2].frame.info;  // flag, count, m, a b c f
  EXPECT_EQ(std::vector<unsigned char>(acAlarm.begin() + 3, acAlarm.begin() + 7),
            (std::vector<unsigned char>{3, 3, 3, 1}));
  EXPECT_EQ(F32(r[3].frame.info, 6), 0.0f);  // module 1 current
  const auto& dcAlarm = r[7].frame.info;
  const std::size_t status = 2 + 1 + 1 + 64 + 1;
  EXPECT_EQ(dcAlarm[status + 1], 0xF0);
  EXPECT_EQ(dcAlarm[status + 5] & 0x80, 0x80);
  EXPECT_LT(F32(r[6].frame.info, 11), 0.0f);  // batteries discharge
  FullRound(s);
  r = FullRound(s);  // round 4: back
  EXPECT_NEAR(F32(r[0].frame.info, 3), 230.0f, 5.0f);
  EXPECT_EQ(std::vector<unsigned char>(r[2].frame.info.begin() + 3, r[2].frame.info.begin() + 7),
            (std::vector<unsigned char>{0, 0, 0, 0}));
  EXPECT_EQ(r[7].frame.info[status + 1], 0);
}

TEST(Simulator, FuseModuleAndAlarmEventsSetTheirBytes) {
  Simulator s(WithJson(R"({"ac":[{"channels":2}],"rectifier":{"modules":3},"dc":[{"fuses":64}],
      "events":[{"type":"fuse_blown","dc":0,"fuse":3,"second":10},
                {"type":"module_fault","module":2},
                {"type":"module_fault","module":3,"kind":"comm"},
                {"type":"ac_alarm","ac":0,"channel":2,"quantity":"c","state":2},
                {"type":"ac_alarm","ac":0,"quantity":"ib","state":1},
                {"type":"dc_status","byte":3,"value":16}]})"));
  auto r = FullRound(s, 0);
  EXPECT_EQ(r[7].frame.info[4 + 2], 0);  // fuse 3 before its time
  r = FullRound(s, 10);
  EXPECT_EQ(r[7].frame.info[4 + 2], 3);
  EXPECT_EQ(r[7].frame.info[4 + 64 + 1 + 3], 16);
  const auto& rc = r[5].frame.info;  // flag, M, then fault, p, 3 user bytes per module
  EXPECT_EQ(std::vector<unsigned char>(rc.begin() + 2, rc.end()),
            (std::vector<unsigned char>{0, 3, 0, 0, 0, 1, 3, 0, 0, 1, 0, 3, 0, 1, 0}));
  const auto& ac = r[2].frame.info;  // flag, count, m, channel blocks of 7, three current states
  EXPECT_EQ(ac[3 + 7 + 2], 2);
  EXPECT_EQ(std::vector<unsigned char>(ac.end() - 3, ac.end()), (std::vector<unsigned char>{0, 1, 0}));
}

TEST(Simulator, SameSeedRepeatsTheRunAndValuesDriftFromRoundToRound) {
  const char* text = R"({"seed":42,"faults":[{"type":"drop","rate":0.3}]})";
  Simulator a(WithJson(text)), b(WithJson(text)), c(WithJson(R"({"seed":43,"faults":[{"type":"drop","rate":0.3}]})"));
  std::string runA, runB, runC;
  std::set<float> voltages;
  for (int round = 0; round < 10; ++round) {
    for (const auto& r : FullRound(a)) runA += r.text + "|";
    for (const auto& r : FullRound(b)) runB += r.text + "|";
    for (const auto& r : FullRound(c)) runC += r.text + "|";
  }
  EXPECT_EQ(runA, runB);
  EXPECT_NE(runA, runC);
  Simulator d(sim::DefaultScenario());
  for (int round = 0; round < 10; ++round) {
    const auto r = Ask(d, 0x40, 0x41);
    Ask(d, 0x41, 0x41);
    const float v = F32(r.frame.info, 3);
    EXPECT_NEAR(v, 230.0f, 230.0f * 0.0151f);
    voltages.insert(v);
  }
  EXPECT_GE(voltages.size(), 5u);
}

TEST(Simulator, TimedFaultsStrikeTheirCountOfMatchingReplies) {
  struct Row {
    const char* fault;
    // What the first struck reply looks like.
    std::function<void(const Reply&)> check;
  };
  const Row rows[] = {
      {R"({"type":"drop","round":2,"count":2,"command":"40/41"})",
       [](const Reply& r) { EXPECT_FALSE(r.present); }},
      {R"({"type":"bad_checksum","round":2,"count":2,"command":"40/41"})",
       [](const Reply& r) { EXPECT_EQ(r.reason, "bad CHKSUM"); }},
      {R"({"type":"truncate","round":2,"count":2,"command":"40/41"})",
       [](const Reply& r) {
         ASSERT_TRUE(r.present);
         EXPECT_NE(r.reason, "");
         EXPECT_EQ(r.text.back(), '\r');
       }},
      {R"({"type":"wrong_unit","round":2,"count":2,"command":"40/41"})",
       [](const Reply& r) {
         EXPECT_EQ(r.reason, "");
         EXPECT_EQ(r.frame.cid1, 0x41);
       }},
      {R"({"type":"unit_count","round":2,"count":2,"delta":1,"command":"40/41"})",
       [](const Reply& r) {
         EXPECT_EQ(r.reason, "");
         EXPECT_EQ(r.frame.cid1, 0x40);
         EXPECT_EQ(r.frame.info.at(1), 3);
       }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.fault);
    Simulator s(WithJson((std::string(R"({"faults":[)") + row.fault + "]}").c_str()));
    const Reply first = Ask(s, 0x40, 0x41);  // round 1: untouched
    EXPECT_EQ(first.reason, "");
    EXPECT_EQ(first.frame.info.at(1), 2);
    Ask(s, 0x41, 0x41);
    Ask(s, 0x42, 0x46);
    row.check(Ask(s, 0x40, 0x41));  // round 2: struck twice
    row.check(Ask(s, 0x40, 0x41));
    const Reply after = Ask(s, 0x40, 0x41);
    EXPECT_EQ(after.reason, "");
    EXPECT_EQ(after.frame.cid1, 0x40);
    EXPECT_EQ(after.frame.info.at(1), 2);
    EXPECT_EQ(s.stats().faults, 2u);
  }
}

TEST(Simulator, UnitCountFaultLeavesRepliesWithoutACountAlone) {
  Simulator s(WithJson(R"({"faults":[{"type":"unit_count","rate":1.0}]})"));
  const Reply rc = Ask(s, 0x41, 0x41);
  EXPECT_EQ(rc.frame.info.at(5), 3);  // module count untouched
  EXPECT_EQ(Ask(s, 0x42, 0x44).frame.info.at(1), 2);
  EXPECT_EQ(Ask(s, 0x40, 0x43).frame.info.at(1), 3);
}

TEST(Simulator, RateFaultsStrikeAboutTheirShare) {
  Simulator s(WithJson(R"({"seed":5,"faults":[{"type":"drop","rate":0.25,"until_round":1000}]})"));
  int dropped = 0;
  for (int k = 0; k < 400; ++k) dropped += Ask(s, 0x41, 0x41).present ? 0 : 1;
  EXPECT_GT(dropped, 60);
  EXPECT_LT(dropped, 140);
}

// Runs `io` until `done` holds or two seconds have passed; returns done().
bool RunUntil(boost::asio::io_context& io, const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!done() && std::chrono::steady_clock::now() < deadline) io.run_one_for(std::chrono::milliseconds(20));
  return done();
}

TEST(Listener, ServesOneClientAtATimeAndClosesASecondAtOnce) {
  namespace asio = boost::asio;
  using tcp = asio::ip::tcp;
  asio::io_context io;
  sim::Bus s(sim::DefaultScenario());
  std::vector<std::string> log;
  sim::Listener listener(io, {asio::ip::make_address("127.0.0.1"), 0}, s, std::chrono::steady_clock::now(),
                         [&](const std::string& line) { log.push_back(line); });
  listener.Start();
  const auto logged = [&](const std::string& text) {
    return std::any_of(log.begin(), log.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; });
  };
  // The model query on `c`; returns the reply's CID1 and RTN, or "" for none.
  const auto ask = [&](tcp::socket& c) {
    const std::string cmd = yd1363::Encode(0x21, 1, 0x40, 0x51, nullptr, 0);
    asio::write(c, asio::buffer(cmd));
    std::string reply;
    bool got = false;
    asio::async_read_until(c, asio::dynamic_buffer(reply), '\r',
                           [&](const boost::system::error_code& ec, std::size_t) { got = !ec; });
    return RunUntil(io, [&] { return got; }) ? reply.substr(5, 4) : std::string();
  };

  tcp::socket first(io);
  first.connect(listener.local());
  ASSERT_TRUE(RunUntil(io, [&] { return logged("connected"); }));
  tcp::socket second(io);
  second.connect(listener.local());
  const std::string refusal =
      "second client 127.0.0.1:" + std::to_string(second.local_endpoint().port()) + " refused: one client at a time";
  std::array<char, 16> buf{};
  boost::system::error_code secondEnd;
  bool ended = false;
  second.async_read_some(asio::buffer(buf), [&](const boost::system::error_code& ec, std::size_t) {
    ended = true;
    secondEnd = ec;
  });
  ASSERT_TRUE(RunUntil(io, [&] { return ended; }));
  EXPECT_EQ(secondEnd, asio::error::eof);
  EXPECT_TRUE(logged(refusal));
  EXPECT_EQ(ask(first), "4000");  // the first client is still served

  first.close();
  ASSERT_TRUE(RunUntil(io, [&] { return logged("client gone"); }));
  tcp::socket third(io);
  third.connect(listener.local());
  EXPECT_EQ(ask(third), "4000");
}

TEST(Scenario, RefusesWhatItCannotUseAndNamesTheMember) {
  struct Row {
    const char* json;
    const char* message;
  };
  const Row rows[] = {
      {R"({"colour":1})", "colour: unknown member"},
      {R"({"model":"ELEVENCHARS"})", "model: must be at most 10 bytes"},
      {R"({"ac":[{"channels":9}]})", "ac[0].channels: must be a whole number from 0 to 8"},
      {R"({"version":[1]})", "version: must be two whole numbers"},
      {R"({"events":[{"type":"flood"}]})", "events[0].type: unknown event type \"flood\""},
      {R"({"dc":[{"fuses":4}],"events":[{"type":"fuse_blown","fuse":5}]})", "events[0].fuse: must be a whole number from 1 to 4"},
      {R"({"events":[{"type":"module_fault","kind":"smoke"}]})", "events[0].kind"},
      {R"({"faults":[{"type":"drop"}]})", "faults[0]: a fault needs a \"rate\", \"every\" or a time"},
      {R"({"faults":[{"type":"drop","rate":2}]})", "faults[0].rate: must be a number from 0 to 1"},
      {R"({"faults":[{"type":"drop","rate":0.1,"command":"4041"}]})", "faults[0].command"},
      {R"({"faults":[{"type":"drop","round":1,"second":2}]})", "not both"},
      {R"([1,2])", "scenario: must be an object"},
  };
  for (const auto& row : rows) {
    try {
      WithJson(row.json);
      ADD_FAILURE() << "accepted " << row.json;
    } catch (const sim::ScenarioError& e) {
      EXPECT_NE(std::string(e.what()).find(row.message), std::string::npos) << e.what();
    }
  }
}

TEST(Scenario, FileErrorsNameTheFile) {
  EXPECT_THROW(sim::LoadScenario("/nonexistent/scenario.json"), sim::ScenarioError);
  const std::string path = ::testing::TempDir() + "bad-scenario.json";
  FILE* f = std::fopen(path.c_str(), "w");
  std::fputs("{\"ac\": [", f);
  std::fclose(f);
  try {
    sim::LoadScenario(path);
    ADD_FAILURE() << "accepted broken JSON";
  } catch (const sim::ScenarioError& e) {
    EXPECT_NE(std::string(e.what()).find("not valid JSON"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find(path), std::string::npos);
  }
}

TEST(Scenario, ExampleScenariosLoad) {
  for (const char* name : {"normal", "mains-failure", "line-faults", "unsupported-model"}) {
    const std::string path = std::string(QPR_SOURCE_DIR_FOR_TESTS) + "/examples/scenarios/" + name + ".json";
    EXPECT_NO_THROW(sim::LoadScenario(path)) << path;
  }
  for (const char* name : {"three-systems", "eight-systems"}) {
    const std::string path = std::string(QPR_SOURCE_DIR_FOR_TESTS) + "/examples/scenarios/" + name + ".json";
    EXPECT_NO_THROW(sim::LoadBusScenario(path)) << path;
  }
}

}  // namespace
