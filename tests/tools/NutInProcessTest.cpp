// The NUT server without sockets: the model's status, low-battery
// latch, estimates and freshness from made-up images; the protocol's replies
// and quoting; the users file's checks and the --nut options.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <fstream>

#include "tools/host/cli/Options.h"
#include "tools/host/outputs/nut/NutModel.h"
#include "tools/host/outputs/nut/NutProtocol.h"
#include "tools/host/outputs/nut/NutUsers.h"
#include "tools/host/stream/RunError.h"
#include "units/ac/tele_c_qpr2427k_ac.h"
#include "units/dc/tele_c_qpr2427k_dc.h"
#include "units/rc/tele_c_qpr2427k_rc.h"

namespace {

using namespace runner;

template <typename T>
std::vector<unsigned char> Bytes(const T& record, std::size_t extra = 0) {
  std::vector<unsigned char> image(sizeof record + extra);
  std::memcpy(image.data(), &record, sizeof record);
  return image;
}
void Put(unsigned char* at, float v) { std::memcpy(at, &v, 4); }

Published Ac(float volts) {
  tele_c_qpr2427k_ac ac{};
  ac.channel_count = 1;
  tele_c_qpr2427k_ac_channel ch{};
  Put(ch.a, volts);
  Put(ch.f, volts > 0 ? 50.f : 0.f);
  auto image = Bytes(ac, sizeof ch);
  std::memcpy(image.data() + sizeof ac, &ch, sizeof ch);
  return {11, 5026, image};
}

Published Dc(float volts, float batteryEach) {
  tele_c_qpr2427k_dc dc{};
  Put(dc.v, volts);
  Put(dc.i, 30.f);
  dc.dc_m = 2;
  Put(dc.m_value[0], batteryEach);
  Put(dc.m_value[1], batteryEach);
  return {21, 5028, Bytes(dc)};
}

// The plant's DC low limit and a battery capacity (the fourth user setting).
Published Rc(float lowLimit, float capacityAh) {
  tele_c_qpr2427k_rc rc{};
  Put(rc.dc_param[1], lowLimit);
  rc.dc_param_p = 4;
  auto image = Bytes(rc, 32);
  Put(image.data() + offsetof(tele_c_qpr2427k_rc, dc_param_user) + 12, capacityAh);
  return {100, 5027, image};
}

std::string Var(const NutModel& m, const std::string& name) {
  const auto vars = m.Variables();
  const auto it = vars.find(name);
  return it == vars.end() ? "(none)" : it->second;
}

TEST(NutModel, StatusFollowsThePlantAndLowBatteryHoldsUntilMainsAndVoltageReturn) {
  struct Step {
    Millis t;
    float mainsV, dcV, batteryEach;
    bool raiseAlarm, forceShutdown;
    const char *status, *charge, *runtime;
  };
  // 100 Ah; the mains fails at 10 s and the batteries give 20 A: after half
  // an hour 10 Ah are gone. The voltage bounces above the 48 V limit with the
  // mains still off (LB holds), the mains returns below it (LB holds), then
  // the voltage recovers (LB and the forced shutdown clear).
  const Step steps[] = {
      {0, 230, 53.5f, 1.5f, false, false, "OL CHRG", "(none)", "(none)"},
      {10'000, 0, 52.0f, -10, false, false, "OB DISCHRG", "100", "18000"},
      {1'810'000, 0, 48.0f, -10, true, false, "OB LB DISCHRG ALARM", "90", "16200"},
      {1'870'000, 0, 48.5f, -10, false, true, "FSD OB LB DISCHRG ALARM", "90", "16140"},
      {1'880'000, 230, 47.9f, 5, false, false, "FSD OL LB CHRG ALARM", "(none)", "(none)"},
      {1'890'000, 230, 53.0f, 5, false, false, "OL CHRG ALARM", "(none)", "(none)"},
  };
  NutModel m(std::nullopt);
  m.Observe({0, HealthChanged{Health::Online, Health::Starting, "ONLINE"}});
  m.Observe({0, CommandSent{0x40, 0x51, "", ""}});
  m.Observe({0, ReplyAccepted{0x40, 0, "5150522D32344B560000010051505220506F7765722053797374656D73000000", "", "", 0}});
  m.Observe({0, Rc(48.f, 100.f)});
  for (const auto& s : steps) {
    SCOPED_TRACE(s.t);
    if (s.raiseAlarm)
      m.Observe({s.t, AlarmChange{AlarmCall{21, "qpr2427k-dc", 3, "DC_0", "06008", "", "", true, 1}, true, s.t}});
    if (s.forceShutdown) m.ForceShutdown();
    m.Observe({s.t, Ac(s.mainsV)});
    m.Observe({s.t, Dc(s.dcV, s.batteryEach)});
    EXPECT_EQ(Var(m, "ups.status"), s.status);
    EXPECT_EQ(Var(m, "battery.charge"), s.charge);
    EXPECT_EQ(Var(m, "battery.runtime"), s.runtime);
  }
  EXPECT_EQ(Var(m, "ups.alarm"), "DC output voltage low");
  EXPECT_EQ(Var(m, "device.model"), "QPR-24KV");
  EXPECT_EQ(Var(m, "device.mfr"), "QPR Power Systems");
  EXPECT_EQ(Var(m, "battery.voltage.low"), "48.00");
  EXPECT_EQ(Var(m, "input.voltage"), "230.0");
  EXPECT_EQ(Var(m, "output.current"), "30.0");

  // A threshold given on the command line wins over the plant's limit.
  NutModel given(52.5);
  given.Observe({0, Rc(48.f, 100.f)});
  given.Observe({0, Ac(0)});
  given.Observe({0, Dc(52.4f, -10)});
  EXPECT_EQ(Var(given, "ups.status"), "OB LB DISCHRG");
  EXPECT_EQ(Var(given, "battery.voltage.low"), "52.50");
  EXPECT_EQ(Var(given, "device.model"), "QPR2427K");  // no model reply yet
}

TEST(NutModel, ValuesAreStaleWhenTheRoundIsOldOrHealthIsNotOnline) {
  NutModel m(std::nullopt);
  const Millis t0 = 1'000'000;
  m.Observe({t0, HealthChanged{Health::Online, Health::Starting, "ONLINE"}});
  EXPECT_FALSE(m.Fresh(t0));  // no round yet
  m.Observe({t0, Dc(53.f, 1)});
  m.Observe({t0, RoundEnded{1, 100, 11}});
  const std::pair<Millis, bool> rows[] = {{t0, true}, {t0 + 60'999, true}, {t0 + 61'000, false}};
  for (const auto& [at, fresh] : rows) EXPECT_EQ(m.Fresh(at), fresh) << at;
  m.Observe({t0 + 1000, HealthChanged{Health::CommLost, Health::Online, "COMM LOST"}});
  EXPECT_FALSE(m.Fresh(t0 + 1000));
}

TEST(NutProtocol, RepliesLoginsAndQuoting) {
  const std::vector<NutUser> users{{"mon", "pw", NutUser::Role::Primary}, {"sec", "pw2", NutUser::Role::Secondary},
                                   {"viewer", "pw3", NutUser::Role::None}};
  NutModel model(std::nullopt);
  model.Observe({1, HealthChanged{Health::Online, Health::Starting, "ONLINE"}});
  model.Observe({1, Ac(230)});
  model.Observe({1, Dc(53.f, 1)});
  model.Observe({1, RoundEnded{1, 100, 11}});
  NutClient other;
  other.address = "192.0.2.7";
  std::list<NutClient*> clients{&other};
  NutContext ctx{{{"ups", "a \"quoted\" \\ desc", &model}}, &users, &clients, 1000};
  struct Row {
    std::vector<std::string> lines;
    std::string replies;  // all the replies, in order
  } rows[] = {
      {{"GET VAR ups ups.status"}, "VAR ups ups.status \"OL CHRG\"\n"},
      {{"get var \"ups\" device.type"}, "VAR ups device.type \"ups\"\n"},
      {{"LIST UPS"}, "BEGIN LIST UPS\nUPS ups \"a \\\"quoted\\\" \\\\ desc\"\nEND LIST UPS\n"},
      {{"LIST RW ups", "LIST CMD ups"}, "BEGIN LIST RW ups\nEND LIST RW ups\nBEGIN LIST CMD ups\nEND LIST CMD ups\n"},
      {{"GET TYPE ups battery.voltage", "GET DESC ups ups.status"},
       "TYPE ups battery.voltage NUMBER\nDESC ups ups.status \"UPS status\"\n"},
      {{"GET VAR ups", "LIST VAR other", "GET VAR ups nope", "LIST", "GET VAR ups \"open", "GET VAR ups x\\"},
       "ERR INVALID-ARGUMENT\nERR UNKNOWN-UPS\nERR VAR-NOT-SUPPORTED\nERR INVALID-ARGUMENT\nERR INVALID-ARGUMENT\n"
       "ERR INVALID-ARGUMENT\n"},
      {{"LOGIN ups", "USERNAME mon", "LOGIN ups", "PASSWORD nope", "LOGIN ups"},
       "ERR USERNAME-REQUIRED\nOK\nERR PASSWORD-REQUIRED\nOK\nERR ACCESS-DENIED\n"},
      {{"USERNAME mon", "PASSWORD pw", "LOGIN ups", "LOGIN ups", "GET NUMLOGINS ups", "LIST CLIENT ups", "MASTER ups"},
       "OK\nOK\nOK\nERR ALREADY-LOGGED-IN\nNUMLOGINS ups 1\nBEGIN LIST CLIENT ups\nCLIENT ups 127.0.0.1\n"
       "END LIST CLIENT ups\nOK MASTER-GRANTED\n"},
      {{"USERNAME sec", "USERNAME x", "PASSWORD pw2", "LOGIN nope", "FSD ups", "PRIMARY ups"},
       "OK\nERR ALREADY-SET-USERNAME\nOK\nERR UNKNOWN-UPS\nERR ACCESS-DENIED\nERR ACCESS-DENIED\n"},
      {{"USERNAME viewer", "PASSWORD pw3", "LOGIN ups", "SET VAR ups ups.status \"OB\"", "INSTCMD ups load.off"},
       "OK\nOK\nERR ACCESS-DENIED\nERR READONLY\nERR CMD-NOT-SUPPORTED\n"},
      {{"STARTTLS", "NETVER", ""}, "ERR FEATURE-NOT-CONFIGURED\n1.3\n"},
  };
  for (const auto& row : rows) {
    NutClient c;
    c.address = "127.0.0.1";
    clients.push_back(&c);
    std::string replies;
    for (const auto& line : row.lines) replies += Answer(line, c, ctx).text;
    EXPECT_EQ(replies, row.replies) << row.lines.front();
    clients.pop_back();
  }
  // A primary's FSD leads the status; LOGOUT closes.
  NutClient p;
  clients.push_back(&p);
  for (const char* line : {"USERNAME mon", "PASSWORD pw"}) Answer(line, p, ctx);
  EXPECT_EQ(Answer("FSD ups", p, ctx).text, "OK FSD-SET\n");
  EXPECT_EQ(Answer("GET VAR ups ups.status", p, ctx).text, "VAR ups ups.status \"FSD OL CHRG\"\n");
  EXPECT_TRUE(Answer("LOGOUT", p, ctx).close);
  // Stale values are refused, the rest still answers.
  ctx.now = 1 + NutModel::kFreshFor;
  EXPECT_EQ(Answer("GET VAR ups ups.status", p, ctx).text, "ERR DATA-STALE\n");
  EXPECT_EQ(Answer("LIST VAR ups", p, ctx).text, "ERR DATA-STALE\n");
  EXPECT_EQ(Answer("GET UPSDESC ups", p, ctx).text.rfind("UPSDESC ups \"a", 0), 0u);
}

TEST(NutUsers, FilesOfOthersAndMalformedLinesAreRefused) {
  const std::string path = ::testing::TempDir() + "qpr-nut-users-" + std::to_string(getpid());
  struct Row {
    std::string text;
    mode_t mode;
    const char* error;  // empty: accepted
  } rows[] = {
      {"# users\n\nmonuser secret upsmon primary\nsec s2 upsmon secondary\r\nview v\n", 0600, ""},
      {"monuser secret\n", 0640, "mode 0640 lets others"},
      {"monuser secret\n", 0604, "mode 0604"},
      {"monuser\n", 0600, "line 1: expected USER PASSWORD"},
      {"a b\nmonuser secret upsmon boss\n", 0600, "line 2: expected primary or secondary"},
      {"monuser secret upsd primary\n", 0600, "expected \"upsmon\""},
      {"a b\na c\n", 0600, "line 2: user \"a\" is named twice"},
      {"bad\"name pw\n", 0600, "not a user name"},
  };
  for (const auto& row : rows) {
    std::ofstream(path) << row.text;
    chmod(path.c_str(), row.mode);
    try {
      const auto users = ReadNutUsers(path);
      EXPECT_STREQ(row.error, "") << row.text;
      ASSERT_EQ(users.size(), 3u);
      EXPECT_EQ(users[0].role, NutUser::Role::Primary);
      EXPECT_EQ(users[1].password, "s2");
      EXPECT_EQ(users[1].role, NutUser::Role::Secondary);
      EXPECT_EQ(users[2].role, NutUser::Role::None);
    } catch (const UsageError& e) {
      EXPECT_NE(std::string(e.what()).find(row.error), std::string::npos) << e.what();
      EXPECT_NE(row.error[0], '\0') << e.what();
      EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos);
    }
  }
  std::remove(path.c_str());
  EXPECT_THROW(ReadNutUsers(path), UsageError);  // missing
}

TEST(NutOptions, BadValuesAreRefusedNamingTheOption) {
  const std::vector<std::pair<std::vector<const char*>, const char*>> cases{
      {{"--nut", "70000"}, "--nut needs ADDRESS:PORT or PORT"},
      {{"--nut", "1.2.3:3493"}, "--nut needs an IP address or a host name"},
      {{"--nut", "0", "--nut-name", "a b"}, "--nut-name needs 1 to 64 letters"},
      {{"--nut", "0", "--nut-low-battery-v", "-1"}, "--nut-low-battery-v needs volts"},
      {{"--nut", "0", "--nut-users", "/nonexistent/users"}, "--nut-users /nonexistent/users: "},
      {{"--nut-name", "ups"}, "--nut-name needs --nut"},
      {{"--discover", "--nut", "0"}, "--nut serves a polling run"},
  };
  for (auto [args, why] : cases) {
    args.insert(args.begin(), "qpr2427k-host");
    try {
      ParseOptions(static_cast<int>(args.size()), args.data());
      ADD_FAILURE() << why;
    } catch (const UsageError& e) {
      EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
    }
  }
  const char* good[] = {"qpr2427k-host", "--nut", "3493", "--nut-name", "ups", "--nut-low-battery-v", "47.5"};
  const RunOptions o = ParseOptions(7, good);
  EXPECT_EQ(o.nutAddresses, std::vector<std::string>{"127.0.0.1"});
  EXPECT_EQ(o.nutPort, 3493);
  EXPECT_EQ(o.nut.upsName, "ups");
  EXPECT_EQ(o.nut.lowBatteryV, 47.5);
}

}  // namespace
