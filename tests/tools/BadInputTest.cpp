// The runner as a process against bad input files (FIFOs, devices, folders, too
// large, bad JSON), a damaged cache entry and --save-cache paths not regular files.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "host/json.h"
#include "tests/support/EventFile.h"
#include "tests/tools/ProcessSupport.h"

namespace {

using process_support::Contains;
using process_support::Slurp;

const std::string kSite = std::string(QPR_SOURCE_DIR) + "/examples/site.json";
const std::string kFast = " --no-round-wait --reply-pause-ms 0 --poll-ms 2 --timeout-ms 100";

std::string Temp(const std::string& name) {
  static int counter = 0;
  return ::testing::TempDir() + "qpr-bad-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" + name;
}

struct HostRun {
  int status = -1;
  std::string out, err;
  std::vector<Json::Value> events;
  std::size_t Count(const std::string& kind) const {
    return static_cast<std::size_t>(
        std::count_if(events.begin(), events.end(), [&](const Json::Value& e) { return e["event"] == kind; }));
  }
};

// The runner with this build's plug-in, cut after 30 s: a run that hangs fails.
HostRun RunHost(const std::string& args) {
  HostRun r;
  const std::string events = Temp("events.jsonl"), out = Temp("out.txt"), err = Temp("err.txt");
  const std::string cmd = std::string("timeout -s KILL 30 ") + QPR_HOST_BIN + " --plugin " + QPR_PLUGIN +
                          " --events " + events + " " + args + " >" + out + " 2>" + err + " </dev/null";
  const int rc = std::system(cmd.c_str());
  r.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  r.out = Slurp(out);
  r.err = Slurp(err);
  r.events = testing_support::ReadEvents(events);
  return r;
}

std::string Write(const std::string& name, const std::string& text) {
  const std::string path = Temp(name);
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

// One kind of bad file: made afresh for each run, and what the runner says of it.
struct BadFile {
  const char* name;
  std::function<std::string()> make;
  const char* says;
  bool json;  // only a JSON input is bad this way
};

const BadFile kBadFiles[] = {
    {"FIFO", [] { const std::string p = Temp("fifo"); mkfifo(p.c_str(), 0600); return p; },
     "it is a FIFO, not a regular file", false},
    {"/dev/zero", [] { return std::string("/dev/zero"); }, "it is a character device, not a regular file", false},
    {"folder", [] { const std::string p = Temp("dir"); mkdir(p.c_str(), 0700); return p; },
     "it is a folder, not a regular file", false},
    {"too large", [] {
       const std::string p = Write("large.json", "");
       EXPECT_EQ(truncate(p.c_str(), (16 << 20) + 1), 0);
       return p;
     }, "it is larger than 16 MiB", false},
    {"nested", [] { return Write("nested.json", std::string(100000, '[') + std::string(100000, ']')); },
     "nested deeper than 1000 levels", true},
    {"trailing garbage", [] { return Write("garbage.json", "{\"children\": []}\n}{ x\n"); },
     "Line 2, Column 1: Extra non-whitespace after JSON value.", true},
    {"duplicate key", [] { return Write("dup.json", "{\"data_id\": 1,\n \"data_id\": 2}\n"); },
     "Line 2, Column 2: Duplicate key: 'data_id'", true},
};

// Where a file goes on the command line, and what a bad one does to the run.
struct InputKind {
  const char* name;
  std::function<std::string(const std::string&)> args;
  bool json;
  int status;         // 1: refused with one line; 2: a bad option (and the hint);
                      // 0: the cache refused, one round polled fresh
  const char* lead;   // the start of the line
};

const InputKind kInputs[] = {
    {"settings", [](const std::string& f) { return "--config " + f + " --simulate --rounds 1" + kFast; }, true, 1,
     "the settings file"},
    {"check-config", [](const std::string& f) { return "--check-config " + f; }, true, 1, "the settings file"},
    {"labels", [](const std::string& f) { return "--config " + kSite + " --labels " + f + " --simulate --rounds 1" + kFast; },
     true, 1, "the labels file"},
    {"scenario", [](const std::string& f) { return "--config " + kSite + " --simulate " + f + " --rounds 1" + kFast; },
     true, 1, "the scenario file"},
    {"replay", [](const std::string& f) { return "--config " + kSite + " --replay " + f + kFast; }, false, 1,
     "the replay file"},
    {"cache", [](const std::string& f) { return "--config " + kSite + " --simulate --cache " + f + " --rounds 1" + kFast; },
     true, 0, "the cache file"},
    {"--mqtt-password-file",
     [](const std::string& f) { return "--config " + kSite + " --mqtt mqtt://u@127.0.0.1:1 --mqtt-password-file " + f; },
     false, 2, "--mqtt-password-file"},
    {"--mqtt-ca", [](const std::string& f) { return "--config " + kSite + " --mqtt mqtts://127.0.0.1:1 --mqtt-ca " + f; },
     false, 2, "--mqtt-ca"},
};

TEST(BadInput, EveryInputFileIsCheckedBeforeItIsRead) {
  for (const InputKind& input : kInputs) {
    for (const BadFile& bad : kBadFiles) {
      if (bad.json && !input.json) continue;
      SCOPED_TRACE(std::string(input.name) + " " + bad.name);
      const std::string path = bad.make();
      const HostRun run = RunHost(input.args(path));
      EXPECT_EQ(run.status, input.status) << run.err;
      EXPECT_TRUE(Contains(run.err, input.lead)) << run.err;
      EXPECT_TRUE(Contains(run.err, bad.says)) << run.err;
      if (input.status == 0) {
        EXPECT_TRUE(Contains(run.out, "; starting fresh")) << run.out;
        EXPECT_EQ(run.Count("round"), 1u);
      } else {
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), input.status) << run.err;
        EXPECT_EQ(run.Count("command"), 0u);
      }
    }
  }
  // A missing cache is no fault: said, and polling starts fresh.
  const HostRun fresh = RunHost("--config " + kSite + " --simulate --cache " + Temp("none.json") + " --rounds 1" + kFast);
  EXPECT_EQ(fresh.status, 0);
  EXPECT_TRUE(Contains(fresh.out, "yet; starting fresh")) << fresh.out;
  EXPECT_EQ(fresh.err, "");
}

// --decode streams events files of any size, but only from a regular file.
TEST(BadInput, DecodeReadsOnlyARegularFile) {
  for (const BadFile& bad : kBadFiles) {
    if (bad.json || std::string(bad.name) == "too large") continue;
    SCOPED_TRACE(bad.name);
    const HostRun run = RunHost("--decode " + bad.make());
    EXPECT_EQ(run.status, 1) << run.err;
    EXPECT_TRUE(Contains(run.err, "cannot read")) << run.err;
    EXPECT_TRUE(Contains(run.err, bad.says)) << run.err;
  }
}

// --labels: checked beside the settings by --check-config, and before a run
// starts anything; --decode names the readings with it.
TEST(BadInput, TheLabelsFileIsCheckedWithTheSettingsAndBeforeARun) {
  const std::string good = std::string(QPR_SOURCE_DIR) + "/examples/labels.json";
  const std::string bad = Write("labels.json", R"({"branches": {"0": "radio"},
    "user_values": {"1": {"name": "t", "device_class": "temprature"}}})");
  const std::string first = "branches.0: not a branch number from 1 to 9",
                    second = R"(user_values.1.device_class: unknown device class "temprature"; did you mean "temperature"?)";
  const std::string cache = Temp("cache.json");
  ASSERT_EQ(RunHost("--config " + kSite + " --simulate --rounds 1 --quiet --save-cache " + cache + kFast).status, 0);
  const struct {
    std::string args;
    int status;
    std::string out, err;  // out: the lines it holds; err: all of it
  } rows[] = {
      {"--check-config " + kSite + " --labels " + good, 0, kSite + ": no problems\n" + good + ": no problems\n", ""},
      {"--check-config " + kSite + " --labels " + bad, 1,
       kSite + ": no problems\n" + bad + ": " + first + "\n" + bad + ": " + second + "\n", ""},
      {"--config " + kSite + " --labels " + bad + " --simulate --rounds 1" + kFast, 1, "",
       "qpr2427k-host: the labels file " + bad + ": " + first + "; " + second + "\n"},
      {"--decode " + cache + " --format csv --labels " + good, 0, ",branch_1_current,radio current,", ""},
      {"--discover --simulate --labels " + good, 2, "",
       "qpr2427k-host: --labels goes with a polling run, --check-config or --decode\n(try --help)\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args);
    const HostRun run = RunHost(row.args);
    EXPECT_EQ(run.status, row.status);
    EXPECT_TRUE(Contains(run.out, row.out)) << run.out;
    EXPECT_EQ(run.err, row.err);
    if (row.status != 0) {
      EXPECT_EQ(run.Count("command"), 0u);
    }
  }
}

// One changed count byte in a cache image of the right length: the entry is
// refused and the unit polls on as if it had none.
TEST(BadInput, ADamagedCountInTheCacheLeavesTheUnitPolling) {
  const std::string good = Temp("good.json");
  const HostRun first = RunHost("--config " + kSite + " --simulate --rounds 3 --quiet --save-cache " + good + kFast);
  ASSERT_EQ(first.status, 0) << first.err;
  Json::Value saved;
  std::istringstream text(Slurp(good));
  std::string errors;
  ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), text, &saved, &errors)) << errors;
  struct Row {
    const char* name;
    Json::ArrayIndex child;
    std::size_t byte;  // -1: every byte
    const char* value;
    const char* refused;
  };
  const Row rows[] = {
      {"AC channel count", 0, 16, "02", "cache: qpr2427k-ac 11 refused (63 bytes)"},
      {"AC all FF", 0, std::string::npos, "FF", "cache: qpr2427k-ac 11 refused (63 bytes)"},
      {"rectifier module count", 3, 57, "02", "cache: qpr2427k-rc 100 refused (107 bytes)"},
      {"rectifier all FF", 3, std::string::npos, "FF", "cache: qpr2427k-rc 100 refused (107 bytes)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    Json::Value damaged = saved;
    std::string image = damaged["children"][row.child]["image"].asString();
    if (row.byte == std::string::npos) {
      std::fill(image.begin(), image.end(), row.value[0]);
    } else {
      image.replace(2 * row.byte, 2, row.value);
    }
    damaged["children"][row.child]["image"] = image;
    const std::string bad = Write("bad.json", Json::writeString(Json::StreamWriterBuilder(), damaged));
    const HostRun run = RunHost("--config " + kSite + " --simulate --cache " + bad + " --rounds 2 --duration 20" + kFast);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.Count("round"), 2u);
    EXPECT_TRUE(Contains(run.out, row.refused)) << run.out;
  }
}

// What --save-cache names, made afresh, and what the runner says of it.
struct SaveTarget {
  const char* name;
  std::function<std::string()> make;  // empty: cannot be made here
  int status;
  const char* says;
};

std::string Link(const std::string& to) {
  const std::string p = Temp("link.json");
  EXPECT_EQ(symlink(to.c_str(), p.c_str()), 0);
  return p;
}

std::string Socket() {
  const std::string p = Temp("sock");
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  p.copy(a.sun_path, sizeof a.sun_path - 1);
  EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0) << p;
  close(fd);
  return p;
}

mode_t TypeOf(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0 ? st.st_mode & S_IFMT : 0;
}

TEST(BadInput, SaveCacheReplacesOnlyARegularFile) {
  const SaveTarget rows[] = {
      {"FIFO", [] { const std::string p = Temp("fifo"); mkfifo(p.c_str(), 0600); return p; }, 1,
       "it is a FIFO, not a regular file"},
      {"character device", [] {
         // A node of its own (1,3: like /dev/null), so that no real device is at stake.
         const std::string p = Temp("null");
         return mknod(p.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0 ? p : std::string();
       }, 1, "it is a character device, not a regular file"},
      {"socket", Socket, 1, "it is a socket, not a regular file"},
      {"folder", [] { const std::string p = Temp("dir"); mkdir(p.c_str(), 0700); return p; }, 1,
       "it is a folder, not a regular file"},
      {"link to a FIFO", [] { const std::string f = Temp("fifo"); mkfifo(f.c_str(), 0600); return Link(f); }, 1,
       "a FIFO, not a regular file"},
      {"link to nothing", [] { return Link(Temp("absent")); }, 1, "it is a symbolic link to nothing"},
      {"link to a file", [] { return Link(Write("target.json", "{}")); }, 0, ""},
      {"regular file", [] { return Write("plain.json", "{}"); }, 0, ""},
  };
  for (const SaveTarget& row : rows) {
    SCOPED_TRACE(row.name);
    const std::string path = row.make();
    if (path.empty()) {
      std::printf("not run here: %s (cannot be made)\n", row.name);
      continue;
    }
    const mode_t before = TypeOf(path);
    const HostRun run = RunHost("--config " + kSite + " --simulate --rounds 1 --save-cache " + path + kFast);
    EXPECT_EQ(run.status, row.status) << run.err;
    EXPECT_EQ(TypeOf(path), before);  // a link stays a link, a FIFO a FIFO
    if (row.status != 0) {
      EXPECT_TRUE(Contains(run.err, "cannot write the cache file " + path + ": ")) << run.err;
      EXPECT_TRUE(Contains(run.err, row.says)) << run.err;
      EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
      EXPECT_EQ(run.Count("command"), 0u);
      continue;
    }
    // Written through the link: its file holds the four children.
    Json::Value saved;
    std::istringstream text(Slurp(path));
    std::string errors;
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), text, &saved, &errors)) << errors;
    EXPECT_EQ(saved["children"].size(), 4u);
  }
}

}  // namespace
