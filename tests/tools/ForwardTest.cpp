// --forward as a process between the runner (the controller) and the
// stand-alone simulator (the system), each line a pseudo-terminal pair that
// socat joins and dumps: what each side sent is what the other received, and
// the forwarder's frame events pair every command with its reply.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "host/json.h"
#include "tests/support/EventFile.h"
#include "tests/tools/ProcessSupport.h"
#include "tools/host/wire/CaptureSource.h"

namespace {

using namespace process_support;
using testing_support::ReadEvents;

const std::string kSource = QPR_SOURCE_DIR;

std::string Temp(const std::string& name) {
  return ::testing::TempDir() + "qpr-fwd-" + std::to_string(getpid()) + "-" + name;
}

// The bytes of a socat -x -v dump by direction: [0] '>' (left to right), [1] '<'.
std::vector<std::string> Dumped(const std::string& path) {
  std::vector<std::string> bytes(2);
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return bytes;
  try {
    wire::CaptureSource source(f, path);
    wire::Chunk chunk;
    while (source.Next(chunk)) bytes[chunk.stream == 0 ? 0 : 1] += chunk.bytes;
  } catch (const wire::CaptureError&) {
    // a dump still being written ends in a cut line: what came before counts
  }
  std::fclose(f);
  return bytes;
}

// A pseudo-terminal pair joined by socat, its traffic dumped to `dump`.
std::unique_ptr<Child> Line(const std::string& left, const std::string& right, const std::string& dump) {
  auto c = std::make_unique<Child>(std::vector<std::string>{"socat", "-x", "-v", "pty,raw,echo=0,link=" + left,
                                                            "pty,raw,echo=0,link=" + right},
                                   "/dev/null", dump);
  WaitFor([&] { return access(left.c_str(), F_OK) == 0 && access(right.c_str(), F_OK) == 0; }, 5);
  return c;
}

std::unique_ptr<Child> Simulator(const std::string& port, const std::string& log) {
  auto c = std::make_unique<Child>(std::vector<std::string>{QPR_SIM_BIN, "--port", port}, "/dev/null", log);
  WaitFor([&] { return Contains(Slurp(log), "answering on"); });
  return c;
}

TEST(Forward, PassesEveryByteUnchangedAndPairsTheFrames) {
  const std::string d = Temp("pass");
  auto lineA = Line(d + "-ctl", d + "-a", d + "-dump-a.txt");
  auto lineB = Line(d + "-b", d + "-sim", d + "-dump-b.txt");
  auto sim = Simulator(d + "-sim", d + "-sim.txt");
  Child forward({QPR_HOST_BIN, "--forward", d + "-a", d + "-b", "--events", d + "-fwd.jsonl", "--pcap", d + ".pcap"},
                d + "-view.txt", d + "-err.txt");
  ASSERT_TRUE(WaitFor([&] { return Contains(Slurp(d + "-view.txt"), "B (power system) open"); })) << Slurp(d + "-err.txt");
  ASSERT_EQ(RunToEnd({QPR_HOST_BIN, "--plugin", QPR_PLUGIN, "--config", kSource + "/examples/site.json", "--port",
                      d + "-ctl", "--rounds", "3", "--no-round-wait", "--reply-pause-ms", "0", "--poll-ms", "2",
                      "--events", d + "-run.jsonl", "--quiet"},
                     "/dev/null", d + "-run-err.txt"),
            0)
      << Slurp(d + "-run-err.txt");
  // Nothing changed or lost in transit: the controller's line and the system's carry the same bytes both ways.
  WaitFor([&] { return Dumped(d + "-dump-a.txt") == Dumped(d + "-dump-b.txt"); }, 5);
  const auto a = Dumped(d + "-dump-a.txt"), b = Dumped(d + "-dump-b.txt");
  EXPECT_GT(a[0].size(), 300u);
  EXPECT_GT(a[1].size(), 1000u);
  EXPECT_EQ(a[0], b[0]) << "controller to system";
  EXPECT_EQ(a[1], b[1]) << "system to controller";
  EXPECT_EQ(forward.Stop(SIGINT), 0);

  // The forwarder saw the frames the runner sent and accepted, each reply after its command.
  std::vector<std::string> sent, answered, commands, replies;
  for (const auto& e : ReadEvents(d + "-run.jsonl"))
    if (e["event"] == "command") sent.push_back(e["frame"].asString());
    else if (e["event"] == "reply") answered.push_back(e["frame"].asString());
  const auto frames = ReadEvents(d + "-fwd.jsonl");
  Json::Value command;
  for (const auto& e : frames) {
    ASSERT_EQ(e["event"], "frame");
    EXPECT_TRUE(e["ok"].asBool()) << e;
    EXPECT_FALSE(e.isMember("problem")) << e;
    if (e["dir"] == "command") {
      commands.push_back(e["frame"].asString());
      command = e;
      continue;
    }
    replies.push_back(e["frame"].asString());
    EXPECT_EQ(e["cid1"], command["cid1"]) << e;
    EXPECT_EQ(e["cid2"], command["cid2"]) << e;
    EXPECT_EQ(e["rtn"], "00");
    EXPECT_GT(e["latency_ms"].asDouble(), 0.0) << e;
    EXPECT_GE(e["t"].asInt64(), command["t"].asInt64());
    EXPECT_NE(e["summary"].asString(), "") << e;  // every reply of the round is decoded
  }
  EXPECT_EQ(commands, sent);
  EXPECT_EQ(replies, answered);
  // One pcap record a frame.
  const std::string pcap = Slurp(d + ".pcap");
  std::size_t records = 0;
  for (std::size_t at = 24; at + 16 <= pcap.size(); ++records) {
    std::uint32_t length = 0;
    std::memcpy(&length, pcap.data() + at + 8, 4);
    at += 16 + length;
  }
  EXPECT_EQ(records, frames.size());
}

// The system's line goes away and comes back: the controller's line stays
// open throughout and the controller's rounds go on.
TEST(Forward, ALostLineIsReopenedWithoutTheOther) {
  const std::string d = Temp("reopen");
  auto lineA = Line(d + "-ctl", d + "-a", "/dev/null");
  auto lineB = Line(d + "-b", d + "-sim", "/dev/null");
  auto sim = Simulator(d + "-sim", d + "-sim.txt");
  Child forward({QPR_HOST_BIN, "--forward", d + "-a", d + "-b", "--reopen-ms", "50", "--duration", "60"},
                d + "-view.txt", d + "-err.txt");
  ASSERT_TRUE(WaitFor([&] { return Contains(Slurp(d + "-view.txt"), "B (power system) open"); }));
  Child host({QPR_HOST_BIN, "--plugin", QPR_PLUGIN, "--config", kSource + "/examples/site.json", "--port", d + "-ctl",
              "--no-round-wait", "--reply-pause-ms", "0", "--poll-ms", "2", "--comm-lost-s", "1", "--quiet",
              "--duration", "60"},
             d + "-host.txt", d + "-host-err.txt");
  ASSERT_TRUE(WaitFor([&] { return Contains(Slurp(d + "-host.txt"), "ONLINE"); })) << Slurp(d + "-host.txt");
  sim.reset();
  lineB.reset();
  ASSERT_TRUE(WaitFor([&] { return Contains(Slurp(d + "-host.txt"), "COMM LOST"); })) << Slurp(d + "-host.txt");
  lineB = Line(d + "-b", d + "-sim", "/dev/null");
  sim = Simulator(d + "-sim", d + "-sim2.txt");
  EXPECT_TRUE(WaitFor([&] { return Contains(Slurp(d + "-host.txt"), "COMM RESTORED"); })) << Slurp(d + "-view.txt");
  const std::string view = Slurp(d + "-view.txt");
  EXPECT_TRUE(Contains(view, "B (power system): closed")) << view;
  EXPECT_EQ(view.find("A (controller) open"), view.rfind("A (controller) open")) << view;  // opened once
  EXPECT_EQ(host.Stop(SIGTERM), 0);
  EXPECT_EQ(forward.Stop(SIGTERM), 0);
}

}  // namespace
