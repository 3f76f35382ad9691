// The frame decoder of captures: the reader's faults and chunking, pairing,
// reply values, a synthetic capture with a known truth, and the runner's
// --decode-capture, --pcap (read back by tshark with the dissector) and --to-replay.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "bench/SyntheticCapture.h"
#include "host/PMBusProtocol.h"
#include "tests/support/EventFile.h"
#include "tests/tools/ProcessSupport.h"
#include "tools/host/wire/Fields.h"
#include "tools/host/wire/FrameReader.h"
#include "tools/host/wire/Pairing.h"
#include "tools/sim/Simulator.h"

namespace {

using process_support::Contains;
using process_support::Slurp;

std::vector<wire::Frame> Read(const std::string& bytes, std::size_t chunk = 0, double time = 0) {
  std::vector<wire::Frame> frames;
  wire::FrameReader reader([&](wire::Frame&& f) { frames.push_back(std::move(f)); });
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  if (chunk == 0) chunk = bytes.size();
  for (std::size_t at = 0; at < bytes.size(); at += chunk) reader.Feed(data + at, std::min(chunk, bytes.size() - at), time);
  reader.Finish();
  return frames;
}

const std::string kCommand = yd1363::Encode(0x21, 1, 0x41, 0x41, nullptr, 0);  // with CR

std::string Replace(std::string s, std::size_t at, char c) {
  s[at] = c;
  return s;
}

TEST(FrameReader, FaultsOfEachDamage) {
  const std::string body = kCommand.substr(0, kCommand.size() - 1);  // '~' .. CHKSUM
  struct Row {
    const char* what;
    std::string bytes;
    unsigned faults;  // of the first frame
    std::size_t frames;
  } rows[] = {
      {"intact", kCommand, 0, 1},
      {"CHKSUM digit changed", Replace(kCommand, 16, kCommand[16] == '0' ? '1' : '0'), wire::kBadChecksum, 1},
      {"LCHKSUM digit changed", Replace(kCommand, 9, '1'), wire::kBadLengthChecksum | wire::kBadChecksum, 1},
      {"LENID changed", yd1363::Encode(0x21, 1, 0x41, 0x41, nullptr, 0).replace(9, 4, "E002"),
       wire::kLengthMismatch, 1},
      {"lower-case hex", Replace(kCommand, 16, 'b'), wire::kNotHex, 1},
      {"too short", "~2101\r", wire::kTooShort, 1},
      {"new SOI before EOI", body + kCommand, wire::kCutShort, 2},
      {"capture ends inside", body, wire::kUnterminated, 1},
  };
  for (const auto& row : rows) {
    const auto frames = Read(row.bytes);
    ASSERT_EQ(frames.size(), row.frames) << row.what;
    EXPECT_EQ(frames[0].faults, row.faults) << row.what << ": " << wire::FaultText(frames[0].faults);
    if (row.frames > 1) {
      EXPECT_TRUE(frames[1].Intact()) << row.what;
    }
  }
}

TEST(FrameReader, AnyChunkingGivesTheSameFramesAndGarbage) {
  const std::string line = "\x01\x02" + kCommand + "noise" + yd1363::Encode(0x21, 1, 0x41, 0x00, nullptr, 0) + "\r";
  const auto whole = Read(line);
  ASSERT_EQ(whole.size(), 2u);
  EXPECT_EQ(whole[0].garbageBefore, 2u);
  EXPECT_EQ(whole[1].garbageBefore, 5u);
  EXPECT_EQ(whole[1].offset, 2 + kCommand.size() + 5);
  for (std::size_t chunk : {1, 3, 7}) {
    const auto pieces = Read(line, chunk);
    ASSERT_EQ(pieces.size(), whole.size()) << chunk;
    for (std::size_t k = 0; k < whole.size(); ++k) {
      EXPECT_EQ(pieces[k].text, whole[k].text) << chunk;
      EXPECT_EQ(pieces[k].faults, whole[k].faults) << chunk;
      EXPECT_EQ(pieces[k].garbageBefore, whole[k].garbageBefore) << chunk;
    }
  }
}

// Frames of address 1 as (CID2, time); the pairing's verdict on each.
TEST(Pairing, PairsCommandsWithRepliesAndFlagsTheRest) {
  struct Row {
    const char* what;
    std::vector<std::pair<unsigned char, double>> frames;
    std::vector<wire::Pair> pairs;
    std::vector<bool> collisions;
  } rows[] = {
      {"command, reply", {{0x41, 0}, {0x00, 0.2}}, {wire::Pair::Paired, wire::Pair::Paired}, {false, false}},
      {"reply alone", {{0x00, 0}}, {wire::Pair::NoCommand}, {false}},
      {"two commands in a row", {{0x41, 0}, {0x43, 0.1}, {0x00, 0.2}},
       {wire::Pair::NoReply, wire::Pair::Paired, wire::Pair::Paired}, {true, true, false}},
      {"reply after the time-out", {{0x41, 0}, {0x00, 1.5}}, {wire::Pair::NoReply, wire::Pair::NoCommand}, {false, false}},
      {"command at the end", {{0x41, 0}}, {wire::Pair::NoReply}, {false}},
      {"user return code answers a waiting command", {{0x41, 0}, {0x80, 0.1}},
       {wire::Pair::Paired, wire::Pair::Paired}, {false, false}},
  };
  for (const auto& row : rows) {
    std::vector<wire::Frame> out;
    wire::Pairing pairing([&](wire::Frame&& f) { out.push_back(std::move(f)); });
    for (const auto& [cid2, t] : row.frames) {
      const std::string text = yd1363::Encode(0x21, 1, 0x41, cid2, nullptr, 0);
      auto frames = Read(text, 0, t);
      pairing.Add(std::move(frames.at(0)));
    }
    pairing.Finish();
    ASSERT_EQ(out.size(), row.pairs.size()) << row.what;
    for (std::size_t k = 0; k < out.size(); ++k) {
      EXPECT_EQ(out[k].pair, row.pairs[k]) << row.what << " frame " << k;
      EXPECT_EQ(out[k].collision, row.collisions[k]) << row.what << " frame " << k;
    }
  }
  // A reply carries its command's CID2 and the time since it.
  std::vector<wire::Frame> out;
  wire::Pairing pairing([&](wire::Frame&& f) { out.push_back(std::move(f)); });
  pairing.Add(std::move(Read(kCommand, 0, 10.0).at(0)));
  pairing.Add(std::move(Read(yd1363::Encode(0x21, 1, 0x41, 0, nullptr, 0), 0, 10.25).at(0)));
  pairing.Finish();
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[1].commandCid2, 0x41);
  EXPECT_NEAR(out[1].latency, 0.25, 1e-9);
}

TEST(Fields, AnalogRepliesOfTheSimulatorReadWhole) {
  sim::Simulator simulator(sim::DefaultScenario());
  for (const auto& [cid1, what] : std::vector<std::pair<unsigned char, const char*>>{
           {0x40, " V "}, {0x41, "modules:"}, {0x42, "batteries"}}) {
    const std::string command = yd1363::Encode(0x21, 1, cid1, 0x41, nullptr, 0);
    const std::string reply = simulator.Answer(command.substr(0, command.size() - 1), 1);
    const auto frames = Read(reply);
    ASSERT_EQ(frames.size(), 1u);
    ASSERT_TRUE(frames[0].Intact());
    const wire::Meaning m = wire::DescribeReply(cid1, 0x41, frames[0].info);
    EXPECT_TRUE(Contains(m.summary, what)) << m.summary;
    EXPECT_EQ(m.problem, "") << m.summary;
    EXPECT_FALSE(m.values.empty());
    // INFO cut one byte short: the values its counts announce are missing.
    auto shorter = frames[0].info;
    shorter.pop_back();
    EXPECT_NE(wire::DescribeReply(cid1, 0x41, shorter).problem, "");
  }
  // The rectifier's module currents as the simulator set them.
  const std::string command = yd1363::Encode(0x21, 1, 0x41, 0x41, nullptr, 0);
  const auto frames = Read(simulator.Answer(command.substr(0, command.size() - 1), 1));
  const wire::Meaning m = wire::DescribeReply(0x41, 0x41, frames.at(0).info);
  ASSERT_EQ(m.values.size(), 1 + simulator.modules().size());
  for (std::size_t k = 0; k < simulator.modules().size(); ++k)
    EXPECT_FLOAT_EQ(static_cast<float>(m.values[1 + k].number), simulator.modules()[k].current);
  // Named as the catalogue names the published field.
  EXPECT_EQ(m.values[2].key, "rectifier_2_current");
  EXPECT_EQ(m.values[2].name, "Rectifier 2 output current");
  EXPECT_STREQ(m.values[2].unit, "A");
}

// The status, alarm and parameter replies of a round read whole, every value
// named by the catalogue; a state not 0 is said in the catalogue's words.
TEST(Fields, StatusAlarmAndParameterRepliesReadWholeWithTheCataloguesNames) {
  sim::Simulator simulator(sim::DefaultScenario());
  const auto info = [&](unsigned char cid1, unsigned char cid2) {
    const std::string command = yd1363::Encode(0x21, 1, cid1, cid2, nullptr, 0);
    return Read(simulator.Answer(command.substr(0, command.size() - 1), 1)).at(0).info;
  };
  const struct {
    unsigned char cid1, cid2;
    const char* what;
  } rows[] = {{0x40, 0x43, "2 units, 10 states"},     {0x40, 0x44, "none set"},
              {0x41, 0x43, "modules, "},               {0x41, 0x44, "none set"},
              {0x42, 0x44, "1 unit, "},                {0x40, 0x46, "AC current high limit "},
              {0x42, 0x46, "Battery capacity 200.0 Ah"}};
  for (const auto& row : rows) {
    const auto bytes = info(row.cid1, row.cid2);
    const wire::Meaning m = wire::DescribeReply(row.cid1, row.cid2, bytes);
    EXPECT_TRUE(Contains(m.summary, row.what)) << m.summary;
    EXPECT_EQ(m.problem, "") << m.summary;
    ASSERT_FALSE(m.values.empty());
    for (const auto& v : m.values) EXPECT_EQ(v.name.find('_'), std::string::npos) << v.key;  // the catalogue's name
    auto shorter = bytes;
    shorter.pop_back();
    EXPECT_NE(wire::DescribeReply(row.cid1, row.cid2, shorter).problem, "") << m.summary;
  }
  // The first module's on/off byte, after the data flag and the module count.
  auto status = info(0x41, 0x43);
  status.at(2) = 1;
  const wire::Meaning m = wire::DescribeReply(0x41, 0x43, status);
  EXPECT_TRUE(Contains(m.summary, ": Rectifier 1 on/off state off")) << m.summary;
  EXPECT_EQ(m.values.at(0).key, "rectifier_1_on_off");
  EXPECT_EQ(m.values.at(0).text, "off");
}

TEST(SyntheticCapture, DecodesIntactFramesFlagsDamagedOnesAndPairsCommands) {
  synth::Options o;
  o.frames = 5000;
  const synth::Capture capture = synth::Generate(o);
  const synth::Figures f = synth::Check(capture);
  ASSERT_GT(f.damagedSent, 100u);  // the capture is damaged enough to say something
  ASSERT_GT(f.answerable, 500u);
  EXPECT_GE(f.intactDecoded, f.intactSent * 999 / 1000) << f.intactDecoded << " of " << f.intactSent;
  EXPECT_EQ(f.damagedFlagged, f.damagedSent);
  EXPECT_EQ(f.decodedNotSent, 0u);
  EXPECT_GE(f.paired, f.answerable * 999 / 1000) << f.paired << " of " << f.answerable;
}

// ---------------------------------------------------------------- the runner

std::string Temp(const std::string& name) {
  return ::testing::TempDir() + "qpr-capture-" + std::to_string(getpid()) + "-" + name;
}

struct HostRun {
  int status;
  std::string out, err;
};

HostRun Host(const std::string& args) {
  const std::string out = Temp("out"), err = Temp("err");
  const int rc = process_support::System(std::string(QPR_HOST_BIN) + " " + args + " >" + out + " 2>" + err, 120);
  return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, Slurp(out), Slurp(err)};
}

const std::string kData = std::string(QPR_SOURCE_DIR) + "/tests/tools/data/";

TEST(DecodeCapture, DumpsOfSocatAndJpnevulatorAreRead) {
  struct Row {
    const char* file;
    std::vector<std::string> says;
  } rows[] = {
      {"socat-round.txt",
       {"2026-12-09 18:25:22.", "> adr 01 command 40/51 model", "< adr 01 reply   41/41 rectifier analog values",
        "output 53.5 V, 3 modules:", "frames 22, intact 22, damaged 0, paired 11, unpaired 0"}},
      {"jpnevulator-tap.txt",
       {"? adr 01 reply   40/41 AC analog values, RTN 00 normal, info 62 B, bad CHKSUM",
        "40/43 AC switch status, info 1 B, ok, 2 garbage bytes before",
        "frames 8, intact 7, damaged 1, paired 4, unpaired 0 (0 without reply, 0 without command), collisions 0, "
        "garbage bytes 2"}},
  };
  for (const auto& row : rows) {
    const HostRun r = Host("--decode-capture " + kData + row.file);
    EXPECT_EQ(r.status, 0) << r.err;
    for (const auto& s : row.says) EXPECT_TRUE(Contains(r.out, s)) << row.file << ": " << s << "\n" << r.out;
  }
  // jpnevulator without --timing-print: the hex lines alone, no times.
  std::istringstream timed(Slurp(kData + "jpnevulator-tap.txt"));
  std::string untimed;
  for (std::string line; std::getline(timed, line);)
    if (line.rfind("2026-", 0) != 0) untimed += line + "\n";
  const std::string untimedFile = Temp("untimed.txt");
  std::ofstream(untimedFile) << untimed;
  const HostRun bare = Host("--decode-capture " + untimedFile);
  EXPECT_TRUE(Contains(bare.out, "- ? adr 01 command 40/51 model, info 0 B, ok\n")) << bare.out << bare.err;
  EXPECT_TRUE(Contains(bare.out, "frames 8, intact 7, damaged 1, paired 4, unpaired 0")) << bare.out;

  const HostRun jsonl = Host("--decode-capture " + kData + "socat-round.txt --format jsonl");
  EXPECT_TRUE(Contains(jsonl.out, R"({"key":"rectifier_3_current","name":"Rectifier 3 output current","unit":"A",)"))
      << jsonl.out;
  EXPECT_TRUE(Contains(jsonl.out, R"({"summary":true,"frames":22,"intact":22,"damaged":0,"paired":11,)")) << jsonl.out;

  const HostRun csv = Host("--decode-capture " + kData + "socat-round.txt --format csv");
  EXPECT_EQ(std::count(csv.out.begin(), csv.out.end(), '\n'), 23) << csv.out;
  EXPECT_TRUE(Contains(csv.err, "frames 22")) << csv.err;
}

TEST(DecodeCapture, BadInputIsSaidInOneLine) {
  const std::string dump = Temp("bad.txt");
  std::ofstream(dump) << "> 2026/12/09 18:00:00.123456  length=3 from=0 to=2\n 7e 32 zz  ~2?\n";
  struct Row {
    std::string args, says;
    int status;
  } rows[] = {
      {"--decode-capture " + dump, "bad.txt:2: not a line of a socat -x -v dump", 1},
      {"--decode-capture /dev/null", "it is a character device, not a regular file", 1},
      {"--decode-capture " + Temp("missing"), "No such file or directory", 1},
      {"--decode-capture " + kData + "socat-round.txt --pcap /nonexistent/x.pcap", "cannot write the pcap file", 1},
  };
  for (const auto& row : rows) {
    const HostRun r = Host(row.args);
    EXPECT_EQ(r.status, row.status) << row.args;
    EXPECT_TRUE(Contains(r.err, row.says)) << row.args << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

// tshark with the dissector and no user configuration.
std::string Tshark(const std::string& pcap, const std::string& fields) {
  const std::string home = Temp("home"), out = Temp("tshark.txt");
  process_support::System("mkdir -p " + home);
  const int rc = process_support::System("HOME=" + home + " tshark -X lua_script:" + std::string(QPR_SOURCE_DIR) +
                                         "/tools/host/wireshark/qpr2427k.lua -r " + pcap + " -T fields" + fields +
                                         " >" + out + " 2>/dev/null");
  EXPECT_EQ(rc, 0) << "tshark failed (is it installed? scripts/install-deps.sh)";
  return Slurp(out);
}

TEST(DecodeCapture, PcapOfARunIsDissectedByTshark) {
  const std::string events = Temp("run.jsonl"), pcap = Temp("run.pcap");
  const HostRun run = Host(std::string("--plugin ") + QPR_PLUGIN + " --simulate --rounds 2 --no-round-wait --quiet " +
                       "--reply-pause-ms 0 --events " + events);
  ASSERT_EQ(run.status, 0) << run.err;
  const HostRun decoded = Host("--decode-capture " + events + " --pcap " + pcap);
  ASSERT_EQ(decoded.status, 0) << decoded.err;
  const auto frames = std::count(decoded.out.begin(), decoded.out.end(), '\n') - 1;
  EXPECT_TRUE(Contains(decoded.out, fmt::format("frames {0}, intact {0}, damaged 0, paired {1}, unpaired 0", frames,
                                                frames / 2)))
      << decoded.out;

  const std::string fields = Tshark(pcap, " -e qpr2427k.direction -e qpr2427k.adr -e qpr2427k.command -e qpr2427k.rtn"
                                          " -e qpr2427k.chksum_ok -e qpr2427k.lchksum_ok -e _ws.malformed -e _ws.expert"
                                          " -e qpr2427k.answers");
  std::istringstream lines(fields);
  std::string line;
  std::set<std::string> commands, answered;
  int n = 0;
  while (std::getline(lines, line)) {
    ++n;
    std::vector<std::string> f;
    std::istringstream cells(line);
    for (std::string c; std::getline(cells, c, '\t');) f.push_back(c);
    f.resize(9);
    EXPECT_EQ(f[1], "0x01") << line;
    EXPECT_EQ(f[4], "1") << line;  // CHKSUM correct
    EXPECT_EQ(f[5], "1") << line;  // LCHKSUM correct
    EXPECT_EQ(f[6] + f[7], "") << line;  // no malformed packet, no expert info
    if (f[0] == "1") {
      commands.insert(f[2]);
    } else {
      EXPECT_EQ(f[3], "0x00") << line;
      answered.insert(f[8]);
    }
  }
  EXPECT_EQ(n, frames);
  EXPECT_EQ(answered, commands);  // each reply named by the command it answers
  EXPECT_EQ(commands, (std::set<std::string>{
                          "40/41 AC analog values", "40/43 AC switch status", "40/44 AC alarm status",
                          "40/46 AC parameters", "40/51 model", "41/41 rectifier analog values",
                          "41/43 rectifier switch status", "41/44 rectifier alarm status", "42/41 DC analog values",
                          "42/44 DC alarm status", "42/46 DC parameters"}));

  // A reply with a damaged checksum draws the dissector's expert info.
  const std::string bad = Temp("bad.bin"), badPcap = Temp("bad.pcap");
  std::ofstream(bad, std::ios::binary) << kCommand << Replace(yd1363::Encode(0x21, 1, 0x41, 0, nullptr, 0), 15, 'A');
  ASSERT_EQ(Host("--decode-capture " + bad + " --pcap " + badPcap).status, 0);
  const std::string badFields = Tshark(badPcap, " -e qpr2427k.chksum_ok -e _ws.expert.message");
  EXPECT_TRUE(Contains(badFields, "0\tCHKSUM ")) << badFields;
}

TEST(ToReplay, ARunsEventsReplayToTheSameReplies) {
  const std::string events = Temp("orig.jsonl"), replay = Temp("replay.txt"), again = Temp("again.jsonl");
  const std::string run = std::string("--plugin ") + QPR_PLUGIN + " --no-round-wait --quiet --reply-pause-ms 0 --events ";
  ASSERT_EQ(Host(run + events + " --simulate --rounds 2").status, 0);
  const HostRun made = Host("--to-replay " + events);
  ASSERT_EQ(made.status, 0) << made.err;
  std::ofstream(replay) << made.out;
  const auto replies = [](const std::string& path) {
    std::vector<std::string> r;
    for (const auto& e : testing_support::ReadEvents(path))
      if (e["event"] == "reply") r.push_back(e["frame"].asString());
    return r;
  };
  const auto original = replies(events);
  ASSERT_GT(original.size(), 11u);
  EXPECT_EQ(std::count(made.out.begin(), made.out.end(), '~'), static_cast<long>(original.size())) << made.out;
  Host(run + again + " --replay " + replay + " --rounds 2");
  EXPECT_EQ(replies(again), original);
}

}  // namespace
