// Listen mode without a line: which tapped reply reaches the plug-in, what is
// said once, what each frame event flags, and the command line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "host/PMBusProtocol.h"
#include "tools/host/cli/Options.h"
#include "tools/host/loop/ListenTap.h"

namespace {

using Chunks = std::vector<std::pair<std::string, double>>;  // bytes, seconds

std::string Frame(unsigned char adr, unsigned char cid1, unsigned char cid2, std::vector<unsigned char> info = {}) {
  return yd1363::Encode(0x21, adr, cid1, cid2, info.data(), info.size());
}
std::string Damaged(std::string frame) {
  char& digit = frame[frame.size() - 2];  // the checksum's last
  digit = digit == '0' ? '1' : '0';
  return frame;
}
const std::string kAc = Frame(1, 0x40, 0x41, {0xFF}), kAcReply = Frame(1, 0x40, 0x00, {0x00, 0x01, 0x12, 0x34});
const std::string kRc = Frame(1, 0x41, 0x41), kRcReply = Frame(1, 0x41, 0x00, {0x00, 0x02});

struct Seen {
  std::vector<runner::FrameSeen> frames;
  std::vector<std::string> notices, replies;
};

// The tap expecting `expect`; a reply handed on makes it expect kRc next, as the plug-in's cycle would.
Seen Tap(const std::string& expect, const Chunks& chunks) {
  Seen s;
  runner::ListenTap* tap = nullptr;
  runner::ListenTap t(
      1000,
      [&](runner::Stamped o) {
        if (const auto* f = std::get_if<runner::FrameSeen>(&o.what)) s.frames.push_back(*f);
        if (const auto* n = std::get_if<runner::Notice>(&o.what)) s.notices.push_back(n->text);
      },
      [&](std::size_t, const std::string& reply, const runner::ListenTap::Remembered*) {
        s.replies.push_back(reply);
        tap->Expect(0, kRc);
      });
  tap = &t;
  t.Expect(0, expect);
  for (const auto& [bytes, at] : chunks) t.Bytes(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), at);
  t.Finish();
  return s;
}

TEST(ListenTap, OnlyTheReplyToTheExpectedCommandReachesThePlugin) {
  const struct {
    const char* name;
    std::string expect;
    Chunks chunks;
    std::vector<std::string> replies;
    std::string notice;  // part of the one notice said, "" for none
  } cases[] = {
      {"the same command", kAc, {{kAc, 10.0}, {kAcReply, 10.1}}, {kAcReply}, ""},
      {"two exchanges in one read", kAc, {{kAc + kAcReply + kRc + kRcReply, 10.0}}, {kAcReply, kRcReply}, ""},
      {"another order, said once", kAc, {{kRc + kRcReply, 10.0}, {kRc + kRcReply, 12.0}}, {},
       "asks 41/41 where the plug-in's cycle asks 40/41"},
      {"other INFO", kAc, {{Frame(1, 0x40, 0x41, {0x01}) + kAcReply, 10.0}}, {}, "other INFO"},
      {"another address", kAc, {{Frame(2, 0x40, 0x41, {0xFF}) + Frame(2, 0x40, 0x00), 10.0}}, {}, "address 02 too"},
      {"a command the plug-in never sends", kAc, {{Frame(1, 0x40, 0x4F) + kAcReply, 10.0}}, {}, "40/4F, a command"},
      {"no model query on the line", Frame(1, 0x40, 0x51), {{kAc + kAcReply, 10.0}}, {}, "model query (40/51)"},
      {"a damaged command", kAc, {{Damaged(kAc) + kAcReply, 10.0}}, {}, ""},
      {"a reply without command", kAc, {{kAcReply, 10.0}}, {}, ""},
      {"asked again after no reply", kAc, {{kAc, 10.0}, {kAc, 12.0}, {kAcReply, 12.1}}, {kAcReply}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Seen s = Tap(c.expect, c.chunks);
    EXPECT_EQ(s.replies, c.replies);
    ASSERT_EQ(s.notices.size(), c.notice.empty() ? 0u : 1u);
    if (!c.notice.empty()) {
      EXPECT_NE(s.notices[0].find(c.notice), std::string::npos) << s.notices[0];
    }
  }
}

TEST(ListenTap, EachFrameSaysWhatIsWrongAroundIt) {
  const Seen s = Tap(kRc, {{kAc, 10.0},
                           {"xy" + Damaged(kAcReply), 10.25},  // answers 40/41 after 250 ms, damaged
                           {kRc, 11.0},                        // never answered
                           {Frame(2, 0x41, 0x41), 11.05},      // a second master while 41/41 awaits its reply
                           {kRcReply, 14.0}});                 // too late for either
  ASSERT_EQ(s.frames.size(), 5u);
  const runner::FrameSeen& reply = s.frames[1];
  EXPECT_TRUE(s.frames[0].command);
  EXPECT_FALSE(reply.command);
  EXPECT_EQ(reply.cid2, 0x41);
  EXPECT_EQ(reply.len, 4u);
  EXPECT_FALSE(reply.ok);
  EXPECT_NEAR(reply.latencyMs, 250.0, 0.5);
  const std::string twoMasters = "no reply, two commands in a row";
  const std::vector<std::string> problems = {"", "bad CHKSUM; 2 garbage bytes before", twoMasters, twoMasters,
                                             "no command asked for it"};
  for (std::size_t k = 0; k < problems.size(); ++k) EXPECT_EQ(s.frames[k].problem, problems[k]) << k;
  EXPECT_TRUE(s.replies.empty());
}

const std::string kModel = Frame(1, 0x40, 0x51), kModelReply = Frame(1, 0x40, 0x00, {'M', '1'}),
                  kOtherModelReply = Frame(1, 0x40, 0x00, {'M', '2'});
std::string Text(const std::string& wire) { return wire.substr(0, wire.size() - 1); }  // without its CR

// The plug-in expecting the model query with `remembered` in its model file;
// each reply handed on makes it expect kAc, as the plug-in's cycle would.
struct ModelTap {
  runner::ModelFile models{"models.json"};
  std::vector<std::string> replies, notices, saved;
  std::vector<runner::Millis> from;  // per reply: when the remembered one was seen, 0 for the line's
  std::vector<bool> inRounds;        // per remembered reply: handed because the other master is in its rounds
  std::vector<std::size_t> systems;  // per reply: the system it was handed to
  runner::ListenTap tap{1000,
                        [this](runner::Stamped o) {
                          if (const auto* n = std::get_if<runner::Notice>(&o.what)) notices.push_back(n->text);
                        },
                        [this](std::size_t k, const std::string& reply, const runner::ListenTap::Remembered* r) {
                          replies.push_back(reply), from.push_back(r ? r->seen : 0), systems.push_back(k);
                          if (r) inRounds.push_back(r->masterInRounds);
                          tap.Expect(k, kAc);
                        }};
  explicit ModelTap(const std::string& remembered) {
    if (!remembered.empty()) models.Remember(1, {Text(remembered), 1796840722629});
    tap.RememberModels(&models, [this](std::string text) { saved.push_back(std::move(text)); });
    tap.Expect(0, kModel);
  }
  void Line(const std::string& bytes, double at) {
    tap.Bytes(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), at);
  }
};

TEST(ListenTap, ARememberedModelReplyStandsInUntilTheLineGivesOne) {
  {
    SCOPED_TRACE("the other master is in its rounds: the remembered reply, and its round joined at once");
    ModelTap m(kModelReply);
    m.Line(kAc + kAcReply, 10.0);
    EXPECT_EQ(m.replies, (std::vector<std::string>{kModelReply, kAcReply}));
    EXPECT_EQ(m.from, (std::vector<runner::Millis>{1796840722629, 0}));
    EXPECT_EQ(m.inRounds, std::vector<bool>{true});
    ASSERT_EQ(m.notices.size(), 1u);
    EXPECT_NE(m.notices[0].find("model taken from models.json, seen on the line at 20"), std::string::npos);
    // The other master restarts with another model: not asked for, kept from now on, and said.
    m.Line(kModel + kOtherModelReply, 20.0);
    EXPECT_EQ(m.replies.size(), 2u);
    EXPECT_EQ(m.models.For(1)->frame, Text(kOtherModelReply));
    EXPECT_NE(m.notices.back().find("differs from the one taken from models.json"), std::string::npos);
    ASSERT_EQ(m.saved.size(), 1u);
    EXPECT_NE(m.saved[0].find(Text(kOtherModelReply)), std::string::npos);
  }
  {
    SCOPED_TRACE("nothing remembered: the plug-in waits for the line's, which is kept");
    ModelTap m("");
    m.Line(kAc + kAcReply, 10.0);
    EXPECT_TRUE(m.replies.empty());
    EXPECT_FALSE(m.tap.Unanswered(0));
    m.tap.Expect(0, kModel);  // the device asks again
    ASSERT_EQ(m.notices.size(), 1u);
    EXPECT_NE(m.notices[0].find("model query (40/51)"), std::string::npos);
    m.Line(kModel + kModelReply, 20.0);
    EXPECT_EQ(m.replies, std::vector<std::string>{kModelReply});
    EXPECT_EQ(m.from, std::vector<runner::Millis>{0});
    ASSERT_NE(m.models.For(1), nullptr);
    EXPECT_EQ(m.models.For(1)->seen, 20000);
    EXPECT_EQ(m.saved.size(), 1u);
  }
  {
    SCOPED_TRACE("several systems: a system's cue is the other master polling its own address");
    ModelTap m(kModelReply);
    m.tap.SetSystems({2, 1});
    m.tap.Expect(1, kModel);
    m.Line(Frame(2, 0x40, 0x41, {0xFF}) + Frame(2, 0x40, 0x00), 10.0);
    EXPECT_TRUE(m.replies.empty());
    m.Line(kAc + kAcReply, 11.0);
    EXPECT_EQ(m.replies, (std::vector<std::string>{kModelReply, kAcReply}));
    EXPECT_EQ(m.systems, (std::vector<std::size_t>{1, 1}));
  }
  {
    SCOPED_TRACE("the wait ended on a quiet line");
    ModelTap m(kModelReply);
    EXPECT_TRUE(m.tap.Unanswered(0));
    EXPECT_EQ(m.replies, std::vector<std::string>{kModelReply});
    EXPECT_EQ(m.inRounds, std::vector<bool>{false});
  }
}

TEST(ListenTap, AModelFileIsReadWholeOrNotAtAll) {
  const std::string path = ::testing::TempDir() + "qpr-model-" + std::to_string(getpid()) + ".json";
  const std::string good = runner::ModelFile(path).Remember(1, {Text(kModelReply), 1796840722629});
  const struct {
    const char* name;
    std::string text;
    std::string problem;  // part of what Load() says; "" when it is read
  } cases[] = {
      {"as written", good, ""},
      {"not JSON", "{\"model_replies\": [", "not valid JSON"},
      {"no list", "{}", "no \"model_replies\" list"},
      {"a reply from another address", runner::ModelFile(path).Remember(2, {Text(kModelReply), 5}), "entry 1"},
      {"a damaged frame", runner::ModelFile(path).Remember(1, {Damaged(Text(kModelReply)) , 5}), "entry 1"},
      {"a reply to another command", runner::ModelFile(path).Remember(1, {Text(Frame(1, 0x41, 0x00)), 5}), "entry 1"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(path) << c.text;
    runner::ModelFile m(path);
    const std::string problem = m.Load();
    EXPECT_NE(problem.find(c.problem), std::string::npos) << problem;
    EXPECT_EQ(problem.empty(), c.problem.empty()) << problem;
    EXPECT_EQ(m.For(1) != nullptr, c.problem.empty());
  }
  unlink(path.c_str());
  EXPECT_EQ(runner::ModelFile(path).Load(), "");  // none yet
}

TEST(ListenOptions, TheListenedLineIsTheRunsOnlySource) {
  const auto parse = [](std::vector<const char*> args) {
    args.insert(args.begin(), "qpr2427k-host");
    return runner::ParseOptions(static_cast<int>(args.size()), args.data());
  };
  const runner::RunOptions o = parse({"--listen", "tcp:converter:4001", "--http", "9100"});
  EXPECT_EQ(o.source, runner::Source::Listen);
  EXPECT_EQ(o.port, "tcp:converter:4001");
  EXPECT_THROW(parse({"--listen", "/dev/ttyS1", "--port", "/dev/ttyS0"}), runner::UsageError);
  EXPECT_THROW(parse({"--listen", "-", "--decode-capture", "c.log"}), runner::UsageError);
  EXPECT_EQ(parse({"--listen", "-", "--save-cache", "c.json"}).modelFile, "c.json.model");
  EXPECT_EQ(parse({"--listen", "-", "--save-cache", "c.json", "--model-file", "m.json"}).modelFile, "m.json");
  EXPECT_EQ(parse({"--listen", "-"}).modelFile, "");
  EXPECT_THROW(parse({"--port", "/dev/ttyS0", "--model-file", "m.json"}), runner::UsageError);
}

}  // namespace
