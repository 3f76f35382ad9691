// Listen mode on a tapped line: the runner polls the simulator through a
// Y-cable made of pseudo-terminals (both directions copied to a third one),
// the listener reads the third; it must write nothing and see what the
// master sees, round by round. Then the tap's bytes again, on standard input.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>

#include "tests/support/EventFile.h"
#include "tests/tools/ProcessSupport.h"

namespace {

using namespace process_support;

const std::string kSource = QPR_SOURCE_DIR;
const std::string kSite = kSource + "/examples/site.json";

std::string Temp(const std::string& name) {
  return ::testing::TempDir() + "qpr-listen-" + std::to_string(getpid()) + "-" + name;
}

// One pseudo-terminal: the test holds the master and keeps the slave open
// (never read or written here) so that the master never sees a hang-up.
struct Pty {
  int master = -1, slave = -1;
  std::string name;
  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    char buf[128] = {};
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, buf, sizeof buf) != 0) return;
    name = buf;
    slave = open(buf, O_RDONLY | O_NOCTTY);
  }
  ~Pty() {
    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
  }
};

// The Y-cable: what the master's side says goes to the system's side and
// back, and both directions to the listener's side and to a capture file;
// what the listener's side says is counted (it must stay 0).
class Tap {
 public:
  Tap(Pty& master, Pty& system, Pty& listener, const std::string& capture)
      : capture_(capture, std::ios::binary), thread_([&, this] { Run(master.master, system.master, listener.master); }) {}
  ~Tap() {
    stop_ = true;
    thread_.join();
  }
  long written() const { return written_; }

 private:
  void Run(int a, int b, int c) {
    char buf[4096];
    while (!stop_) {
      pollfd fds[3] = {{a, POLLIN, 0}, {b, POLLIN, 0}, {c, POLLIN, 0}};
      if (poll(fds, 3, 50) <= 0) continue;
      for (int k = 0; k < 3; ++k) {
        if (!(fds[k].revents & POLLIN)) continue;
        const ssize_t n = read(fds[k].fd, buf, sizeof buf);
        if (n <= 0) continue;
        if (k == 2) {
          written_ += n;
          continue;
        }
        Put(k == 0 ? b : a, buf, n);
        Put(c, buf, n);
        capture_.write(buf, n);
        capture_.flush();
      }
    }
  }
  static void Put(int fd, const char* data, ssize_t n) {
    for (ssize_t done = 0; done < n;) {
      const ssize_t w = write(fd, data + done, static_cast<std::size_t>(n - done));
      if (w > 0) done += w;
      else if (errno != EAGAIN && errno != EINTR) return;
    }
  }
  std::ofstream capture_;
  std::atomic<bool> stop_{false};
  std::atomic<long> written_{0};
  std::thread thread_;
};

std::vector<std::string> HostArgs(const std::string& events, const std::vector<std::string>& more) {
  std::vector<std::string> a = {QPR_HOST_BIN, "--plugin", QPR_PLUGIN, "--config", kSite, "--events", events,
                                "--poll-ms", "2", "--quiet", "--duration", "90"};
  a.insert(a.end(), more.begin(), more.end());
  return a;
}

// The master's and the listener's events equal with times masked; the
// listener's frame events are its own.
void ExpectSameEvents(const std::string& master, const std::string& listener) {
  const std::string diff = Temp("diff.txt");
  const int status = System(kSource + "/scripts/compare-events.sh --ignore frame " + master + " " + listener + " > " +
                            diff + " 2>&1");
  EXPECT_EQ(status, 0) << Slurp(diff);
}

TEST(Listen, BesideTheRunnerPollingTheSimulatorItWritesNothingAndSeesTheSameRounds) {
  Pty master, system, listener;
  ASSERT_FALSE(master.name.empty() || system.name.empty() || listener.name.empty());
  const std::string capture = Temp("tap.bin"), simLog = Temp("sim.txt");
  const std::string masterEvents = Temp("master.jsonl"), listenEvents = Temp("listen.jsonl");
  const std::string scenario = kSource + "/examples/scenarios/mains-failure.json";
  const std::string rounds = "7";  // mains out in rounds 3 to 5, a fuse from 4, a module fault in 5 and 6
  Tap tap(master, system, listener, capture);

  Child sim({QPR_SIM_BIN, "--port", system.name, "--scenario", scenario}, "/dev/null", simLog);
  ASSERT_TRUE(WaitFor([&] { return Contains(Slurp(simLog), "answering on"); })) << Slurp(simLog);
  const std::string listenView = Temp("listen-view.txt");
  Child listen(HostArgs(listenEvents, {"--listen", listener.name, "--rounds", rounds, "--comm-lost-s", "60"}), listenView,
               Temp("listen-err.txt"));
  // Listening before the master starts: its model query, asked once, is on the tap.
  ASSERT_TRUE(WaitFor([&] { return Contains(Slurp(listenEvents), "\"event\":\"command\""); })) << Slurp(listenView);
  const int masterStatus =
      RunToEnd(HostArgs(masterEvents, {"--port", master.name, "--rounds", rounds, "--no-round-wait",
                                       "--reply-pause-ms", "0"}),
               Temp("master-view.txt"), Temp("master-err.txt"), 90);
  EXPECT_EQ(masterStatus, 0) << Slurp(Temp("master-err.txt"));
  EXPECT_EQ(listen.Wait(30), 0) << Slurp(Temp("listen-err.txt")) << Slurp(listenView);

  EXPECT_EQ(tap.written(), 0) << "the listener wrote on the line";
  ExpectSameEvents(masterEvents, listenEvents);
  const auto events = testing_support::ReadEvents(listenEvents);
  int frames = 0, raised = 0, cleared = 0;
  for (const auto& e : events) {
    if (e["event"] == "frame") {
      ++frames;
      EXPECT_TRUE(e["ok"].asBool()) << e;
      EXPECT_FALSE(e.isMember("problem")) << e;
      if (e["dir"] == "reply") {
        EXPECT_GE(e["latency_ms"].asDouble(), 0.0) << e;
      }
    }
    if (e["event"] == "alarm_change") ++(e["change"] == "raised" ? raised : cleared);
  }
  EXPECT_GT(frames, 7 * 10);  // at least a command and a reply of five commands a round
  EXPECT_GT(raised, 0);
  EXPECT_GT(cleared, 0);
  EXPECT_TRUE(Contains(Slurp(listenView), "0 bytes written")) << Slurp(listenView);

  // The same line again from the capture on standard input, read at once.
  const std::string stdinEvents = Temp("stdin.jsonl");
  std::string command;
  for (const auto& w : HostArgs(stdinEvents, {"--listen", "-", "--rounds", rounds})) command += w + " ";
  EXPECT_EQ(System("exec " + command + " < " + capture + " > /dev/null 2>&1"), 0);
  ExpectSameEvents(masterEvents, stdinEvents);
}

}  // namespace
