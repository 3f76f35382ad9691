// Protocol engine: frame codec by hand-checked frames, and the receive path
// (reassembly, checks, exchange state, reply layout, settings).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "host/PMBusProtocol.h"
#include "tests/support/RecordingController.h"

using testing_support::RecordingController;
using Kind = ProtocolEvent::Kind;

namespace {

const unsigned char kGroup = 0xFF;

// Records a copy of each reply it is handed, as far as its length word reaches.
class RecordingDevice : public PMBusProtocol {
 public:
  std::vector<std::vector<unsigned char>> replies;
  bool resend = false;  // send the next command from inside process_payload()
  int exchangeOpenDuringPayload = -1;

  int process_payload() override {
    exchangeOpenDuringPayload = IsProcessing() ? 1 : 0;
    const unsigned lenid = reply_[4] | reply_[5] << 8;
    replies.emplace_back(reply_, reply_ + 6 + lenid / 2);
    if (resend) write_pmbus_cmd(0x41, 0x41);
    return 1;
  }
};

// "~" + body + its CHKSUM + CR, whatever the body holds.
std::string WithChecksum(const std::string& body) {
  char chk[5];
  std::snprintf(chk, sizeof chk, "%04X", yd1363::FrameChecksum(body.data(), body.size()));
  return "~" + body + chk + "\r";
}

std::string Reply(unsigned char cid1, const std::vector<unsigned char>& info = {},
                  unsigned char rtn = 0, unsigned char adr = 1) {
  return yd1363::Encode(0x21, adr, cid1, rtn, info.data(), info.size());
}

class Engine : public ::testing::Test {
 protected:
  void SetUp() override {
    dev->Init(ctl, 9, Json::Value());
    dev->SetReplyPause(std::chrono::microseconds(0));
  }
  int Feed(const std::string& bytes) {
    // A heap copy of exactly these bytes, so a read past them shows under ASan.
    std::vector<unsigned char> buf(bytes.begin(), bytes.end());
    return dev->process(buf.data(), static_cast<unsigned>(buf.size()));
  }
  int FeedBytewise(const std::string& bytes) {
    int n = 0;
    for (char c : bytes) n += Feed(std::string(1, c));
    return n;
  }
  void Command() { dev->write_pmbus_cmd(0x40, 0x41, &kGroup, 1); }
  std::vector<std::string> Reasons() const {
    std::vector<std::string> r;
    for (const auto& e : ctl->protocol)
      if (e.kind == Kind::Rejected) r.push_back(e.reason);
    return r;
  }

  std::shared_ptr<RecordingController> ctl = std::make_shared<RecordingController>();
  std::shared_ptr<RecordingDevice> dev = std::make_shared<RecordingDevice>();
};

// Sums worked by hand. '0'..'9' are 0x30..0x39, 'A' 0x41, 'E' 0x45, 'F' 0x46.
// LENGTH: LCHKSUM makes the three LENID nibbles plus itself 0 mod 16;
//   LENID 0x002: 0+0+2 = 2, -2 mod 16 = 0xE -> "E002"; LENID 0 -> "0000".
// CHKSUM = 0x10000 - (sum of the characters between '~' and CHKSUM):
//   "20014642E00201": 13 digits 13*0x30 + (2+0+0+1+4+6+4+2+0+0+2+0+1) = 0x270 + 0x16,
//                     + 'E' 0x45 = 0x2CB -> 0xFD35
//   "200146000000":   12*0x30 + (2+1+4+6) = 0x240 + 0xD = 0x24D -> 0xFDB3
//   "21012A500000":   11*0x30 + (2+1+0+1+2+5) = 0x210 + 0xB, + 'A' 0x41 = 0x25C -> 0xFDA4
//   "21014041E002FF": 11*0x30 + (2+1+0+1+4+0+4+1+0+0+2) = 0x210 + 0xF, + 'E' 0x45
//                     + 2*'F' 0x8C = 0x2F0 -> 0xFD10
//   "210141410000":   12*0x30 + (2+1+0+1+4+1+4+1) = 0x240 + 0xE = 0x24E -> 0xFDB2
struct KnownFrame {
  unsigned char ver, adr, cid1, cid2;  // header bytes
  std::vector<unsigned char> info;     // info bytes
  const char* wire;                    // the frame on the line
};
const KnownFrame kKnownFrames[] = {
    {0x20, 0x01, 0x46, 0x42, {0x01}, "~20014642E00201FD35\r"},
    {0x20, 0x01, 0x46, 0x00, {}, "~200146000000FDB3\r"},
    {0x21, 0x01, 0x2A, 0x50, {}, "~21012A500000FDA4\r"},
    {0x21, 0x01, 0x40, 0x41, {0xFF}, "~21014041E002FFFD10\r"},
    {0x21, 0x01, 0x41, 0x41, {}, "~210141410000FDB2\r"},
};

TEST(Codec, EncodesAndDecodesHandCheckedFrames) {
  for (const KnownFrame& f : kKnownFrames) {
    SCOPED_TRACE(f.wire);
    EXPECT_EQ(yd1363::Encode(f.ver, f.adr, f.cid1, f.cid2, f.info.data(), f.info.size()), f.wire);
    const std::string text(f.wire + 1, std::strlen(f.wire) - 2);
    yd1363::Decoded d;
    ASSERT_EQ(yd1363::Decode(text.data(), text.size(), d), "");
    EXPECT_EQ(d.ver, f.ver);
    EXPECT_EQ(d.adr, f.adr);
    EXPECT_EQ(d.cid1, f.cid1);
    EXPECT_EQ(d.cid2, f.cid2);
    EXPECT_EQ(d.info, f.info);
  }
}

TEST(Codec, LengthChecksumByHand) {
  // LENID 0x012: 0+1+2 = 3 -> 0xD; 0xFFF: 45 = 0x2D -> 3; 0x0A0: 10 -> 6; 0x800: 8 -> 8.
  EXPECT_EQ(yd1363::LengthChecksum(0x000), 0x0u);
  EXPECT_EQ(yd1363::LengthChecksum(0x012), 0xDu);
  EXPECT_EQ(yd1363::LengthChecksum(0xFFF), 0x3u);
  EXPECT_EQ(yd1363::LengthChecksum(0x0A0), 0x6u);
  EXPECT_EQ(yd1363::LengthChecksum(0x800), 0x8u);
}

TEST(Codec, EncodesTheLongestInfoAndRefusesLonger) {
  const std::vector<unsigned char> info(yd1363::kMaxInfoBytes, 0xA5);
  const std::string wire = yd1363::Encode(0x21, 1, 0x40, 0, info.data(), info.size());
  // LENID 0xFFE: 15+15+14 = 44 = 0x2C -> LCHKSUM 4.
  EXPECT_EQ(wire.substr(9, 4), "4FFE");
  EXPECT_EQ(wire.size(), 1 + 12 + 4094 + 4 + 1u);
  EXPECT_THROW(yd1363::Encode(0x21, 1, 0x40, 0, info.data(), info.size() + 1), std::length_error);
}

TEST(Codec, DecodeNamesWhatIsWrong) {
  struct Case {
    std::string text;    // between '~' and CR
    const char* reason;  // expected refusal
  };
  auto chk = [](const std::string& body) { return WithChecksum(body).substr(1, body.size() + 4); };
  const Case cases[] = {
      {"200146000000FDB", "short frame"},
      {"200146000000FDB3A", "odd length"},
      {"200146000000FDb3", "not hex"},
      {chk("20014600F002"), "bad LCHKSUM"},          // LENID 2 wants LCHKSUM E
      {chk("20014600E00201AB"), "LENID does not match the info length"},
      {chk("20014600C00401"), "LENID does not match the info length"},
      {"200146000000FDB4", "bad CHKSUM"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    yd1363::Decoded d;
    // Exactly sized heap copy: any read past the text is caught under ASan.
    std::vector<char> buf(c.text.begin(), c.text.end());
    EXPECT_EQ(yd1363::Decode(buf.data(), buf.size(), d), c.reason);
  }
}

TEST(Codec, EveryProperPrefixOfAFrameIsRefused) {
  const std::string wire = Reply(0x40, {1, 2, 3, 4, 5});
  const std::string text = wire.substr(1, wire.size() - 2);
  for (std::size_t n = 0; n < text.size(); ++n) {
    std::vector<char> buf(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n));
    yd1363::Decoded d;
    EXPECT_NE(yd1363::Decode(buf.data(), buf.size(), d), "") << n;
  }
}

TEST_F(Engine, CommandsCarryVersionAndAddress) {
  dev->version_ = 0x21;
  dev->write_pmbus_cmd(0x40, 0x41, &kGroup, 1);
  dev->write_pmbus_cmd(0x41, 0x41);
  EXPECT_EQ(ctl->sent, (std::vector<std::string>{"~21014041E002FFFD10\r", "~210141410000FDB2\r"}));
  EXPECT_EQ(dev->RefreshStatus(), 0);
  EXPECT_EQ(dev->GetStats().commands, 2u);
}

TEST_F(Engine, ReplyFedByteByByteIsHandedOverWithItsLayout) {
  std::vector<unsigned char> info(0x90);  // LENID 0x120: both length bytes matter
  for (std::size_t k = 0; k < info.size(); ++k) info[k] = static_cast<unsigned char>(k * 7);
  Command();
  EXPECT_EQ(FeedBytewise(Reply(0x42, info)), 1);
  ASSERT_EQ(dev->replies.size(), 1u);
  const auto& r = dev->replies[0];
  EXPECT_EQ(r[2], 0x42);
  EXPECT_EQ(r[3], 0x00);
  EXPECT_EQ(r[4], 0x20);  // LENID low byte first
  EXPECT_EQ(r[5], 0x01);
  EXPECT_EQ(std::vector<unsigned char>(r.begin() + 6, r.end()), info);
  EXPECT_EQ(dev->exchangeOpenDuringPayload, 0);
  EXPECT_EQ(dev->reply_, nullptr);
  EXPECT_EQ(dev->RefreshStatus(), 1);
  ASSERT_EQ(ctl->protocol.size(), 1u);
  EXPECT_EQ(ctl->protocol[0].kind, Kind::Reply);
  EXPECT_EQ(ctl->protocol[0].info, info);
  EXPECT_EQ(ctl->protocol[0].frame + "\r", Reply(0x42, info));
}

TEST_F(Engine, EmptyInfoReplyHasZeroLength) {
  Command();
  EXPECT_EQ(Feed(Reply(0x40)), 1);
  ASSERT_EQ(dev->replies.size(), 1u);
  EXPECT_EQ(dev->replies[0], (std::vector<unsigned char>{0x21, 0x01, 0x40, 0x00, 0x00, 0x00}));
}

TEST_F(Engine, AnySingleChangedCharacterIsRefused) {
  const std::string good = Reply(0x40, {0x00, 0x3C, 0x9A, 0xFF});
  const char replacements[] = {'0', '1', '9', 'A', 'F', 'a', 'f', 'G', ' ', '\0', '~', '\r'};
  int tried = 0;
  for (std::size_t pos = 1; pos + 1 < good.size(); ++pos) {
    for (char c : replacements) {
      if (c == good[pos]) continue;
      std::string bad = good;
      bad[pos] = c;
      dev->replies.clear();
      Command();
      EXPECT_EQ(Feed(bad), 0) << "position " << pos << " char " << int(c);
      EXPECT_TRUE(dev->replies.empty()) << "position " << pos << " char " << int(c);
      ++tried;
    }
  }
  EXPECT_GT(tried, 200);
  // The engine is still in step: the good frame goes through afterwards.
  Command();
  EXPECT_EQ(Feed(good), 1);
}

TEST_F(Engine, ChunksOfEverySizeGiveTheSameReplies) {
  const std::string stream = Reply(0x40, {1, 2}) + Reply(0x41, {3, 4, 5}) + Reply(0x42);
  for (std::size_t size = 1; size <= stream.size(); ++size) {
    SCOPED_TRACE(size);
    auto ctl2 = std::make_shared<RecordingController>();
    auto d = std::make_shared<RecordingDevice>();
    d->Init(ctl2, 9, Json::Value());
    d->resend = true;
    d->write_pmbus_cmd(0x40, 0x41);
    int handled = 0;
    for (std::size_t at = 0; at < stream.size(); at += size) {
      std::vector<unsigned char> chunk(stream.begin() + static_cast<std::ptrdiff_t>(at),
                                       stream.begin() + static_cast<std::ptrdiff_t>(std::min(stream.size(), at + size)));
      handled += d->process(chunk.data(), static_cast<unsigned>(chunk.size()));
    }
    EXPECT_EQ(handled, 3);
    ASSERT_EQ(d->replies.size(), 3u);
    EXPECT_EQ(d->replies[0][2], 0x40);
    EXPECT_EQ(d->replies[1], (std::vector<unsigned char>{0x21, 1, 0x41, 0, 6, 0, 3, 4, 5}));
    EXPECT_EQ(d->replies[2][2], 0x42);
  }
}

TEST_F(Engine, ReturnValueCountsOnlyDeliveredReplies) {
  dev->resend = true;
  Command();
  // accepted, bad checksum, accepted, wrong address, RTN 04 (ends the exchange), no command awaits
  std::string bad = Reply(0x40);
  bad[bad.size() - 2] = bad[bad.size() - 2] == '0' ? '1' : '0';
  const std::string stream = Reply(0x40) + bad + Reply(0x41) + Reply(0x41, {}, 0, 2) +
                             Reply(0x42, {}, 0x04) + Reply(0x42);
  EXPECT_EQ(Feed(stream), 2);
  EXPECT_EQ(dev->replies.size(), 2u);
  EXPECT_EQ(Reasons(), (std::vector<std::string>{"bad CHKSUM", "address is not ours",
                                                 "return code is not 00",
                                                 "no command awaits a reply"}));
  EXPECT_EQ(dev->GetStats().replies, 2u);
  EXPECT_EQ(dev->GetStats().rejected, 4u);
}

TEST_F(Engine, NoiseBeforeSoiIsDroppedSilently) {
  Command();
  EXPECT_EQ(Feed(std::string("\r\r\0 0123 junk\xFF", 15) + Reply(0x40, {7})), 1);
  EXPECT_TRUE(Reasons().empty());
  ASSERT_EQ(dev->replies.size(), 1u);
  EXPECT_EQ(dev->replies[0].back(), 7);
}

TEST_F(Engine, NewSoiCutsTheFrameShortAndStartsAgain) {
  Command();
  EXPECT_EQ(Feed("~21014000" + Reply(0x40, {9})), 1);
  EXPECT_EQ(Reasons(), (std::vector<std::string>{"frame cut short by a new SOI"}));
  ASSERT_EQ(ctl->protocol.size(), 2u);
  EXPECT_EQ(ctl->protocol[0].frame, "~21014000");
  EXPECT_EQ(dev->replies.size(), 1u);
}

TEST_F(Engine, OverlongFrameIsDroppedUpToTheNextSoi) {
  Command();
  const std::string longFrame = "~" + std::string(PMBusProtocol::kMaxFrameChars + 100, 'A') + "\r";
  EXPECT_EQ(Feed(longFrame + Reply(0x40)), 1);
  EXPECT_EQ(Reasons(), (std::vector<std::string>{"frame too long"}));
  EXPECT_EQ(dev->replies.size(), 1u);
}

TEST_F(Engine, LongestValidFrameIsAccepted) {
  const std::vector<unsigned char> info(yd1363::kMaxInfoBytes, 0x5A);
  Command();
  EXPECT_EQ(FeedBytewise(Reply(0x40, info)), 1);
  ASSERT_EQ(dev->replies.size(), 1u);
  EXPECT_EQ(dev->replies[0].size(), 6 + info.size());
  EXPECT_EQ(dev->replies[0][4], 0xFE);
  EXPECT_EQ(dev->replies[0][5], 0x0F);
}

TEST_F(Engine, LowerCaseHexIsRefusedEvenWithAMatchingChecksum) {
  std::string body = "21014000E002ab";
  Command();
  EXPECT_EQ(Feed(WithChecksum(body)), 0);
  for (char& c : body) c = static_cast<char>(std::toupper(c));
  EXPECT_EQ(Feed(WithChecksum(body)), 1);
  EXPECT_EQ(Reasons(), (std::vector<std::string>{"not hex"}));
  ASSERT_EQ(dev->replies.size(), 1u);
  EXPECT_EQ(dev->replies[0].back(), 0xAB);
}

TEST_F(Engine, LengthFieldMismatchesAreRefused) {
  Command();
  EXPECT_EQ(Feed(WithChecksum("21014000E0020102")), 0);  // says 2 chars, carries 4
  EXPECT_EQ(Feed(WithChecksum("21014000C00401")), 0);    // says 4 chars, carries 2
  EXPECT_EQ(Feed(WithChecksum("21014000000201")), 0);    // LCHKSUM 0 for LENID 2
  EXPECT_EQ(Reasons(), (std::vector<std::string>{"LENID does not match the info length",
                                                 "LENID does not match the info length",
                                                 "bad LCHKSUM"}));
  EXPECT_EQ(dev->RefreshStatus(), 0);  // still waiting for a good reply
}

TEST_F(Engine, NonZeroReturnCodeEndsTheExchangeWithoutPayload) {
  Command();
  EXPECT_EQ(Feed(Reply(0x40, {}, 0x04)), 0);
  EXPECT_TRUE(dev->replies.empty());
  EXPECT_EQ(dev->RefreshStatus(), 1);
  ASSERT_EQ(ctl->protocol.size(), 1u);
  EXPECT_EQ(ctl->protocol[0].rtn, 0x04);
  EXPECT_EQ(ctl->protocol[0].reason, "return code is not 00");
}

TEST_F(Engine, ReplyFromAnotherAddressKeepsWaiting) {
  Command();
  EXPECT_EQ(Feed(Reply(0x40, {}, 0, 2)), 0);
  EXPECT_EQ(dev->RefreshStatus(), 0);
  EXPECT_EQ(Feed(Reply(0x40)), 1);
  EXPECT_EQ(Reasons(), (std::vector<std::string>{"address is not ours"}));
}

TEST_F(Engine, ReplyWithoutACommandIsRefused) {
  EXPECT_EQ(Feed(Reply(0x40)), 0);
  Command();
  EXPECT_EQ(Feed(Reply(0x40) + Reply(0x40)), 1);  // the second finds no command
  EXPECT_EQ(Reasons(), (std::vector<std::string>(2, "no command awaits a reply")));
  EXPECT_EQ(dev->replies.size(), 1u);
}

TEST_F(Engine, TimeoutEndsTheExchangeAndDropsTheHalfFrame) {
  const std::string wire = Reply(0x40, {1, 2, 3});
  Command();
  Feed(wire.substr(0, 10));
  EXPECT_EQ(dev->RefreshStatus(), 0);
  dev->process_error();
  EXPECT_EQ(dev->RefreshStatus(), 1);
  EXPECT_EQ(dev->GetStats().timeouts, 1u);
  ASSERT_FALSE(ctl->protocol.empty());
  EXPECT_EQ(ctl->protocol.back().kind, Kind::Timeout);
  // The rest of the late frame cannot complete the dropped half.
  Command();
  EXPECT_EQ(Feed(wire.substr(10)), 0);
  EXPECT_TRUE(dev->replies.empty());
  EXPECT_EQ(Feed(wire), 1);
}

TEST_F(Engine, ResetAndNewCommandDropTheHalfFrame) {
  const std::string wire = Reply(0x40, {1});
  Command();
  Feed(wire.substr(0, 8));
  dev->Reset();
  EXPECT_EQ(dev->RefreshStatus(), 1);
  Command();
  Feed(wire.substr(0, 8));
  Command();  // a new command also ends what was half received
  EXPECT_EQ(Feed(wire.substr(8)), 0);
  EXPECT_TRUE(dev->replies.empty());
}

TEST_F(Engine, OverlongCommandIsLoggedAndNotSent) {
  const std::vector<unsigned char> info(yd1363::kMaxInfoBytes + 1, 0x11);
  dev->write_pmbus_cmd(0x40, 0x41, info.data(), static_cast<int>(info.size()));
  EXPECT_TRUE(ctl->sent.empty());
  EXPECT_EQ(dev->RefreshStatus(), 1);
  ASSERT_EQ(ctl->logs.size(), 1u);
  EXPECT_EQ(ctl->logs[0].args[0], "9");
  dev->write_pmbus_cmd(0x40, 0x41, info.data(), -5);  // negative length: empty info
  ASSERT_EQ(ctl->sent.size(), 1u);
  EXPECT_EQ(ctl->sent[0].substr(9, 4), "0000");
}

TEST_F(Engine, AddressSetting) {
  struct Case {
    const char* json;     // settings object
    bool ok;              // InitSetting result
    unsigned char adr;    // address afterwards
  };
  const Case cases[] = {
      {"{}", true, 1},
      {"null", true, 1},
      {"{\"address\": 7}", true, 7},
      {"{\"address\": 0}", true, 0},
      {"{\"address\": 255}", true, 255},
      {"{\"address\": 3.0}", true, 3},
      {"{\"address\": 256}", false, 1},
      {"{\"address\": -1}", false, 1},
      {"{\"address\": 2.5}", false, 1},
      {"{\"address\": \"7\"}", false, 1},
      {"{\"address\": true}", false, 1},
      {"{\"address\": [7]}", false, 1},
      {"{\"address\": 18446744073709551615}", false, 1},
      {"{\"address\": 1e30}", false, 1},
      {"[1]", false, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    Json::Value v;
    std::string errors;
    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    ASSERT_TRUE(reader->parse(c.json, c.json + std::strlen(c.json), &v, &errors)) << errors;
    auto d = std::make_shared<RecordingDevice>();
    auto ctl2 = std::make_shared<RecordingController>();
    d->Init(ctl2, 4, Json::Value());
    bool ok = false;
    EXPECT_NO_THROW(ok = d->InitSetting(v));
    EXPECT_EQ(ok, c.ok);
    EXPECT_EQ(d->Address(), c.adr);
    if (!c.ok && v.isObject()) {
      ASSERT_EQ(ctl2->logs.size(), 1u);
      EXPECT_NE(ctl2->logs[0].format.find("\"address\""), std::string::npos);
    }
  }
}

TEST_F(Engine, ConfiguredAddressIsUsedBothWays) {
  Json::Value v;
  v["address"] = 0x2A;
  ASSERT_TRUE(dev->InitSetting(v));
  dev->version_ = 0x21;
  dev->write_pmbus_cmd(0x41, 0x41);
  EXPECT_EQ(ctl->sent.back().substr(0, 5), "~212A");
  EXPECT_EQ(Feed(Reply(0x41, {}, 0, 1)), 0);
  EXPECT_EQ(Feed(Reply(0x41, {}, 0, 0x2A)), 1);
  // Settings without the key bring the default back.
  ASSERT_TRUE(dev->InitSetting(Json::Value(Json::objectValue)));
  EXPECT_EQ(dev->Address(), 1);
}

}  // namespace
