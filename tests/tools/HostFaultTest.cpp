// The runner as a process when its events output fails or signals come: a
// full device, a file size limit, a full file system, a reader that closes the
// pipe, log rotation with SIGHUP, and all three signals at random moments.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "host/json.h"
#include "tests/support/EventFile.h"
#include "tests/tools/ProcessSupport.h"

namespace {

using namespace process_support;  // Child, Contains, Slurp, WaitFor
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

std::string Temp(const std::string& name) {
  static int counter = 0;
  return ::testing::TempDir() + "qpr-fault-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" + name;
}

std::vector<std::string> HostArgs(std::vector<std::string> extra) {
  std::vector<std::string> a = {QPR_HOST_BIN, "--plugin", QPR_PLUGIN, "--config", QPR_SOURCE_DIR "/examples/site.json",
                                "--simulate", "--no-round-wait", "--reply-pause-ms", "0", "--poll-ms", "2"};
  a.insert(a.end(), extra.begin(), extra.end());
  return a;
}

// Starts the runner with standard output on `outFd`, standard error in
// `err` and, when given, a file size limit (SIGXFSZ ignored, so writes past
// it fail with EFBIG); stopped with all it started on every exit path.
std::unique_ptr<Child> Start(std::vector<std::string> args, int outFd, const std::string& err,
                             rlim_t fileLimit = RLIM_INFINITY) {
  return std::make_unique<Child>(std::move(args), [&] {
    if (fileLimit != RLIM_INFINITY) {
      const rlimit limit{fileLimit, fileLimit};
      setrlimit(RLIMIT_FSIZE, &limit);
      signal(SIGXFSZ, SIG_IGN);
    }
    const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    return dup2(outFd, 1) == 1 && dup2(errFd, 2) == 2;
  });
}

// Waits (bounded) for the end: the exit status, or 128 + the signal that
// ended it (SIGKILL when it did not end in time).
int Reap(Child& host, int seconds = 60) {
  host.Wait(seconds);
  return WIFEXITED(host.waitStatus) ? WEXITSTATUS(host.waitStatus) : 128 + WTERMSIG(host.waitStatus);
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

// The cache file's children; -1 when it is missing or not JSON.
int CacheChildren(const std::string& path) {
  std::ifstream in(path);
  Json::Value root;
  std::string errors;
  if (!in || !Json::parseFromStream(Json::CharReaderBuilder(), in, &root, &errors)) return -1;
  return static_cast<int>(root["children"].size());
}

// Every line is JSON (ReadEvents fails the test on one that is not) and the
// file ends with a newline: nothing torn, nothing glued.
void ExpectWholeLines(const std::string& path) {
  const std::string text = Slurp(path);
  EXPECT_TRUE(text.empty() || text.back() == '\n') << path << " ends in a cut line";
  testing_support::ReadEvents(path);
}

// A tmpfs of `kib` KiB mounted for one test (root only); unmounted at the end.
struct SmallFileSystem {
  std::string dir = Temp("fs");
  bool mounted = false;
  explicit SmallFileSystem(int kib) {
    mkdir(dir.c_str(), 0755);
    mounted = mount("tmpfs", dir.c_str(), "tmpfs", 0, ("size=" + std::to_string(kib) + "k").c_str()) == 0;
  }
  ~SmallFileSystem() {
    if (mounted) umount(dir.c_str());
    rmdir(dir.c_str());
  }
};

struct WriteFault {
  const char* name;
  std::string error;  // as the runner says it
  rlim_t fileLimit;
  bool fullFileSystem;  // a filler file is removed once the error is said: space comes back
};

// A write error is said once in the view and on standard error, the lines
// that could not be written are counted in the end line and the status, the
// file holds whole lines only, and lines go on once there is space again
// (the writer tried before space came back: nothing glued to a cut line).
TEST(EventsFaults, WriteErrorsAreSaidCountedAndNeverTearALine) {
  const WriteFault faults[] = {
      {"/dev/full", "No space left on device", RLIM_INFINITY, false},
      {"file size limit", "File too large", 40000, false},
      {"full file system", "No space left on device", RLIM_INFINITY, true},
  };
  for (const auto& f : faults) {
    SCOPED_TRACE(f.name);
    std::unique_ptr<SmallFileSystem> fs;
    std::string events = std::string(f.name) == "/dev/full" ? "/dev/full" : Temp("events.jsonl");
    if (f.fullFileSystem) {
      fs = std::make_unique<SmallFileSystem>(256);
      if (!fs->mounted) {
        std::printf("full file system case left out: mounting a tmpfs needs root\n");
        continue;
      }
      events = fs->dir + "/events.jsonl";
      std::ofstream(fs->dir + "/filler") << std::string(128 << 10, 'x');
    }
    const std::string out = Temp("out.txt"), err = Temp("err.txt");
    const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    // Quiet: the file size limit holds for standard output too, and the
    // rounds' blocks would reach it before the fault is said.
    const auto host = Start(HostArgs({"--events", events, "--duration", "60", "--quiet"}), outFd, err, f.fileLimit);
    close(outFd);
    EXPECT_TRUE(WaitFor([&] { return Contains(Slurp(err), "events: cannot write"); }));
    if (f.fullFileSystem) {  // space comes back: a round after it is in the file
      const std::size_t before = Slurp(events).size();
      std::remove((fs->dir + "/filler").c_str());
      EXPECT_TRUE(WaitFor([&] {
        const std::string text = Slurp(events);
        return text.size() > before && Contains(text.substr(before), "\"event\":\"round\"");
      }));
    }
    kill(host->pid, SIGTERM);
    EXPECT_EQ(Reap(*host), 1);
    const std::string said = "events: cannot write to " + events + ": " + f.error;
    EXPECT_EQ(Count(Slurp(err), said), 1u) << Slurp(err);
    EXPECT_EQ(Count(Slurp(out), said), 1u) << Slurp(out);
    EXPECT_TRUE(Contains(Slurp(out), "end: interrupted; ")) << Slurp(out);
    EXPECT_TRUE(Contains(Slurp(out), " events not written (")) << Slurp(out);
    if (events == "/dev/full") continue;
    ExpectWholeLines(events);
    if (f.fileLimit != RLIM_INFINITY) {
      EXPECT_LE(Slurp(events).size(), f.fileLimit);
    }
  }
}

// A reader that quits ends the events with one message; polling and the cache go on.
TEST(EventsFaults, AReaderClosingThePipeEndsTheEventsNotTheRun) {
  int p[2];
  ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
  const std::string cache = Temp("cache.json"), err = Temp("err.txt");
  const auto host = Start(HostArgs({"--events", "-", "--rounds", "30", "--save-cache", cache}), p[1], err);
  close(p[1]);
  char c = 0;
  while (read(p[0], &c, 1) == 1 && c != '\n') {
  }
  close(p[0]);
  EXPECT_EQ(Reap(*host), 1);
  const std::string text = Slurp(err);
  EXPECT_EQ(Count(text, "events: the reader of standard output closed it"), 1u) << text;
  EXPECT_TRUE(Contains(text, "end: 30 rounds done; ")) << text;
  EXPECT_TRUE(Contains(text, " events not written (")) << text;
  EXPECT_EQ(CacheChildren(cache), 4);
}

// Log rotation: the file renamed away, SIGHUP, a new file at the path. Every
// event is in one of the files, whole, in order; the cache is written.
TEST(Signals, HangUpReopensTheEventsFileAndWritesTheCache) {
  const std::string events = Temp("events.jsonl"), cache = Temp("cache.json"), out = Temp("out.txt");
  const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const auto host = Start(HostArgs({"--events", events, "--save-cache", cache, "--duration", "120"}), outFd, Temp("err.txt"));
  close(outFd);
  const auto hasRound = [](const std::string& path) { return Contains(Slurp(path), "\"event\":\"round\""); };
  ASSERT_TRUE(WaitFor([&] { return hasRound(events); }));
  std::mt19937 random(7);
  std::vector<std::string> files;
  for (int k = 0; k < 5; ++k) {
    files.push_back(events + "." + std::to_string(k));
    ASSERT_EQ(std::rename(events.c_str(), files.back().c_str()), 0);
    std::this_thread::sleep_for(milliseconds(random() % 50));
    kill(host->pid, SIGHUP);
    EXPECT_TRUE(WaitFor([&] { return hasRound(events); })) << k;
  }
  EXPECT_TRUE(WaitFor([&] { return Count(Slurp(out), "hang-up signal: events file " + events + " reopened, cache written") == 5; }));
  kill(host->pid, SIGTERM);
  EXPECT_EQ(Reap(*host), 0);
  files.push_back(events);
  long long next = 1;
  for (const auto& file : files) {
    ExpectWholeLines(file);
    for (const auto& e : testing_support::ReadEvents(file))
      if (e["event"] == "round") {
        EXPECT_EQ(e["round"].asInt64(), next++) << file;
      }
  }
  EXPECT_GT(next, 6);
  EXPECT_EQ(CacheChildren(cache), 4);
}

// SIGHUP, the reader closing the events pipe and SIGTERM, each at a random
// moment of 20 runs: the cache is always there and whole, every events line
// read is whole, and the run ends by itself with a status that says why.
TEST(Signals, RandomSignalsNeverLoseTheCacheOrTearALine) {
  const std::string cache = Temp("cache.json");
  std::mt19937 random(20261209);
  const auto deadline = Clock::now() + std::chrono::seconds(60);
  bool hadAll = false;  // a cache with every child was written
  int run = 0;
  for (; run < 20 && Clock::now() < deadline; ++run) {
    SCOPED_TRACE(run);
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    const std::string err = Temp("err.txt");
    const auto host = Start(HostArgs({"--events", "-", "--cache", cache, "--save-cache", cache, "--duration", "60"}), p[1], err);
    close(p[1]);
    std::string read;
    const auto pump = [&](Clock::time_point until) {  // reads what comes until then, or the end
      char buffer[65536];
      for (;;) {
        const auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now()).count();
        pollfd pfd{p[0], POLLIN, 0};
        if (p[0] < 0 || left <= 0 || poll(&pfd, 1, static_cast<int>(left)) <= 0) return;
        const ssize_t n = ::read(p[0], buffer, sizeof buffer);
        if (n <= 0) return;
        read.append(buffer, static_cast<std::size_t>(n));
      }
    };
    const auto startBy = Clock::now() + std::chrono::seconds(20);
    while (read.find('\n') == std::string::npos && Clock::now() < startBy) pump(Clock::now() + milliseconds(50));
    ASSERT_NE(read.find('\n'), std::string::npos) << "the runner did not start";
    // The three happen at random moments of the next 400 ms, in random order.
    std::vector<std::pair<int, int>> moments = {{static_cast<int>(random() % 400), 0},
                                                {static_cast<int>(random() % 400), 1},
                                                {static_cast<int>(random() % 400), 2}};
    std::sort(moments.begin(), moments.end());
    const auto start = Clock::now();
    for (const auto& [ms, what] : moments) {
      pump(start + milliseconds(ms));
      std::this_thread::sleep_until(start + milliseconds(ms));
      if (what == 0) kill(host->pid, SIGHUP);
      if (what == 1) close(std::exchange(p[0], -1));
      if (what == 2) kill(host->pid, SIGTERM);
    }
    pump(Clock::now() + std::chrono::seconds(30));
    if (p[0] >= 0) close(p[0]);
    const int status = Reap(*host);
    const std::string said = Slurp(err);
    EXPECT_TRUE(status == 0 || (status == 1 && Contains(said, " not written ("))) << status << "\n" << said;
    EXPECT_TRUE(Contains(said, "end: interrupted")) << said;
    read.resize(read.rfind('\n') + 1);  // what the test read last may stop inside a line
    std::ofstream(err + ".events") << read;
    ExpectWholeLines(err + ".events");
    const int children = CacheChildren(cache);
    EXPECT_TRUE(children == 4 || (children == 0 && !hadAll)) << children;
    hadAll = hadAll || children == 4;
  }
  EXPECT_EQ(run, 20) << "runs in 60 s";
  EXPECT_TRUE(hadAll);
}

}  // namespace
