// The runner's NUT server against Debian's real clients: upsc following the
// mains-failure scenario (OL, OB DISCHRG, LB), upsmon with its own
// configuration running its SHUTDOWNCMD on low battery, a NAS-style profile's
// LOGIN, bad inputs and a crowd of idle connections answered or closed while
// polling goes on, a port in use refused, and an idle client let go.
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <cerrno>
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/tools/ProcessSupport.h"
#include "tools/host/outputs/nut/NutServer.h"
#include "tools/host/stream/RunError.h"

namespace {

using namespace process_support;  // Child, Contains, FreePort, Slurp, System, WaitFor
namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using Clock = std::chrono::system_clock;

const std::string kSource = QPR_SOURCE_DIR;
const std::string kSite = kSource + "/examples/site.json";

std::string Temp(const std::string& name) {
  static int counter = 0;
  return ::testing::TempDir() + "qpr-nut-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" + name;
}

long long Now() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

// A client program of nut-client: missing, the test fails (scripts/install-deps.sh installs it).
std::string Tool(const std::string& name, const std::string& debianPath = "") {
  if (!debianPath.empty() && access(debianPath.c_str(), X_OK) == 0) return debianPath;
  for (const char* dir : {"/usr/bin/", "/usr/sbin/", "/bin/", "/sbin/"})
    if (access((dir + name).c_str(), X_OK) == 0) return dir + name;
  ADD_FAILURE() << name << " is missing: install nut-client (scripts/install-deps.sh)";
  return name;
}

// `upsc UPS@127.0.0.1:PORT [VAR]`: its standard output, empty when it failed.
std::string Upsc(const std::string& ups, int port, const std::string& var = "") {
  static const std::string upsc = Tool("upsc");
  const std::string out = Temp("upsc.txt");
  const int rc = System(upsc + " " + ups + "@127.0.0.1:" + std::to_string(port) + " " + var + " > " + out + " 2>/dev/null", 20);
  std::string text = Slurp(out);
  std::remove(out.c_str());
  if (!WIFEXITED(rc) || WEXITSTATUS(rc) != 0) return "";
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

bool HasWord(const std::string& status, const std::string& word) {
  return Contains(" " + status + " ", " " + word + " ");
}

// Sends the bytes, shuts the sending side and reads until the server closes
// (at most 10 s): what came back, and whether the server closed by itself.
std::pair<std::string, bool> Exchange(int port, const std::string& bytes, bool shutSend = true) {
  asio::io_context io;
  tcp::socket s(io);
  boost::system::error_code ec;
  s.connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)}, ec);
  if (ec) return {"", false};
  timeval tv{10, 0};
  setsockopt(s.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  asio::write(s, asio::buffer(bytes), ec);
  if (shutSend) s.shutdown(tcp::socket::shutdown_send, ec);
  // recv() itself: Asio's blocking reads wait on past SO_RCVTIMEO.
  std::string all;
  char buf[4096];
  for (;;) {
    const ssize_t n = recv(s.native_handle(), buf, sizeof buf, 0);
    if (n <= 0) return {all, n == 0};
    all.append(buf, static_cast<std::size_t>(n));
  }
}

// Whether the server closes the connection within `ms`.
bool ClosedWithin(tcp::socket& s, int ms) {
  pollfd p{s.native_handle(), POLLIN, 0};
  if (poll(&p, 1, ms) != 1) return false;
  char c;
  const ssize_t n = recv(s.native_handle(), &c, 1, MSG_PEEK);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

// The round events of an events file, read as text (it holds many lines): round -> time.
std::map<long long, long long> Rounds(const std::string& events) {
  std::map<long long, long long> r;
  const std::string text = Slurp(events), key = "{\"event\":\"round\",\"round\":";
  for (auto at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
    const auto t = text.find("\"t\":", at);
    if (t != std::string::npos) r[std::stoll(text.substr(at + key.size(), 20))] = std::stoll(text.substr(t + 4, 20));
  }
  return r;
}

std::string WriteFile(const std::string& path, const std::string& text, mode_t mode = 0600) {
  std::ofstream(path) << text;
  chmod(path.c_str(), mode);
  return path;
}

// The runner with --nut on a free port, its events in a file.
struct Host {
  int port = FreePort();
  std::string events = Temp("events.jsonl"), out = Temp("out.txt"), err = Temp("err.txt");
  std::unique_ptr<Child> child;
  Host(std::vector<std::string> extra, const std::string& ups) {
    std::vector<std::string> args{QPR_HOST_BIN, "--plugin", QPR_PLUGIN,   "--config", kSite, "--quiet", "--events",
                                  events,       "--nut",    std::to_string(port), "--reply-pause-ms", "0"};
    args.insert(args.end(), extra.begin(), extra.end());
    child = std::make_unique<Child>(args, out, err);
    EXPECT_TRUE(WaitFor([&] { return Contains(Exchange(port, "LIST UPS\n").first, "UPS " + ups + " "); })) << Slurp(err);
  }
};

TEST(Nut, UpscFollowsTheMainsFailureToLowBatteryAndBack) {
  // Rounds at their natural 2 s pace, so that upsc, asked every 0.1 s, sees
  // every state: the mains fails in rounds 3 to 5, the voltage falls through
  // 53 V in round 5 and the mains is back in round 6.
  Host host({"--simulate", kSource + "/examples/scenarios/mains-failure.json", "--nut-low-battery-v", "53",
             "--rounds", "8", "--duration", "60"},
            "qpr2427k");
  struct Seen {
    long long t;
    std::string status;
  };
  std::vector<Seen> seen;
  std::string listing;  // every variable, the first time the status says OB
  while (host.child->Running()) {
    const std::string status = Upsc("qpr2427k", host.port, "ups.status");
    if (!status.empty() && (seen.empty() || seen.back().status != status)) seen.push_back({Now(), status});
    if (listing.empty() && HasWord(status, "OB")) listing = Upsc("qpr2427k", host.port);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_EQ(host.child->Wait(5), 0) << Slurp(host.err);
  const auto rounds = Rounds(host.events);
  ASSERT_EQ(rounds.size(), 8u) << Slurp(host.err);
  std::string all;
  for (const auto& s : seen) all += s.status + " | ";
  ASSERT_FALSE(seen.empty());
  EXPECT_TRUE(HasWord(seen.front().status, "OL")) << all;

  const auto first = [&](const std::function<bool(const std::string&)>& match) -> const Seen* {
    for (const auto& s : seen)
      if (match(s.status)) return &s;
    return nullptr;
  };
  const Seen* ob = first([](const std::string& s) { return HasWord(s, "OB") && HasWord(s, "DISCHRG"); });
  const Seen* lb = first([](const std::string& s) { return HasWord(s, "OB") && HasWord(s, "LB"); });
  ASSERT_TRUE(ob && lb) << all;
  // OB within the round the mains failed in; LB only once the voltage fell (round 5).
  EXPECT_GT(ob->t, rounds.at(2)) << all;
  EXPECT_LT(ob->t, rounds.at(4)) << all;
  EXPECT_GT(lb->t, rounds.at(4)) << all;
  EXPECT_LT(lb->t, rounds.at(6) + 2000) << all;
  // With the mains back above the threshold, LB clears.
  EXPECT_TRUE(HasWord(seen.back().status, "OL") && !HasWord(seen.back().status, "LB")) << all;

  // On battery: estimates and the mains at 0.
  for (const char* part : {"device.type: ups", "device.model: QPR-24KV", "input.voltage: 0.0", "battery.charge: ",
                           "battery.runtime: ", "battery.voltage.low: 53.00", "ups.alarm: "})
    EXPECT_TRUE(Contains(listing, part)) << part << "\n" << listing;
}

TEST(Nut, UpsmonOfANasProfileRunsItsShutdownCommandOnLowBattery) {
  // The mains fails in round 20 and stays off: the voltage falls below the
  // plant's own low limit (48.15 V) some 14 rounds later.
  // upsmon runs as nobody when the tests run as root, and the tests' own
  // temporary folder may be closed to others: its folder is one of its own
  // under /tmp, removed at the end.
  const bool root = getuid() == 0;
  std::string dir = Temp("upsmon");
  if (root) {
    char pattern[] = "/tmp/qpr-upsmon-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir = pattern;
  } else {
    mkdir(dir.c_str(), 0700);
  }
  struct Remove {
    std::string dir;
    ~Remove() {
      std::error_code ec;
      if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }
  } removeLater{root ? dir : std::string()};
  const std::string scenario = WriteFile(
      dir + "/scenario.json",
      R"({"seed":3,"ac":[{"channels":1},{"channels":1}],"rectifier":{"modules":3},"dc":[{"fuses":64,"status_bytes":20}],)"
      R"("events":[{"type":"mains_failure","round":20,"until_round":1000000}]})");
  const std::string users = WriteFile(dir + "/users", "monuser secret upsmon primary\n");
  Host host({"--simulate", scenario, "--no-round-wait", "--poll-ms", "2", "--nut-name", "ups", "--nut-users", users,
             "--duration", "90"},
            "ups");
  const std::string flag = dir + "/shutdown";
  WriteFile(dir + "/upsmon.conf",
            "MONITOR ups@127.0.0.1:" + std::to_string(host.port) +
                " 1 monuser secret primary\n"
                "MINSUPPLIES 1\nSHUTDOWNCMD \"/bin/sh -c 'echo down > " + flag +
                "'\"\n"
                "POLLFREQ 1\nPOLLFREQALERT 1\nFINALDELAY 0\nHOSTSYNC 1\nDEADTIME 15\n"
                "POWERDOWNFLAG " + dir + "/killpower\n");
  // upsmon as root would keep its PID file in /run/nut: a test runs it as nobody, in its own folder.
  if (root)
    for (const char* f : {"", "/scenario.json", "/users", "/upsmon.conf"}) (void)!chown((dir + f).c_str(), 65534, 65534);
  const std::string upsmon = Tool("upsmon", "/lib/nut/upsmon");
  Child monitor({"env", "NUT_CONFPATH=" + dir, "NUT_STATEPATH=" + dir, "NUT_ALTPIDPATH=" + dir, upsmon, "-D", "-F"},
                [root, log = dir + "/upsmon.log"] {
                  const int f = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
                  if (f < 0 || dup2(f, 1) != 1 || dup2(f, 2) != 2) return false;
                  return !root || (setgroups(0, nullptr) == 0 && setgid(65534) == 0 && setuid(65534) == 0);
                });
  // LOGIN with the NAS profile's user passed: upsmon is counted.
  EXPECT_TRUE(WaitFor([&] { return Contains(Exchange(host.port, "GET NUMLOGINS ups\n").first, "NUMLOGINS ups 1"); }, 30))
      << Slurp(dir + "/upsmon.log");
  long long lowAt = 0;
  ASSERT_TRUE(WaitFor([&] { return HasWord(Upsc("ups", host.port, "ups.status"), "LB") && (lowAt = Now()); }, 60))
      << Slurp(host.err);
  ASSERT_TRUE(WaitFor([&] { return access(flag.c_str(), F_OK) == 0; }, 10)) << Slurp(dir + "/upsmon.log");
  EXPECT_LT(Now() - lowAt, 10'000);
  RecordProperty("shutdown_after_low_battery_ms", static_cast<int>(Now() - lowAt));
  EXPECT_TRUE(HasWord(Upsc("ups", host.port, "ups.status"), "FSD"));  // set by the primary before it shut down
}

TEST(Nut, BadInputsAndIdleCrowdsAreAnsweredOrClosedWhilePollingGoesOn) {
  const std::string users = WriteFile(Temp("users"), "monuser secret upsmon primary\n");
  Host host({"--simulate", "--no-round-wait", "--poll-ms", "2", "--nut-name", "ups", "--nut-users", users,
             "--duration", "60"},
            "ups");
  // A second runner on the same port: one line, status 1.
  const std::string err = Temp("second-err.txt");
  const int rc = RunToEnd({QPR_HOST_BIN, "--plugin", QPR_PLUGIN, "--config", kSite, "--simulate", "--rounds", "1",
                           "--nut", std::to_string(host.port)},
                          "/dev/null", err, 30);
  EXPECT_EQ(rc, 1);
  EXPECT_TRUE(Contains(Slurp(err), "cannot serve NUT on 127.0.0.1:" + std::to_string(host.port) + ": ")) << Slurp(err);

  struct Row {
    const char* name;
    std::string send, reply;
    bool closed;  // the server ends the connection by itself
  } rows[] = {
      {"wrong password", "USERNAME monuser\nPASSWORD wrong\nLOGIN ups\n", "OK\nOK\nERR ACCESS-DENIED\n", false},
      {"right password", "USERNAME monuser\nPASSWORD secret\nLOGIN ups\nLOGOUT\n", "OK\nOK\nOK\nOK Goodbye\n", true},
      {"unknown command", "HELLO\r\n", "ERR UNKNOWN-COMMAND\n", false},
      {"unknown UPS", "GET VAR qpr2427k ups.status\n", "ERR UNKNOWN-UPS\n", false},
      {"binary", std::string("\x01\xff\x00 x\n", 6), "ERR UNKNOWN-COMMAND\n", false},
      {"10 kB line", std::string(10000, 'x') + "\n", "ERR INVALID-ARGUMENT\n", true},
  };
  for (const auto& row : rows) {
    const auto [reply, closed] = Exchange(host.port, row.send, !row.closed);
    EXPECT_EQ(reply, row.reply) << row.name;
    EXPECT_TRUE(closed || !row.closed) << row.name;
  }

  // 100 idle connections from 127.0.0.2: those beyond its address's budget
  // are closed at once; 127.0.0.1 is still served and the rounds go on.
  const auto before = Rounds(host.events).size();
  asio::io_context io;
  std::vector<std::unique_ptr<tcp::socket>> idle;
  for (int k = 0; k < 100; ++k) {
    auto s = std::make_unique<tcp::socket>(io);
    s->open(tcp::v4());
    s->bind({asio::ip::make_address("127.0.0.2"), 0});
    s->connect({asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(host.port)});
    idle.push_back(std::move(s));
  }
  const auto closed = [&] {
    return std::count_if(idle.begin(), idle.end(), [](const auto& s) { return ClosedWithin(*s, 0); });
  };
  const long overBudget = 100 - static_cast<long>(runner::NutLimits{}.perAddress);
  EXPECT_TRUE(WaitFor([&] { return closed() >= overBudget; }, 10));
  EXPECT_EQ(closed(), overBudget);
  EXPECT_TRUE(Contains(Upsc("ups", host.port, "device.type"), "ups"));
  EXPECT_TRUE(WaitFor([&] { return Rounds(host.events).size() > before + 5; }, 20));

}

TEST(NutServer, AnIdleClientIsClosedAfterItsTime) {
  runner::NutLimits limits;
  limits.idle = std::chrono::milliseconds(300);
  runner::NutServer server({"127.0.0.1"}, 0, {}, limits);
  const int port = std::stoi(server.Endpoints().front().substr(10));
  const auto start = std::chrono::steady_clock::now();
  const auto [reply, closed] = Exchange(port, "NETVER\n", false);
  EXPECT_EQ(reply, "1.3\n");
  EXPECT_TRUE(closed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
}

// Three systems on one line: one UPS each, by its id. The first is on
// battery, the second on mains, the third never answers and is never OL.
TEST(Nut, SeveralSystemsAreOneUpsEach) {
  const std::string scenario = WriteFile(Temp("three.json"), R"({"systems": [
      {"address": 1, "ac": [{}, {}], "events": [{"type": "mains_failure", "round": 1, "until_round": 100000}]},
      {"address": 5, "ac": [{"channels": 3}], "dc": [{}, {}]},
      {"address": 12, "silent": true}]})");
  const int port = FreePort();
  const std::string out = Temp("out.txt"), err = Temp("err.txt");
  Child host({QPR_HOST_BIN, "--plugin", QPR_PLUGIN, "--config", kSource + "/examples/three-systems-site.json",
              "--simulate", scenario, "--nut", std::to_string(port), "--reply-pause-ms", "0", "--poll-ms", "100",
              "--timeout-ms", "100", "--duration", "30"},
             out, err);
  EXPECT_TRUE(WaitFor([&] { return HasWord(Upsc("hall-a", port, "ups.status"), "OB"); })) << Slurp(err);
  EXPECT_TRUE(HasWord(Upsc("hall-b", port, "ups.status"), "OL"));
  EXPECT_EQ(Upsc("annex", port, "ups.status"), "") << "stale, never OL";
  EXPECT_EQ(Exchange(port, "GET VAR annex ups.status\nGET VAR qpr2427k ups.status\n").first,
            "ERR DATA-STALE\nERR UNKNOWN-UPS\n");
  const std::string list = Exchange(port, "LIST UPS\n").first;
  for (const char* ups : {"UPS hall-a \"DC power system hall-a at address 1", "UPS hall-b ", "UPS annex "})
    EXPECT_TRUE(Contains(list, ups)) << list;
  EXPECT_TRUE(Contains(Slurp(out), "nut: serving UPS \"hall-a\", \"hall-b\", \"annex\" on 127.0.0.1:")) << Slurp(out);
}

}  // namespace
