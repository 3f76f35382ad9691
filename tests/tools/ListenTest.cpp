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
// (never used) so that the master sees no hang-up; raw, so that nothing
// written to it is echoed while no program has it open.
struct Pty {
  int master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK), slave = -1;
  std::string name;
  Pty() {
    char buf[128] = {};
    if (master < 0 || grantpt(master) || unlockpt(master) || ptsname_r(master, buf, sizeof buf)) return;
    name = buf;
    slave = open(buf, O_RDONLY | O_NOCTTY);
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
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

// The tapped line: the master's, the system's and the listener's sides
// joined by the Y-cable, the simulator answering `scenario` on the system's.
struct TappedLine {
  Pty master, system, listener;
  std::string capture, simLog;
  YCable cable;
  Child sim;
  TappedLine(const std::string& name, const std::string& scenario)
      : capture(Temp(name + "-tap.bin")),
        simLog(Temp(name + "-sim.txt")),
        cable(master.master, system.master, listener.master, capture),
        sim({QPR_SIM_BIN, "--port", system.name, "--scenario", kSource + "/examples/scenarios/" + scenario},
            "/dev/null", simLog) {}
  bool Ready() const {
    return !master.name.empty() && !system.name.empty() && !listener.name.empty() &&
           WaitFor([&] { return Contains(Slurp(simLog), "answering on"); });
  }
};

// A listener started before the master, whose model query is asked once,
// then the master's run to its end; both end by themselves.
void ListenThroughTheMastersRun(const std::vector<std::string>& listen, const std::string& listenEvents,
                                const std::vector<std::string>& master, const std::string& view) {
  Child listener(listen, view, view + ".err");
  ASSERT_TRUE(WaitFor([&] { return Contains(Slurp(listenEvents), "\"event\":\"command\""); })) << Slurp(view);
  EXPECT_EQ(RunToEnd(master, "/dev/null", view + ".master-err", 90), 0);
  EXPECT_EQ(listener.Wait(30), 0) << Slurp(view);
}

// Equal events with times masked; the frame events are the listener's own.
void ExpectSameEvents(const std::string& master, const std::string& listener) {
  const std::string diff = Temp("diff.txt");
  EXPECT_EQ(System(kSource + "/scripts/compare-events.sh --ignore frame " + master + " " + listener + " > " + diff), 0)
      << Slurp(diff);
}

TEST(Listen, BesideTheRunnerPollingTheSimulatorItWritesNothingAndSeesTheSameRounds) {
  // Mains out in rounds 3 to 5, a fuse blown from 4, a module fault in 5 and 6: edges both ways in 7 rounds.
  TappedLine line("one", "mains-failure.json");
  ASSERT_TRUE(line.Ready()) << Slurp(line.simLog);
  const std::string view = Temp("listen-view.txt"), masterEvents = Temp("master.jsonl");
  const std::string listenEvents = Temp("listen.jsonl"), &capture = line.capture;
  const auto& cable = line.cable;
  ListenThroughTheMastersRun(Host(listenEvents, {"--listen", line.listener.name, "--comm-lost-s", "60"}), listenEvents,
                             Host(masterEvents, {"--port", line.master.name, "--no-round-wait", "--reply-pause-ms", "0"}),
                             view);

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
  TappedLine line("multi", "three-systems.json");
  ASSERT_TRUE(line.Ready()) << Slurp(line.simLog);
  const std::string masterEvents = Temp("multi-master.jsonl"), listenEvents = Temp("multi-listen.jsonl");
  const auto& cable = line.cable;
  auto host = [&](const std::string& events, std::vector<std::string> more) {
    auto a = Host(events, std::move(more));
    a[4] = kSource + "/examples/three-systems-site.json";
    return a;
  };
  ListenThroughTheMastersRun(host(listenEvents, {"--listen", line.listener.name, "--comm-lost-s", "60"}), listenEvents,
                             host(masterEvents, {"--port", line.master.name, "--no-round-wait", "--reply-pause-ms", "0"}),
                             Temp("multi-view.txt"));
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

// A listener started after the master begins with the model reply and the
// records an earlier listen kept, and asks the switch and alarm states when
// the master does: from its first round its values are the master's.
TEST(Listen, StartedAfterTheMasterItJoinsItsRoundsFromWhatAnEarlierListenKept) {
  TappedLine line("late", "mains-failure.json");
  ASSERT_TRUE(line.Ready()) << Slurp(line.simLog);
  const std::string models = Temp("models.json"), cache = Temp("late-cache.json");
  const std::string masterEvents = Temp("late-master.jsonl"), lateEvents = Temp("late.jsonl");
  const std::string& capture = line.capture;
  const Pty &master = line.master, &listener = line.listener;
  const auto& cable = line.cable;
  // Rounds at the master's usual pace (2 s apart): a line that keeps going
  // while the listeners come and go, at a load a slow machine can bear.
  Child masterRun(Host(masterEvents, {"--port", master.name, "--reply-pause-ms", "0", "--rounds", "100000",
                                      "--duration", "600"}),
                  "/dev/null", Temp("late-master-err.txt"));
  // Past the scenario's last change (round 7): the states an earlier listen keeps are the line's now.
  ASSERT_TRUE(WaitFor([&] { return RoundValues(masterEvents).size() >= 9; }, 60));

  // An earlier listen (the line from the master's start, on standard input) keeps the model reply and the records.
  std::string earlier = "exec";
  for (const auto& w : Host(Temp("earlier.jsonl"), {"--listen", "-", "--model-file", models, "--rounds", "8",
                                                    "--save-cache", cache}))
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
  EXPECT_EQ(RunToEnd(Host(lateEvents, {"--listen", listener.name, "--model-file", models, "--cache", cache,
                                       "--rounds", "3", "--duration", "30"}),
                     lateView, "/dev/null", 60),
            0);
  EXPECT_EQ(masterRun.Stop(SIGTERM), 0);
  EXPECT_EQ(cable.written, 0) << "a listener wrote on the line";
  const std::string view = Slurp(lateView);
  EXPECT_TRUE(Contains(view, "model taken from " + models + ", seen on the line at ")) << view;
  EXPECT_TRUE(Contains(view, "until then the plug-in has those restored from the cache")) << view;
  const auto masterRounds = RoundValues(masterEvents), lateRounds = RoundValues(lateEvents);
  ASSERT_EQ(lateRounds.size(), 3u);
  for (const auto& round : lateRounds)
    EXPECT_NE(std::find(masterRounds.begin(), masterRounds.end(), round), masterRounds.end())
        << "a round of the late listener is none of the master's";
}

}  // namespace
