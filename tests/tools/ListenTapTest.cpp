// Listen mode without a line: its command line, which tapped reply reaches
// the plug-in, what is said once, and what each frame event flags.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/PMBusProtocol.h"
#include "tools/host/cli/Options.h"
#include "tools/host/loop/ListenTap.h"

namespace {

using runner::ListenTap;
using runner::TappedFrame;

std::string Frame(unsigned char adr, unsigned char cid1, unsigned char cid2, std::vector<unsigned char> info = {}) {
  return yd1363::Encode(0x21, adr, cid1, cid2, info.data(), info.size());
}
const std::string kAcAnalog = Frame(1, 0x40, 0x41, {0xFF});
const std::string kAcReply = Frame(1, 0x40, 0x00, {0x00, 0x01, 0x12, 0x34});
const std::string kRcAnalog = Frame(1, 0x41, 0x41);
const std::string kRcReply = Frame(1, 0x41, 0x00, {0x00, 0x02});

struct Seen {
  std::vector<TappedFrame> frames;
  std::vector<std::string> notices, replies;
};

// The tap expecting `expect`, fed `chunks` (bytes, seconds); a reply handed
// on makes the plug-in expect `next`, as its cycle would.
Seen Tap(const std::string& expect, const std::vector<std::pair<std::string, double>>& chunks,
         const std::string& next = "") {
  Seen s;
  ListenTap* self = nullptr;
  ListenTap tap(
      1000,
      [&](runner::Stamped o) {
        if (const auto* f = std::get_if<TappedFrame>(&o.what)) s.frames.push_back(*f);
        if (const auto* n = std::get_if<runner::Notice>(&o.what)) s.notices.push_back(n->text);
      },
      [&](const std::string& reply) {
        s.replies.push_back(reply);
        if (!next.empty()) self->Expect(next);
      });
  self = &tap;
  tap.Expect(expect);
  for (const auto& [bytes, t] : chunks) tap.Bytes(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), t);
  tap.Finish();
  return s;
}

TEST(ListenTap, OnlyTheReplyToTheExpectedCommandReachesThePlugin) {
  std::string badChecksum = kAcAnalog;
  badChecksum[badChecksum.size() - 2] = badChecksum[badChecksum.size() - 2] == '0' ? '1' : '0';
  struct Case {
    const char* name;
    std::string expect;
    std::vector<std::pair<std::string, double>> chunks;
    std::vector<std::string> replies;
    std::string notice;  // a part of the one notice said, "" for none
  } cases[] = {
      {"the same command", kAcAnalog, {{kAcAnalog, 10.0}, {kAcReply, 10.1}}, {kAcReply}, ""},
      {"two exchanges in one read", kAcAnalog, {{kAcAnalog + kAcReply + kRcAnalog + kRcReply, 10.0}},
       {kAcReply, kRcReply}, ""},
      {"another order, said once", kAcAnalog,
       {{kRcAnalog + kRcReply, 10.0}, {kRcAnalog + kRcReply, 12.0}},
       {},
       "asks 41/41 where the plug-in's cycle asks 40/41"},
      {"other INFO", kAcAnalog, {{Frame(1, 0x40, 0x41, {0x01}) + kAcReply, 10.0}}, {}, "other INFO"},
      {"another address", kAcAnalog, {{Frame(2, 0x40, 0x41, {0xFF}) + Frame(2, 0x40, 0x00), 10.0}}, {},
       "polls address 02 too"},
      {"a command the plug-in never sends", kAcAnalog, {{Frame(1, 0x40, 0x4F) + kAcReply, 10.0}}, {},
       "40/4F, a command the plug-in does not send"},
      {"no model query on the line", Frame(1, 0x40, 0x51), {{kAcAnalog + kAcReply, 10.0}}, {}, "model query (40/51)"},
      {"a damaged command", kAcAnalog, {{badChecksum + kAcReply, 10.0}}, {}, ""},
      {"a reply without command", kAcAnalog, {{kAcReply, 10.0}}, {}, ""},
      {"asked again after no reply", kAcAnalog, {{kAcAnalog, 10.0}, {kAcAnalog, 12.0}, {kAcReply, 12.1}},
       {kAcReply}, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Seen s = Tap(c.expect, c.chunks, kRcAnalog);
    EXPECT_EQ(s.replies, c.replies);
    if (!c.notice.empty()) {
      ASSERT_EQ(s.notices.size(), 1u);
      EXPECT_NE(s.notices[0].find(c.notice), std::string::npos) << s.notices[0];
    } else {
      EXPECT_TRUE(s.notices.empty()) << s.notices[0];
    }
  }
}

TEST(ListenTap, EachFrameSaysWhatIsWrongAroundIt) {
  std::string badChecksum = kAcReply;
  badChecksum[badChecksum.size() - 2] = badChecksum[badChecksum.size() - 2] == '0' ? '1' : '0';
  const Seen s = Tap(kRcAnalog, {{kAcAnalog, 10.0},
                                 {"xy" + badChecksum, 10.25},      // answers 40/41 after 250 ms, damaged
                                 {kRcAnalog, 11.0},                 // never answered
                                 {Frame(2, 0x41, 0x41), 11.05},    // another master while 41/41 awaits its reply
                                 {kRcReply, 14.0}});                // too late for either
  ASSERT_EQ(s.frames.size(), 5u);
  const TappedFrame& reply = s.frames[1];
  EXPECT_EQ(reply.dir, "reply");
  EXPECT_EQ(reply.cid2, 0x41);
  EXPECT_EQ(reply.len, 4u);
  EXPECT_FALSE(reply.ok);
  EXPECT_NEAR(reply.latencyMs, 250.0, 0.5);
  EXPECT_EQ(reply.problem, "bad CHKSUM; 2 garbage bytes before");
  EXPECT_EQ(s.frames[0].problem, "");
  EXPECT_EQ(s.frames[2].problem, "command without reply; two masters: a command while another awaited its reply");
  EXPECT_EQ(s.frames[3].problem, "command without reply; two masters: a command while another awaited its reply");
  EXPECT_EQ(s.frames[4].problem, "reply without command");
  EXPECT_TRUE(s.replies.empty());
}

TEST(ListenOptions, TheListenedLineIsTheRunsOnlySource) {
  const auto parse = [](std::vector<const char*> args) {
    args.insert(args.begin(), "qpr2427k-host");
    return runner::ParseOptions(static_cast<int>(args.size()), args.data());
  };
  const runner::RunOptions o = parse({"--listen", "tcp:converter:4001", "--http", "9100"});
  EXPECT_EQ(o.source, runner::Source::Listen);
  EXPECT_EQ(o.port, "tcp:converter:4001");
  const std::vector<std::pair<std::vector<const char*>, const char*>> refused = {
      {{"--listen", "/dev/ttyS1", "--port", "/dev/ttyS0"}, "give only one of --listen and --port"},
      {{"--simulate", "--listen", "-"}, "give only one of --listen and --simulate"},
      {{"--listen", "-", "--decode-capture", "c.log"}, "--listen is a polling run's source"},
      {{"--listen", ""}, "--listen needs a device"},
  };
  for (const auto& [args, message] : refused) {
    try {
      parse(args);
      ADD_FAILURE() << "accepted " << args[1] << " " << args[2];
    } catch (const runner::UsageError& e) {
      EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
    }
  }
}

}  // namespace
