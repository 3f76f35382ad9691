// Discovery against the built-in simulator over a pseudo-terminal: what it
// finds, the settings it writes for that, and the commands it sends.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <boost/asio/io_context.hpp>
#include <memory>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "host/PMBusProtocol.h"
#include "host/json.h"
#include "tools/host/cli/Discover.h"
#include "tools/host/line/Links.h"
#include "tools/host/loop/SettingsCheck.h"
#include "tools/host/loop/SystemList.h"

namespace {

using namespace runner;

// Passes everything to another link and keeps what was written.
class RecordingLink : public Link {
 public:
  explicit RecordingLink(std::unique_ptr<Link> inner) : inner_(std::move(inner)) {}
  void Start(OnBytes onBytes, OnEnd onEnd) override { inner_->Start(std::move(onBytes), std::move(onEnd)); }
  void Write(const unsigned char* data, std::size_t length) override {
    written += std::string(reinterpret_cast<const char*>(data), length);
    inner_->Write(data, length);
  }
  void Close() override { inner_->Close(); }

  // The commands written, decoded; a frame that does not decode fails the test.
  std::vector<yd1363::Decoded> Commands() const {
    std::vector<yd1363::Decoded> out;
    for (std::size_t at = 0; at < written.size();) {
      const std::size_t end = written.find('\r', at);
      yd1363::Decoded d;
      EXPECT_EQ(yd1363::Decode(written.data() + at + 1, end - at - 1, d), "") << written.substr(at, end - at);
      out.push_back(d);
      at = end + 1;
    }
    return out;
  }
  std::string written;

 private:
  std::unique_ptr<Link> inner_;
};

// Parses strictly; an empty value when the text is not one JSON object.
Json::Value ParseSettings(const std::string& text) {
  Json::CharReaderBuilder b;
  Json::CharReaderBuilder::strictMode(&b.settings_);
  std::unique_ptr<Json::CharReader> reader(b.newCharReader());
  Json::Value root;
  std::string errors;
  EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &root, &errors)) << errors << text;
  return root;
}

sim::Scenario Site(unsigned char address) {
  sim::Scenario s = sim::DefaultScenario();
  s.address = address;
  s.model = "QPR-36KM";
  s.versionMajor = 2;
  s.versionMinor = 5;
  s.maker = "Acme Power";
  s.ac.assign(3, sim::AcUnitSpec{});
  s.ac[0].channels = 2;
  s.dc.assign(2, sim::DcUnitSpec{});
  s.rectifier.modules = 5;
  return s;
}

TEST(Discover, FindsTheSystemAndWritesSettingsTheRunnerTakes) {
  boost::asio::io_context io;
  RecordingLink link(OpenSimulated(io, Site(1)));
  DiscoverOptions o;
  o.firstId = 40;
  const Discovered d = Discover(io, link, o);
  EXPECT_EQ(d.model, "QPR-36KM");
  EXPECT_EQ(d.maker, "Acme Power");
  EXPECT_EQ(d.versionMajor, 2);
  EXPECT_EQ(d.versionMinor, 5);
  EXPECT_EQ(d.acUnits, 3u);
  EXPECT_EQ(d.acChannels, 2u);
  EXPECT_EQ(d.dcUnits, 2u);
  EXPECT_EQ(d.rectifierModules, 5u);

  // Exactly the four commands, as the plug-in frames them.
  using Command = std::tuple<int, int, int, int, std::vector<unsigned char>>;
  std::vector<Command> sent;
  for (const auto& c : link.Commands()) sent.emplace_back(c.ver, c.adr, c.cid1, c.cid2, c.info);
  const std::vector<unsigned char> all{0xFF}, none;
  EXPECT_EQ(sent, (std::vector<Command>{{0x21, 1, 0x40, 0x51, none},
                                        {0x21, 1, 0x40, 0x41, all},
                                        {0x21, 1, 0x41, 0x41, none},
                                        {0x21, 1, 0x42, 0x41, all}}));

  const std::string text = SettingsJson(d, o);
  const Json::Value root = ParseSettings(text);
  EXPECT_EQ(root["data_id"].asUInt(), 40u);
  EXPECT_EQ(root["address"].asUInt(), 1u);
  ASSERT_EQ(root["acSetting"].size(), 3u);
  ASSERT_EQ(root["dcSetting"].size(), 2u);
  for (unsigned k = 0; k < 3; ++k) EXPECT_EQ(root["acSetting"][k]["data_id"].asUInt(), 41 + k);
  for (unsigned k = 0; k < 2; ++k) EXPECT_EQ(root["dcSetting"][k]["data_id"].asUInt(), 44 + k);
  EXPECT_TRUE(root["rcSetting"].isObject());
  // Keys in the settings files' order.
  EXPECT_LT(text.find("\"data_id\""), text.find("\"address\""));
  EXPECT_LT(text.find("\"address\""), text.find("\"acSetting\""));
  EXPECT_LT(text.find("\"acSetting\""), text.find("\"dcSetting\""));
  EXPECT_LT(text.find("\"dcSetting\""), text.find("\"rcSetting\""));
}

// Wire text of a reply from address 1, without the CR.
std::string ReplyText(unsigned char cid1, std::vector<unsigned char> info) {
  std::string f = yd1363::Encode(0x21, 1, cid1, 0, info.data(), info.size());
  f.pop_back();
  return f;
}

// The four replies of a small system at address 1 (one AC unit of one channel,
// four modules, one DC unit), as wire text.
struct SmallSystem {
  std::string model, ac, rc, dc;
};
SmallSystem SmallSystemReplies() {
  std::vector<unsigned char> model(32, 0);
  const std::string name = "QPR-24KV";
  std::copy(name.begin(), name.end(), model.begin());
  std::vector<unsigned char> ac{0, 1, 1};
  ac.resize(ac.size() + 16 + 1 + 12, 0);
  std::vector<unsigned char> rc{0, 0, 0, 0, 0, 4};
  rc.resize(rc.size() + 4 * 5, 0);
  std::vector<unsigned char> dc{0, 1};
  dc.resize(dc.size() + 8 + 3, 0);
  return {ReplyText(0x40, model), ReplyText(0x40, ac), ReplyText(0x41, rc), ReplyText(0x42, dc)};
}

TEST(Discover, ALateModelReplyIsNotTakenForTheAcReply) {
  // Model and AC replies share their unit code; this AC reply (one unit of one
  // channel) is even as long as the model reply.
  const SmallSystem r = SmallSystemReplies();
  boost::asio::io_context io;
  // The model query is answered twice, as when a repeated query's reply comes
  // after the first one's.
  auto link = OpenReplay(io, {{r.model + "\r" + r.model, 1}, {r.ac, 2}, {r.rc, 3}, {r.dc, 4}});
  const Discovered d = Discover(io, *link, DiscoverOptions{});
  EXPECT_EQ(d.model, "QPR-24KV");
  EXPECT_EQ(d.acUnits, 1u);
  EXPECT_EQ(d.acChannels, 1u);
  EXPECT_EQ(d.rectifierModules, 4u);
  EXPECT_EQ(d.dcUnits, 1u);
}

TEST(Discover, SettingsOfASystemWithoutUnitsHaveEmptyLists) {
  Discovered d;
  d.rectifierModules = 3;
  const Json::Value root = ParseSettings(SettingsJson(d, DiscoverOptions{}));
  EXPECT_TRUE(root["acSetting"].isArray());
  EXPECT_EQ(root["acSetting"].size(), 0u);
  EXPECT_TRUE(root["dcSetting"].isArray());
  EXPECT_EQ(root["dcSetting"].size(), 0u);
}

TEST(Discover, NamesTheUnansweredCommandAfterItsTries) {
  boost::asio::io_context io;
  RecordingLink link(OpenSimulated(io, Site(2)));
  DiscoverOptions o;
  o.timeoutMs = 50;
  o.tries = 2;
  try {
    Discover(io, link, o);
    ADD_FAILURE() << "discovered a system at the wrong address";
  } catch (const DiscoverError& e) {
    EXPECT_STREQ(e.what(), "the power system at address 1 does not answer 40/51 (2 tries)");
  }
  const auto sent = link.Commands();
  ASSERT_EQ(sent.size(), 2u);
  for (const auto& c : sent) EXPECT_EQ(c.cid2, 0x51);
}

TEST(Discover, ScanFindsEachSystemAndAsksSilentAddressesOnlyTheModel) {
  sim::BusScenario line;
  for (unsigned char adr : {3, 9, 20, 7, 14}) line.systems.push_back(Site(adr));
  line.systems[1].ac.resize(1);
  line.systems[3].silent = true;
  sim::FaultSpec wrong;  // every reply from address 15
  wrong.kind = sim::FaultKind::WrongAddress;
  wrong.every = 1;
  line.systems[4].faults.push_back(wrong);
  boost::asio::io_context io;
  RecordingLink link(OpenSimulated(io, line));
  DiscoverOptions o;
  o.firstId = 10;
  std::vector<unsigned> addresses;
  for (unsigned a = 1; a <= 24; ++a) addresses.push_back(a);
  const auto results = Scan(io, link, addresses, o, 100);

  ASSERT_EQ(results.size(), 24u);
  std::vector<unsigned> found;
  for (const auto& r : results) {
    SCOPED_TRACE(r.address);
    EXPECT_EQ(r.found.has_value(), r.answeredModel);
    if (r.found) found.push_back(r.address);
    EXPECT_EQ(r.note, r.address == 14 ? "a reply from address 15" : "");
  }
  EXPECT_EQ(found, (std::vector<unsigned>{3, 9, 20}));
  EXPECT_EQ(results[8].found->acUnits, 1u);
  // Where nobody answered, only the model query; a system found, its four commands.
  std::map<unsigned, std::string> asked;
  for (const auto& c : link.Commands()) asked[c.adr] += fmt::format("{:02X}/{:02X} ", c.cid1, c.cid2);
  for (unsigned a = 1; a <= 24; ++a)
    EXPECT_EQ(asked[a], a == 3 || a == 9 || a == 20 ? "40/51 40/41 41/41 42/41 " : "40/51 ") << a;

  // One settings list, data ids running on, that the checks take as it is.
  const Json::Value root = ParseSettings(SystemsSettingsJson(results, o));
  const auto systems = ListSystems(root);
  ASSERT_EQ(systems.size(), 3u);
  EXPECT_EQ(systems[1].address, 9u);
  EXPECT_EQ(systems[1].settings["data_id"].asUInt(), 16u);  // after 10 + 3 AC + 2 DC
  EXPECT_EQ(systems[2].settings["dcSetting"][1]["data_id"].asUInt(), 25u);
  for (const auto& s : systems) EXPECT_TRUE(CheckSettings(s.settings).empty()) << s.name;
  EXPECT_TRUE(CheckAcrossSystems(systems).empty());
}

TEST(Discover, ASystemSlowerThanTheScanIsAskedAgainAtTheEnd) {
  // Address 1 answers the model query only while address 2 is asked.
  const SmallSystem r = SmallSystemReplies();
  boost::asio::io_context io;
  auto link = OpenReplay(io, {{std::nullopt, 1}, {r.model, 2}, {r.model, 3}, {r.ac, 4}, {r.rc, 5}, {r.dc, 6}});
  const auto results = Scan(io, *link, {1, 2}, DiscoverOptions{}, 30);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_EQ(results[0].address, 1u);
  ASSERT_TRUE(results[0].found);
  EXPECT_EQ(results[0].found->rectifierModules, 4u);
  EXPECT_EQ(results[1].address, 2u);
  EXPECT_FALSE(results[1].found);
  EXPECT_EQ(results[1].note, "");  // the late reply is explained, not refused
}

}  // namespace
