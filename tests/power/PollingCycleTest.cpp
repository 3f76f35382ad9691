// The port device's polling cycle over fake units: the commands of each round
// for every path through the step table, refused replies and their repeats,
// the model check and the decoders each reply reaches.
#include <gtest/gtest.h>

#include <algorithm>

#include "tests/power/PortFixture.h"

namespace power_test {
namespace {

using Cmds = std::vector<Cmd>;
const Cmd kAcAnalog = C(0x40, 0x41, kGroup), kAcSwitch = C(0x40, 0x43, kGroup),
          kAcAlarm = C(0x40, 0x44, kGroup), kRcAnalog = C(0x41, 0x41), kRcSwitch = C(0x41, 0x43),
          kRcAlarm = C(0x41, 0x44), kDcAnalog = C(0x42, 0x41, kGroup),
          kDcAlarm = C(0x42, 0x44, kGroup), kAcParam = C(0x40, 0x46), kDcParam = C(0x42, 0x46),
          kModel = C(0x40, 0x51);

// ------------------------------------------------------------ whole rounds

struct RoundRow {
  const char* name;
  unsigned nAC, nDC;  // units configured
  bool rc;            // rectifier configured
  bool ready;         // the port device's dataReady_
  unsigned char acFlag, rcFlag, dcFlag;  // data flags of the analog replies
  Cmds round;         // commands of one round, in order
};

const RoundRow kRounds[] = {
    {"NotReadyAsksEverything", 2, 2, true, false, 0, 0, 0,
     {kAcAnalog, kAcSwitch, kAcAlarm, kRcAnalog, kRcSwitch, kRcAlarm, kDcAnalog, kDcAlarm, kAcParam, kDcParam}},
    {"ReadyFlagsClear", 2, 2, true, true, 0, 0, 0, {kAcAnalog, kRcAnalog, kDcAnalog, kAcParam, kDcParam}},
    {"AcSwitchFlag", 1, 1, true, true, 0x10, 0, 0, {kAcAnalog, kAcSwitch, kRcAnalog, kDcAnalog, kAcParam, kDcParam}},
    {"AcBothFlags", 1, 1, true, true, 0x11, 0, 0,
     {kAcAnalog, kAcSwitch, kAcAlarm, kRcAnalog, kDcAnalog, kAcParam, kDcParam}},
    {"AcAlarmFlag", 1, 1, true, true, 0x01, 0, 0, {kAcAnalog, kAcAlarm, kRcAnalog, kDcAnalog, kAcParam, kDcParam}},
    {"RcSwitchFlag", 1, 1, true, true, 0, 0x10, 0, {kAcAnalog, kRcAnalog, kRcSwitch, kDcAnalog, kAcParam, kDcParam}},
    {"RcBothFlags", 1, 1, true, true, 0, 0x11, 0,
     {kAcAnalog, kRcAnalog, kRcSwitch, kRcAlarm, kDcAnalog, kAcParam, kDcParam}},
    {"RcAlarmFlag", 1, 1, true, true, 0, 0x01, 0, {kAcAnalog, kRcAnalog, kRcAlarm, kDcAnalog, kAcParam, kDcParam}},
    {"DcSwitchFlag", 1, 1, true, true, 0, 0, 0x10, {kAcAnalog, kRcAnalog, kDcAnalog, kDcAlarm, kAcParam, kDcParam}},
    {"DcAlarmFlag", 1, 1, true, true, 0, 0, 0x01, {kAcAnalog, kRcAnalog, kDcAnalog, kDcAlarm, kAcParam, kDcParam}},
    {"DcOtherBitsIgnored", 1, 1, true, true, 0xEE, 0xEE, 0xEE, {kAcAnalog, kRcAnalog, kDcAnalog, kAcParam, kDcParam}},
    {"NoAcNotReady", 0, 1, true, false, 0, 0, 0, {kRcAnalog, kRcSwitch, kRcAlarm, kDcAnalog, kDcAlarm, kDcParam}},
    {"NoAcReady", 0, 2, true, true, 0, 0, 0, {kRcAnalog, kDcAnalog, kDcParam}},
    {"NoDcNotReady", 2, 0, true, false, 0, 0, 0, {kAcAnalog, kAcSwitch, kAcAlarm, kRcAnalog, kRcSwitch, kRcAlarm}},
    {"NoDcReady", 1, 0, true, true, 0, 0, 0, {kAcAnalog, kRcAnalog}},
    {"NoDcAfterRcSwitch", 1, 0, true, true, 0, 0x10, 0, {kAcAnalog, kRcAnalog, kRcSwitch}},
    {"RectifierOnly", 0, 0, true, false, 0, 0, 0, {kRcAnalog, kRcSwitch, kRcAlarm}},
    {"NoRcNotReady", 1, 1, false, false, 0, 0, 0, {kAcAnalog, kAcSwitch, kAcAlarm, kDcAnalog, kDcAlarm}},
    {"NoRcReady", 1, 1, false, true, 0, 0, 0, {kAcAnalog, kDcAnalog}},
    {"NoRcNoAc", 0, 2, false, false, 0, 0, 0, {kDcAnalog, kDcAlarm}},
    {"AcOnly", 2, 0, false, false, 0, 0, 0, {kAcAnalog, kAcSwitch, kAcAlarm}},
    {"FourDcSectionsFromCountByte", 1, 4, true, true, 0, 0, 0, {kAcAnalog, kRcAnalog, kDcAnalog, kAcParam, kDcParam}},
};

// The decoder calls a reply to `cmd` must make, as "id:decoder".
std::vector<std::string> ExpectedDecoders(const Cmd& cmd, unsigned nAC, unsigned nDC) {
  auto each = [](unsigned first, unsigned n, const char* what) {
    std::vector<std::string> v;
    for (unsigned k = 0; k < n; ++k) v.push_back(std::to_string(first + k) + ":" + what);
    return v;
  };
  const std::string rc = std::to_string(PortTest::kPortId) + ":";
  switch (cmd.unit << 8 | cmd.data) {
    case 0x4041: return each(11, nAC, "parse40_41");
    case 0x4043: return each(11, nAC, "parse40_43");
    case 0x4044: return each(11, nAC, "parse40_44");
    case 0x4241: return each(21, nDC, "parse42_41");
    case 0x4244: return each(21, nDC, "parse42_44");
    case 0x4141: return {rc + "parse41_41"};
    case 0x4143: return {rc + "parse41_43"};
    case 0x4144: return {rc + "parse41_44"};
    case 0x4046: return {rc + "parse40_46"};
    case 0x4246: return {rc + "parse42_46"};
  }
  return {};
}

void PrintTo(const RoundRow& row, std::ostream* os) { *os << row.name; }

class RoundTest : public PortTest, public ::testing::WithParamInterface<RoundRow> {};

TEST_P(RoundTest, SendsTheRoundAndEndsItOnEveryUnit) {
  const RoundRow& row = GetParam();
  ASSERT_EQ(Configure(row.nAC, row.nDC, row.rc), row.rc);
  port->dataReady_ = row.ready;
  acFlag = row.acFlag, rcFlag = row.rcFlag, dcFlag = row.dcFlag;
  PassModel();

  std::vector<std::string> rounds;
  for (unsigned k = 0; k < row.nAC; ++k) rounds.push_back(std::to_string(11 + k));
  for (unsigned k = 0; k < row.nDC; ++k) rounds.push_back(std::to_string(21 + k));
  if (row.rc) rounds.push_back(std::to_string(kPortId));

  for (int pass = 0; pass < 2; ++pass) {
    SCOPED_TRACE(pass);
    journal.calls.clear();
    const std::size_t resultsBefore = port->results.size();
    const std::vector<Cmd> sent = RunRound();
    EXPECT_EQ(sent, row.round);
    for (const Cmd& c : sent) EXPECT_EQ(c.ver, 0x21) << c;
    EXPECT_EQ(port->step_, 0);
    EXPECT_FALSE(port->IsProcessing());
    EXPECT_TRUE(ctl->logs.empty()) << ctl->logs.front().line;
    // One reply per command, all but the last answered with 1.
    std::vector<int> results(port->results.begin() + static_cast<long>(resultsBefore), port->results.end());
    std::vector<int> want(row.round.size(), 1);
    want.back() = 0;
    EXPECT_EQ(results, want);
    // Every unit's round ends once, AC units first, then DC units, then the rectifier.
    EXPECT_EQ(journal.Rounds(), rounds);
    // Each reply went to the decoders that own it, in configuration order.
    std::vector<std::string> wantDecoded, decoded;
    for (const Cmd& c : sent)
      for (auto& d : ExpectedDecoders(c, row.nAC, row.nDC)) wantDecoded.push_back(d);
    for (const std::string& d : journal.Decoded()) decoded.push_back(d.substr(0, d.find('@')));
    EXPECT_EQ(decoded, wantDecoded);
  }
  // The model was asked once, before the first round only.
  EXPECT_EQ(std::count(ctl->sent.begin(), ctl->sent.end(), ctl->sent.front()), 1);
}

INSTANTIATE_TEST_SUITE_P(Rounds, RoundTest, ::testing::ValuesIn(kRounds),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortTest, GroupSectionsFollowOneAnother) {
  ASSERT_TRUE(Configure(2, 4, true));
  port->dataReady_ = true;
  PassModel();
  RunRound();
  const std::vector<std::string> want = {
      "11:parse40_41@2/6", "12:parse40_41@5/3",  // after the flag and count bytes
      "100:parse41_41@0/3",                      // the whole field, data flag included
      // four DC units: the first section starts at the count byte
      "21:parse42_41@1/13", "22:parse42_41@5/9", "23:parse42_41@8/6", "24:parse42_41@11/3",
      "100:parse40_46@0/3", "100:parse42_46@0/3"};
  EXPECT_EQ(journal.Decoded(), want);
}

TEST_F(PortTest, DcSectionsStartAfterTheCountByteForUpToThreeUnits) {
  ASSERT_TRUE(Configure(0, 3, true));
  port->dataReady_ = true;
  PassModel();
  journal.calls.clear();
  EXPECT_EQ(RunRound(), (Cmds{kRcAnalog, kDcAnalog, kDcParam}));
  EXPECT_EQ(journal.Decoded(),
            (std::vector<std::string>{"100:parse41_41@0/3", "21:parse42_41@2/9", "22:parse42_41@5/6",
                                      "23:parse42_41@8/3", "100:parse42_46@0/3"}));
}

TEST_F(PortTest, DcCommandsCarryNoGroupByteBeforeVersion21) {
  ASSERT_TRUE(Configure(1, 1, true));
  port->dataReady_ = true;
  dcFlag = 0x01;
  PassModel();
  RunRound();
  port->version_ = 0x20;
  const std::vector<Cmd> sent = RunRound();
  for (const Cmd& c : sent) EXPECT_EQ(c.ver, 0x20) << c;
  // Only the DC commands depend on the version; the AC group command keeps its byte.
  EXPECT_EQ(sent, (Cmds{kAcAnalog, kRcAnalog, C(0x42, 0x41), C(0x42, 0x44), kAcParam, kDcParam}));
}

// ------------------------------------------------------------ pacing and the model query

TEST_F(PortTest, FirstRefreshAsksForTheModelEvenRightAfterAnUpdate) {
  ASSERT_TRUE(Configure(1, 1, true));
  port->lastUpdate_ = host_clock::LocalSecondClock();
  port->pollState_ = 7;
  EXPECT_EQ(port->RefreshStatus(), 1);
  EXPECT_EQ(SentFrom(0), (Cmds{kModel}));
  EXPECT_EQ(port->step_, power::kStepModel);
  EXPECT_EQ(port->pollState_, 7);
  // While the query awaits its reply the base says no.
  EXPECT_EQ(port->RefreshStatus(), 0);
  EXPECT_EQ(ctl->sent.size(), 1u);
}

TEST_F(PortTest, DeclinesToPollWithinTwoSecondsOfTheLastUpdate) {
  ASSERT_TRUE(Configure(1, 1, true));
  PassModel();
  RunRound();
  struct { long lastUpdateAgo; int result; } cases[] = {{0, 0}, {1, 0}, {-5, 0}, {2, 1}, {60, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lastUpdateAgo);
    port->lastUpdate_ = host_clock::LocalSecondClock() - boost::posix_time::seconds(c.lastUpdateAgo);
    port->pollState_ = 5;
    const std::size_t before = ctl->sent.size();
    EXPECT_EQ(port->RefreshStatus(), c.result);
    EXPECT_EQ(port->pollState_, c.result ? 5 : 0);
    EXPECT_EQ(ctl->sent.size(), before + (c.result ? 1 : 0));
    if (c.result) {
      EXPECT_EQ(Last(), kAcAnalog);
      port->Reset();
    }
  }
}

struct ModelRow {
  const char* name;
  Bytes field;        // info field of the model reply
  std::string model;  // deviceModel_ afterwards
  bool alarm;         // "device_model" raised
};

Bytes Padded(std::string s, std::size_t n, char pad) {
  s.resize(n, pad);
  return Bytes(s.begin(), s.end());
}

const ModelRow kModels[] = {
    {"ZeroPadded", Padded("QPR-21K", 20, '\0'), "QPR-21K", false},
    {"SpacePadded", Padded("QPR-24KV", 20, ' '), "QPR-24KV", false},
    {"ShortReplyTakesWhatIsThere", Padded("QPR-36KM", 8, ' '), "QPR-36KM", false},
    {"LongerFieldCutAtTwenty", Padded("QPR-21K", 24, 'X'), "QPR-21K" + std::string(13, 'X'), true},
    {"Unsupported", Padded("QPR-99X", 20, '\0'), "QPR-99X", true},
    {"PrefixOfSupportedIsNotSupported", Padded("QPR-24K", 20, '\0'), "QPR-24K", true},
    {"EmptyReply", Bytes{}, "", true},
};

void PrintTo(const ModelRow& row, std::ostream* os) { *os << row.name; }

class ModelTest : public PortTest, public ::testing::WithParamInterface<ModelRow> {};

TEST_P(ModelTest, ModelIsTheFieldUpToZeroOrSpace) {
  const ModelRow& row = GetParam();
  ASSERT_TRUE(Configure(1, 0, true));
  ASSERT_EQ(port->RefreshStatus(), 1);
  EXPECT_EQ(Reply(0x40, row.field), 1);
  EXPECT_EQ(port->deviceModel_, row.model);
  EXPECT_FALSE(port->detectPending_);
  ASSERT_EQ(ctl->alarms.size(), row.alarm ? 1u : 0u);
  if (row.alarm) {
    const auto& a = ctl->alarms[0];
    EXPECT_EQ(a.dataId, kPortId);
    EXPECT_EQ(a.level, 3);
    EXPECT_EQ(a.key, "device_model");
    EXPECT_EQ(a.code, "70319");
    EXPECT_EQ(a.name, "设备配置检测");
    EXPECT_EQ(a.text, "本驱动类型:qpr2427k 检测型号:" + row.model);
    EXPECT_TRUE(a.active);
    EXPECT_EQ(a.slot, 0);
  }
  // Polling goes on as for a supported model, and the model is never asked again.
  EXPECT_EQ(Last(), kAcAnalog);
  RunRound();
  RunRound();
  EXPECT_EQ(ctl->alarms.size(), row.alarm ? 1u : 0u);
  std::size_t modelQueries = 0;
  for (const Cmd& c : SentFrom(0)) modelQueries += c == kModel;
  EXPECT_EQ(modelQueries, 1u);
}

INSTANTIATE_TEST_SUITE_P(Models, ModelTest, ::testing::ValuesIn(kModels),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortTest, ModelReplyWithWrongUnitCodeIsAskedAgain) {
  ASSERT_TRUE(Configure(1, 1, true));
  ASSERT_EQ(port->RefreshStatus(), 1);
  EXPECT_EQ(Reply(0x41, Padded("QPR-21K", 20, '\0')), 1);
  EXPECT_TRUE(port->detectPending_);
  EXPECT_EQ(port->step_, power::kStepModel);
  EXPECT_EQ(ctl->sent.size(), 1u);
  // Also within two seconds of an update: the query is still pending.
  port->lastUpdate_ = host_clock::LocalSecondClock();
  EXPECT_EQ(port->RefreshStatus(), 1);
  EXPECT_EQ(SentFrom(0), (Cmds{kModel, kModel}));
  EXPECT_EQ(Reply(0x40, Padded("QPR-21K", 20, '\0')), 1);
  EXPECT_FALSE(port->detectPending_);
  EXPECT_EQ(Last(), kAcAnalog);
}

TEST_F(PortTest, ModelReplyStartsWithTheRectifierWithoutAcUnits) {
  ASSERT_TRUE(Configure(0, 1, true));
  PassModel();
  EXPECT_EQ(Last(), kRcAnalog);
  EXPECT_EQ(port->step_, power::kStepRcAnalog);
}

TEST_F(PortTest, WithoutAnyUnitTheCycleOnlyAsksForTheModel) {
  EXPECT_FALSE(Configure(0, 0, false));
  ASSERT_EQ(port->RefreshStatus(), 1);
  EXPECT_EQ(Reply(0x40, Padded("QPR-21K", 20, '\0')), 0);  // nothing to poll: the round ends at once
  EXPECT_EQ(port->RefreshStatus(), 0);
  EXPECT_EQ(SentFrom(0), (Cmds{kModel}));
  EXPECT_TRUE(journal.Rounds().empty());
}

// ------------------------------------------------------------ refused and faulty replies

struct Script {
  unsigned id;
  const char* decoder;
  int result;
};

struct FailureRow {
  const char* name;
  int step;                          // step the reply arrives in
  unsigned char unit;                // unit code of the reply
  Bytes info;                        // its info field (2 AC units 11, 12; 2 DC units 21, 22)
  std::vector<Script> script;        // decoder results forced for this reply
  int result;                        // process_payload()
  const char* log;                   // format logged, or nullptr
  std::vector<std::string> logArgs;  // its arguments as text
  std::vector<std::string> decoded;  // decoder calls made, "id:decoder@offset/length"
  int stepAfter;                     // step_ afterwards
  bool sentAtOnce;                   // process_payload() sent the next command itself
  Cmd next;                          // the command sent next, at once or by the next RefreshStatus()
};

const char* const kAcCount = "PMBusPower:ProcotolError {} read ac_number is {}, configured ac_number is {}";
const char* const kDcCount = "PMBusPower:ProcotolError {} read dc_number is {}, configured dc_number is {}";

const FailureRow kFailures[] = {
    // step 0: AC analog values
    {"AcAnalogWrongUnit", 0, 0x42, {0, 2, 3, 1, 1, 3, 2, 2}, {}, 0, nullptr, {}, {}, 0, false, kAcAnalog},
    {"AcAnalogCountDiffers", 0, 0x40, {0, 3, 3, 1, 1, 3, 2, 2}, {}, 0, kAcCount, {"100", "3", "2"}, {}, 0, false, kAcAnalog},
    {"AcAnalogTooShortForCount", 0, 0x40, {0x10}, {}, 0, nullptr, {}, {}, 0, false, kAcAnalog},
    {"AcAnalogEmpty", 0, 0x40, {}, {}, 0, nullptr, {}, {}, 0, false, kAcAnalog},
    {"AcAnalogUnitRefuses", 0, 0x40, {0, 2, 0xEE, 1, 1, 3, 2, 2}, {}, 1, nullptr, {}, {"11:parse40_41@2/6"}, 0, false, kAcAnalog},
    {"AcAnalogSecondUnitRefuses", 0, 0x40, {0, 2, 3, 1, 1, 0xEE, 2, 2}, {}, 1, nullptr, {},
     {"11:parse40_41@2/6", "12:parse40_41@5/3"}, 0, false, kAcAnalog},
    {"AcAnalogShorterThanReply", 0, 0x40, {0, 2, 3, 1, 1, 3, 2, 2, 9}, {}, 1,
     "PMBusPower:ProcotolError {} parse 40_41 overflow memory boundary", {"100"},
     {"11:parse40_41@2/7", "12:parse40_41@5/4"}, 0, false, kAcAnalog},
    {"AcAnalogUnitClaimsPastEnd", 0, 0x40, {0, 2, 9, 1, 1, 3, 2, 2}, {}, 1,
     "PMBusPower:ProcotolError {} parse 40_41 overflow memory boundary", {"100"}, {"11:parse40_41@2/6"}, 0, false, kAcAnalog},
    {"AcAnalogHugeClaim", 0, 0x40, {0, 2, 3, 1, 1, 3, 2, 2}, {{12, "parse40_41", 0x7FFFFFFF}}, 1,
     "PMBusPower:ProcotolError {} parse 40_41 overflow memory boundary", {"100"},
     {"11:parse40_41@2/6", "12:parse40_41@5/3"}, 0, false, kAcAnalog},
    // step 1: AC switch status
    {"AcSwitchWrongUnit", 1, 0x41, {0, 2, 3, 1, 1, 3, 2, 2}, {}, 1, nullptr, {}, {}, 1, false, kAcSwitch},
    {"AcSwitchLengthDiffers", 1, 0x40, {0, 2, 3, 1, 1, 2, 2, 2}, {}, 1,
     "PMBusPower:ProcotolError {} parse 40_43 overflow memory boundary", {"100"},
     {"11:parse40_43@2/6", "12:parse40_43@5/3"}, 1, false, kAcSwitch},
    {"AcSwitchUnitRefuses", 1, 0x40, {0, 2, 3, 1, 1, 3, 2, 2}, {{11, "parse40_43", -1}}, 1, nullptr, {},
     {"11:parse40_43@2/6"}, 1, false, kAcSwitch},
    {"AcSwitchFlagAndCountOnly", 1, 0x40, {0, 2}, {}, 1, nullptr, {}, {}, 2, true, kAcAlarm},
    {"AcSwitchEmpty", 1, 0x40, {}, {}, 1, nullptr, {}, {}, 2, true, kAcAlarm},
    // step 2: AC alarm status
    {"AcAlarmWrongUnit", 2, 0x42, {0, 2, 3, 1, 1, 3, 2, 2}, {}, 1, nullptr, {}, {}, 2, false, kAcAlarm},
    {"AcAlarmLengthDiffersQuietly", 2, 0x40, {0, 2, 3, 1, 1, 4, 2, 2}, {}, 1, nullptr, {},
     {"11:parse40_44@2/6", "12:parse40_44@5/3"}, 2, false, kAcAlarm},
    {"AcAlarmTooShort", 2, 0x40, {0}, {}, 1, nullptr, {}, {}, 2, false, kAcAlarm},
    // steps 4-6: rectifier
    {"RcAnalogWrongUnit", 4, 0x40, {0, 1, 2}, {}, 1, nullptr, {}, {}, 4, false, kRcAnalog},
    {"RcAnalogEmpty", 4, 0x41, {}, {}, 1, nullptr, {}, {}, 4, false, kRcAnalog},
    {"RcAnalogShort", 4, 0x41, {0, 1, 2}, {{100, "parse41_41", 2}}, 1,
     "PMBusPower:ProcotolError {} parse p41_41 overflow memory boundary", {"100"}, {"100:parse41_41@0/3"}, 4, false, kRcAnalog},
    {"RcAnalogRefused", 4, 0x41, {0, 1, 2}, {{100, "parse41_41", -1}}, 1,
     "PMBusPower:ProcotolError {} parse p41_41 overflow memory boundary", {"100"}, {"100:parse41_41@0/3"}, 4, false, kRcAnalog},
    {"RcSwitchWrongUnit", 5, 0x42, {0, 1}, {}, 1, nullptr, {}, {}, 5, false, kRcSwitch},
    {"RcSwitchLong", 5, 0x41, {0, 1}, {{100, "parse41_43", 3}}, 1,
     "PMBusPower:ProcotolError {} parse p41_43 overflow memory boundary", {"100"}, {"100:parse41_43@0/2"}, 5, false, kRcSwitch},
    {"RcAlarmWrongUnit", 6, 0x40, {0, 1}, {}, 1, nullptr, {}, {}, 6, false, kRcAlarm},
    {"RcAlarmRefused", 6, 0x41, {0, 1}, {{100, "parse41_44", -1}}, 1,
     "PMBusPower:ProcotolError {} parse p41_44 overflow memory boundary", {"100"}, {"100:parse41_44@0/2"}, 6, false, kRcAlarm},
    // step 7: DC analog values
    {"DcAnalogWrongUnit", 7, 0x40, {0, 2, 3, 1, 1, 3, 2, 2}, {}, 1, nullptr, {}, {}, 7, false, kDcAnalog},
    {"DcAnalogCountDiffers", 7, 0x42, {0, 1, 3, 1, 1}, {}, 1, kDcCount, {"100", "1", "2"}, {}, 7, false, kDcAnalog},
    {"DcAnalogTooShortForCount", 7, 0x42, {0}, {}, 1, nullptr, {}, {}, 7, false, kDcAnalog},
    {"DcAnalogUnitRefuses", 7, 0x42, {0, 2, 3, 1, 1, 0xEE, 2, 2}, {}, 1, nullptr, {},
     {"21:parse42_41@2/6", "22:parse42_41@5/3"}, 7, false, kDcAnalog},
    {"DcAnalogUnitClaimsPastEnd", 7, 0x42, {0, 2, 7, 1, 1, 3, 2, 2}, {}, 1,
     "PMBusPower:ProcotolError {} parse 42_41 overflow memory boundary", {"100"}, {"21:parse42_41@2/6"}, 8, true, kDcAlarm},
    {"DcAnalogShorterThanReplyAccepted", 7, 0x42, {0, 2, 3, 1, 1, 3, 2, 2, 9, 9}, {}, 1, nullptr, {},
     {"21:parse42_41@2/8", "22:parse42_41@5/5"}, 8, true, kDcAlarm},
    // step 8: DC alarm status
    {"DcAlarmWrongUnit", 8, 0x41, {0, 2, 3, 1, 1, 3, 2, 2}, {}, 1, nullptr, {}, {}, 8, false, kDcAlarm},
    {"DcAlarmCountDiffers", 8, 0x42, {0, 3, 3, 1, 1, 3, 2, 2}, {}, 1, kDcCount, {"100", "3", "2"}, {}, 8, false, kDcAlarm},
    {"DcAlarmUnitRefuses", 8, 0x42, {0, 2, 3, 1, 1, 3, 2, 2}, {{21, "parse42_44", -1}}, 1, nullptr, {},
     {"21:parse42_44@2/6"}, 8, false, kDcAlarm},
    {"DcAlarmSecondClaimsPastEnd", 8, 0x42, {0, 2, 3, 1, 1, 4, 2, 2}, {}, 1,
     "PMBusPower:ProcotolError {} parse 42_44 overflow memory boundary", {"100"},
     {"21:parse42_44@2/6", "22:parse42_44@5/3"}, 3, true, kAcParam},
    // steps 3 and 9: parameters
    {"AcParamWrongUnit", 3, 0x42, {1, 2, 3}, {}, 1, nullptr, {}, {}, 3, false, kAcParam},
    {"AcParamRefusedIsAskedAgain", 3, 0x40, {1, 2, 3}, {{100, "parse40_46", -1}}, 1, nullptr, {},
     {"100:parse40_46@0/3"}, 3, false, kAcParam},
    {"AcParamLongerGoesOn", 3, 0x40, {1, 2, 3}, {{100, "parse40_46", 4}}, 1,
     "PMBusPower:ProcotolError {} parse 40_46 overflow memory boundary", {"100"}, {"100:parse40_46@0/3"}, 9, true, kDcParam},
    {"DcParamWrongUnit", 9, 0x40, {1, 2, 3}, {}, 1, nullptr, {}, {}, 9, false, kDcParam},
    {"DcParamRefusedIsAskedAgain", 9, 0x42, {1, 2, 3}, {{100, "parse42_46", -1}}, 1, nullptr, {},
     {"100:parse42_46@0/3"}, 9, false, kDcParam},
};

void PrintTo(const FailureRow& row, std::ostream* os) { *os << row.name; }

class FailureTest : public PortTest, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(FailureTest, ReplyIsHandledAsItsStepRequires) {
  const FailureRow& row = GetParam();
  ASSERT_TRUE(Configure(2, 2, true));
  PassModel();
  AdvanceTo(row.step);
  journal.calls.clear();
  ctl->Clear();
  for (const Script& s : row.script) journal.Script(s.id, s.decoder, s.result);

  EXPECT_EQ(Reply(row.unit, row.info), row.result);
  EXPECT_EQ(journal.Decoded(), row.decoded);
  EXPECT_TRUE(journal.Rounds().empty());
  EXPECT_EQ(port->step_, row.stepAfter);
  if (row.log) {
    ASSERT_EQ(ctl->logs.size(), 1u);
    EXPECT_EQ(ctl->logs[0].format, row.log);
    EXPECT_EQ(ctl->logs[0].args, row.logArgs);
    EXPECT_EQ(ctl->logs[0].dataId, kPortId);
  } else {
    EXPECT_TRUE(ctl->logs.empty()) << ctl->logs.front().line;
  }
  if (row.sentAtOnce) {
    EXPECT_EQ(SentFrom(0), (Cmds{row.next}));
    EXPECT_TRUE(port->IsProcessing());
    return;
  }
  EXPECT_TRUE(ctl->sent.empty());
  EXPECT_FALSE(port->IsProcessing());
  // The next poll repeats the step (a refused first reply starts the round over).
  EXPECT_EQ(port->RefreshStatus(), 1);
  EXPECT_EQ(SentFrom(0), (Cmds{row.next}));
  EXPECT_EQ(port->step_, row.step);
  // ...and a good reply then carries the cycle on to the end of the round.
  for (int k = 0; k < 16 && GoodReply() == 1; ++k) {}
  EXPECT_EQ(port->step_, 0);
  EXPECT_EQ(journal.Rounds(), (std::vector<std::string>{"11", "12", "21", "22", "100"}));
}

INSTANTIATE_TEST_SUITE_P(Failures, FailureTest, ::testing::ValuesIn(kFailures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortTest, DcParamLongerIsLoggedAndTheRoundEnds) {
  ASSERT_TRUE(Configure(1, 1, true));
  PassModel();
  AdvanceTo(power::kStepDcParam);
  ctl->Clear();
  journal.calls.clear();
  journal.Script(kPortId, "parse42_46", 5);
  EXPECT_EQ(Reply(0x42, {1, 2, 3}), 0);
  ASSERT_EQ(ctl->logs.size(), 1u);
  EXPECT_EQ(ctl->logs[0].args.at(0), "100");
  EXPECT_EQ(ctl->logs[0].line, "PMBusPower:ProcotolError 100 parse 42_46 overflow memory boundary");
  EXPECT_EQ(journal.Rounds(), (std::vector<std::string>{"11", "21", "100"}));
  EXPECT_EQ(port->step_, 0);
}

TEST_F(PortTest, LostReplyIsAskedAgainAtEveryStep) {
  ASSERT_TRUE(Configure(1, 1, true));
  PassModel();
  const int steps[] = {0, 1, 2, 4, 5, 6, 7, 8, 3, 9};
  for (int step : steps) {
    SCOPED_TRACE(step);
    AdvanceTo(step);
    const Cmd pending = Last();
    port->process_error();  // the host's time-out ran out
    ASSERT_FALSE(port->IsProcessing());
    const std::size_t before = ctl->sent.size();
    EXPECT_EQ(port->RefreshStatus(), 1);
    EXPECT_EQ(ctl->sent.size(), before + 1);
    EXPECT_EQ(Last(), pending);
    EXPECT_EQ(port->step_, step);
  }
  for (int k = 0; k < 4 && GoodReply() == 1; ++k) {}
  EXPECT_EQ(journal.Rounds(), (std::vector<std::string>{"11", "21", "100"}));
}

TEST_F(PortTest, RectifierStepWithoutRectifierStartsTheRoundOver) {
  ASSERT_FALSE(Configure(1, 1, false));
  PassModel();
  ASSERT_EQ(GoodReply(), 1);  // AC analog
  port->Reset();
  const std::pair<int, unsigned char> steps[] = {{4, 0x41}, {5, 0x41}, {6, 0x41}, {3, 0x40}, {9, 0x42}};
  for (const auto& [step, unit] : steps) {
    SCOPED_TRACE(step);
    port->step_ = step;
    EXPECT_EQ(port->RefreshStatus(), 1);
    EXPECT_EQ(Last(), kAcAnalog);
    EXPECT_EQ(port->step_, 0);
    // A reply arriving in such a step reaches no decoder.
    port->step_ = step;
    journal.calls.clear();
    EXPECT_EQ(Reply(unit, {0, 1}), 1);
    EXPECT_TRUE(journal.calls.empty());
    port->Reset();
  }
}

TEST_F(PortTest, StepOutsideTheTableSendsNothing) {
  ASSERT_TRUE(Configure(1, 1, true));
  PassModel();
  port->Reset();
  port->step_ = 11;
  EXPECT_EQ(port->RefreshStatus(), 1);
  EXPECT_EQ(ctl->sent.size(), 2u);  // the model query and the first AC command only
  port->step_ = 0;
  EXPECT_EQ(port->RefreshStatus(), 1);
  EXPECT_EQ(Last(), kAcAnalog);
}

}  // namespace
}  // namespace power_test
