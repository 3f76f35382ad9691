// Listen mode on a tapped line: the runner polls the simulator through a
// Y-cable of pseudo-terminals (both directions copied to a third one) and the
// listener reads the third. It must write nothing and see what the master
// sees, round by round; so must a listener given the tap's bytes on stdin.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <thread>
#include <utility>

#include "tests/support/EventFile.h"
#include "tests/tools/ProcessSupport.h"

namespace {

using namespace process_support;

const std::string kSource = QPR_SOURCE_DIR;

std::string Temp(const std::string& name) {
  return ::testing::TempDir() + "qpr-listen-" + std::to_string(getpid()) + "-" + name;
}

// A pseudo-terminal: the test holds the master and keeps the slave open
// (never used) so that the master sees no hang-up.
struct Pty {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK), slave = -1;
  std::string name;
  Pty() {
    char buf[128] = {};
    if (master < 0 || grantpt(master) || unlockpt(master) || ptsname_r(master, buf, sizeof buf)) return;
    name = buf;
    slave = open(buf, O_RDONLY | O_NOCTTY);
  }
  ~Pty() { close(slave), close(master); }
};

// The Y-cable: the master's and the system's sides copied to each other and
// both to the listener's side and a capture file; what the listener's side
// says is counted.
struct YCable {
  std::ofstream capture;
  std::atomic<bool> stop{false};
  std::atomic<long> written{0};
  std::thread thread;
  YCable(int a, int b, int c, const std::string& file) : capture(file, std::ios::binary), thread([=] { Run(a, b, c); }) {}
  ~YCable() { stop = true, thread.join(); }
  void Run(int a, int b, int c) {
    char buf[4096];
    for (pollfd fds[3] = {{a, POLLIN, 0}, {b, POLLIN, 0}, {c, POLLIN, 0}}; !stop;) {
      if (poll(fds, 3, 50) <= 0) continue;
      for (int k = 0; k < 3; ++k) {
        const ssize_t n = (fds[k].revents & POLLIN) ? read(fds[k].fd, buf, sizeof buf) : 0;
        if (n <= 0) continue;
        if (k == 2) {
          written += n;
          continue;
        }
        for (const int to : {k == 0 ? b : a, c})
          for (ssize_t done = 0; done < n;) {
            const ssize_t w = write(to, buf + done, n - done);
            if (w < 0 && to == c) break;  // no listener reads the tap now: its bytes are dropped
            done += std::max<ssize_t>(0, w);
          }
        capture.write(buf, n).flush();
      }
    }
  }
};

std::vector<std::string> Host(const std::string& events, std::vector<std::string> more) {
  std::vector<std::string> a = {QPR_HOST_BIN, "--plugin", QPR_PLUGIN, "--config", kSource + "/examples/site.json",
                                "--events", events, "--poll-ms", "2", "--rounds", "7", "--quiet", "--duration", "90"};
  a.insert(a.end(), more.begin(), more.end());
  return a;
}

// Equal events with times masked; the frame events are the listener's own.
void ExpectSameEvents(const std::string& master, const std::string& listener) {
  const std::string diff = Temp("diff.txt");
  EXPECT_EQ(System(kSource + "/scripts/compare-events.sh --ignore frame " + master + " " + listener + " > " + diff), 0)
      << Slurp(diff);
}

TEST(Listen, BesideTheRunnerPollingTheSimulatorItWritesNothingAndSeesTheSameRounds) {
  Pty master, system, listener;
  ASSERT_FALSE(master.name.empty() || system.name.empty() || listener.name.empty());
  const std::string capture = Temp("tap.bin"), simLog = Temp("sim.txt"), view = Temp("listen-view.txt");
  const std::string masterEvents = Temp("master.jsonl"), listenEvents = Temp("listen.jsonl");
  YCable cable(master.master, system.master, listener.master, capture);
  // Mains out in rounds 3 to 5, a fuse blown from 4, a module fault in 5 and 6: edges both ways in 7 rounds.
  Child sim({QPR_SIM_BIN, "--port", system.name, "--scenario", kSource + "/examples/scenarios/mains-failure.json"},
            "/dev/null", simLog);
  ASSERT_TRUE(WaitFor([&] { return Contains(Slurp(simLog), "answering on"); })) << Slurp(simLog);
  Child listen(Host(listenEvents, {"--listen", listener.name, "--comm-lost-s", "60"}), view, Temp("listen-err.txt"));
  // Listening before the master starts, whose model query is asked once.
  ASSERT_TRUE(WaitFor([&] { return Contains(Slurp(listenEvents), "\"event\":\"command\""); })) << Slurp(view);
  EXPECT_EQ(RunToEnd(Host(masterEvents, {"--port", master.name, "--no-round-wait", "--reply-pause-ms", "0"}),
                     "/dev/null", Temp("master-err.txt"), 90),
            0);
  EXPECT_EQ(listen.Wait(30), 0) << Slurp(view);

  EXPECT_EQ(cable.written, 0) << "the listener wrote on the line";
  ExpectSameEvents(masterEvents, listenEvents);
  int frames = 0, intact = 0, raised = 0, cleared = 0;
  for (const auto& e : testing_support::ReadEvents(listenEvents)) {
    if (e["event"] == "frame") {
      ++frames;
      intact += e["ok"].asBool() && !e.isMember("problem");
    }
    if (e["event"] == "alarm_change") ++(e["change"] == "raised" ? raised : cleared);
  }
  EXPECT_GE(frames, 7 * 10);  // a command and a reply of at least five commands a round
  EXPECT_EQ(intact, frames);
  EXPECT_TRUE(raised > 0 && cleared > 0) << raised << " raised, " << cleared << " cleared";
  EXPECT_TRUE(Contains(Slurp(view), "0 bytes written")) << Slurp(view);

  // The same bytes from standard input, with every frame in a pcap file too.
  const std::string stdinEvents = Temp("stdin.jsonl"), pcap = Temp("tap.pcap");
  std::string command = "exec";
  for (const auto& w : Host(stdinEvents, {"--listen", "-", "--pcap", pcap})) command += " " + w;
  EXPECT_EQ(System(command + " < " + capture + " > /dev/null"), 0);
  ExpectSameEvents(masterEvents, stdinEvents);
  const std::string file = Slurp(pcap);
  int records = 0;
  for (std::size_t at = 24; at + 16 <= file.size(); ++records) {  // file header, then record headers
    std::uint32_t length = 0;
    std::memcpy(&length, file.data() + at + 8, sizeof length);
    at += 16 + length;
  }
  EXPECT_EQ(records, frames);
}

// Beside a master polling three systems, the listener hands each tapped reply
// to the system at its address: each system's events are the master's.
TEST(Listen, BesideAMasterPollingSeveralSystemsEachSystemSeesItsOwn) {
  Pty master, system, listener;
  ASSERT_FALSE(master.name.empty() || system.name.empty() || listener.name.empty());
  const std::string masterEvents = Temp("multi-master.jsonl"), listenEvents = Temp("multi-listen.jsonl");
  const std::string simLog = Temp("multi-sim.txt"), view = Temp("multi-view.txt");
  YCable cable(master.master, system.master, listener.master, Temp("multi-tap.bin"));
  Child sim({QPR_SIM_BIN, "--port", system.name, "--scenario", kSource + "/examples/scenarios/three-systems.json"},
            "/dev/null", simLog);
  ASSERT_TRUE(WaitFor([&] { return Contains(Slurp(simLog), "answering on"); })) << Slurp(simLog);
  auto host = [&](const std::string& events, std::vector<std::string> more) {
    auto a = Host(events, std::move(more));
    a[4] = kSource + "/examples/three-systems-site.json";
    return a;
  };
  Child listen(host(listenEvents, {"--listen", listener.name, "--comm-lost-s", "60"}), view, Temp("multi-err.txt"));
  ASSERT_TRUE(WaitFor([&] { return Contains(Slurp(listenEvents), "\"event\":\"command\""); })) << Slurp(view);
  EXPECT_EQ(RunToEnd(host(masterEvents, {"--port", master.name, "--no-round-wait", "--reply-pause-ms", "0"}),
                     "/dev/null", Temp("multi-master-err.txt"), 90),
            0);
  EXPECT_EQ(listen.Wait(30), 0) << Slurp(view);
  EXPECT_EQ(cable.written, 0) << "the listener wrote on the line";
  Json::StreamWriterBuilder w;
  w["indentation"] = "";
  for (const std::string id : {"hall-a", "hall-b", "annex"}) {
    SCOPED_TRACE(id);
    const std::string a = Temp("multi-" + id + "-m.jsonl"), b = Temp("multi-" + id + "-l.jsonl");
    for (const auto& [from, to] : {std::pair{masterEvents, a}, std::pair{listenEvents, b}}) {
      std::ofstream out(to);
      for (Json::Value e : testing_support::ReadEvents(from))
        if (e["system"]["id"] == id) {
          e.removeMember("system");
          out << Json::writeString(w, e) << '\n';
        }
    }
    EXPECT_TRUE(Contains(Slurp(b), "\"event\":\"round\"")) << "no round of " << id;
    ExpectSameEvents(a, b);
  }
}

// Each round's values ("data_id key value"), in the order the rounds ended.
std::vector<std::vector<std::string>> RoundValues(const std::string& events) {
  std::vector<std::vector<std::string>> rounds;
  for (const auto& e : testing_support::ReadEvents(events)) {
    if (e["event"] == "round") rounds.emplace_back();
    if (e["event"] == "value" && !rounds.empty())
      rounds.back().push_back(e["data_id"].asString() + " " + e["key"].asString() + " " +
                              (e.isMember("value") ? e["value"].toStyledString() : e["error"].asString()));
  }
  return rounds;
}

// What a listener on the tap has missed so far is dropped: it starts now.
void Drain(const Pty& tap) {
  char buf[4096];
  fcntl(tap.slave, F_SETFL, O_NONBLOCK);
  while (read(tap.slave, buf, sizeof buf) > 0) {
  }
}

TEST(Listen, StartedAfterTheMasterItBeginsWithTheModelReplyAnEarlierListenKept) {
  Pty master, system, listener;
  ASSERT_FALSE(master.name.empty() || system.name.empty() || listener.name.empty());
  const std::string capture = Temp("late-tap.bin"), simLog = Temp("late-sim.txt"), models = Temp("models.json");
  const std::string masterEvents = Temp("late-master.jsonl"), lateEvents = Temp("late.jsonl");
  termios raw{};  // no echo of what reaches the tap while no listener has it open
  tcgetattr(listener.slave, &raw);
  cfmakeraw(&raw);
  tcsetattr(listener.slave, TCSANOW, &raw);
  YCable cable(master.master, system.master, listener.master, capture);
  Child sim({QPR_SIM_BIN, "--port", system.name, "--scenario", kSource + "/examples/scenarios/mains-failure.json"},
            "/dev/null", simLog);
  ASSERT_TRUE(WaitFor([&] { return Contains(Slurp(simLog), "answering on"); })) << Slurp(simLog);
  // Rounds at the master's usual pace (2 s apart): a line that keeps going
  // while the listeners come and go, at a load a slow machine can bear.
  Child masterRun(Host(masterEvents, {"--port", master.name, "--reply-pause-ms", "0", "--rounds", "100000",
                                      "--duration", "600"}),
                  "/dev/null", Temp("late-master-err.txt"));
  ASSERT_TRUE(WaitFor([&] { return RoundValues(masterEvents).size() >= 2; }));

  // An earlier listen (the line from the master's start, on standard input) keeps the model reply.
  std::string earlier = "exec";
  for (const auto& w : Host(Temp("earlier.jsonl"), {"--listen", "-", "--model-file", models, "--rounds", "1"}))
    earlier += " " + w;
  EXPECT_EQ(System(earlier + " < " + capture + " > /dev/null"), 0);
  ASSERT_TRUE(Contains(Slurp(models), "\"addr\" : \"01\"")) << Slurp(models);

  // Without it, or with a file that cannot be read, a listener waits for the model query: comm lost.
  const std::string corrupt = Temp("corrupt-models.json");
  std::ofstream(corrupt) << "{\"model_replies\": [";
  for (const auto& [file, said] : {std::pair{std::string(), std::string("model query (40/51)")},
                                   {corrupt, corrupt + " is not valid JSON"}}) {
    SCOPED_TRACE(said);
    const std::string events = Temp("waiting.jsonl"), view = Temp("waiting-view.txt");
    std::vector<std::string> more = {"--listen", listener.name, "--comm-lost-s", "1", "--duration", "2.5"};
    if (!file.empty()) more.insert(more.end(), {"--model-file", file});
    Drain(listener);
    EXPECT_EQ(RunToEnd(Host(events, more), view, "/dev/null", 30), 1);  // none of the 7 rounds
    EXPECT_TRUE(Contains(Slurp(view), said)) << Slurp(view);
    EXPECT_TRUE(Contains(Slurp(events), "\"state\":\"comm lost\"")) << Slurp(events);
    EXPECT_TRUE(RoundValues(events).empty());
  }

  Drain(listener);
  const std::string lateView = Temp("late-view.txt");
  RunToEnd(Host(lateEvents, {"--listen", listener.name, "--model-file", models, "--duration", "5"}), lateView,
           "/dev/null", 30);
  EXPECT_EQ(masterRun.Stop(SIGTERM), 0);
  EXPECT_EQ(cable.written, 0) << "a listener wrote on the line";
  EXPECT_TRUE(Contains(Slurp(lateView), "model taken from " + models + ", seen on the line at ")) << Slurp(lateView);
  // Past the model query: the remembered reply is the plug-in's, and its first round's command follows.
  const std::string late = Slurp(lateEvents);
  const auto taken = late.find("\"model_file\":\"" + models + "\"");
  ASSERT_NE(taken, std::string::npos) << late;
  EXPECT_NE(late.find("\"event\":\"command\",\"cid1\":\"40\",\"cid2\":\"41\"", taken), std::string::npos);
}

}  // namespace
