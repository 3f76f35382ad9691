// Several simulated systems on one line: routing by address, silence for
// addresses nobody has, the silent and wrong-address faults, and the checks
// of a scenario with "systems".
#include <gtest/gtest.h>

#include <string>

#include "host/PMBusProtocol.h"
#include "tools/common/StrictJson.h"
#include "tools/sim/Bus.h"

namespace {

// Sends one command to `adr` over the bus; the decoded reply, or none.
std::optional<yd1363::Decoded> Ask(sim::Bus& bus, unsigned char adr, unsigned char cid1, unsigned char cid2) {
  const unsigned char group = 0xFF;
  const std::string cmd = yd1363::Encode(0x21, adr, cid1, cid2, &group, cid2 == 0x51 ? 0 : 1);
  const std::string reply = bus.Feed(cmd.data(), cmd.size(), 0);
  if (reply.empty()) return std::nullopt;
  yd1363::Decoded d;
  EXPECT_EQ(yd1363::Decode(reply.data() + 1, reply.size() - 2, d), "") << reply;
  return d;
}

sim::BusScenario Parse(const std::string& text) { return sim::ParseBusScenario(inputs::ParseStrictJson(text)); }

TEST(SimBus, EachSystemAnswersItsOwnAddressAndOtherAddressesMeetSilence) {
  sim::Bus bus(sim::LoadBusScenario(std::string(QPR_SOURCE_DIR_FOR_TESTS) + "/examples/scenarios/three-systems.json"));
  // address -> the model and the AC unit count of the example's system there
  const struct { unsigned char adr; const char* model; int acUnits; } rows[] = {
      {1, "QPR-24KV", 2}, {5, "QPR-36KM", 1}, {12, "QPR-24KV", 3}};
  for (const auto& row : rows) {
    const auto model = Ask(bus, row.adr, 0x40, 0x51);
    ASSERT_TRUE(model) << int(row.adr);
    EXPECT_EQ(model->adr, row.adr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(model->info.data())), row.model);
    const auto ac = Ask(bus, row.adr, 0x40, 0x41);
    ASSERT_TRUE(ac);
    EXPECT_EQ(ac->info.at(1), row.acUnits) << int(row.adr);
  }
  for (unsigned char adr : {0, 2, 4, 6, 11, 13, 255}) EXPECT_FALSE(Ask(bus, adr, 0x40, 0x51)) << int(adr);
  EXPECT_EQ(bus.unclaimed(), 7u);
  const std::string cut = "~21\r";  // no address to tell whose it is
  EXPECT_EQ(bus.Feed(cut.data(), cut.size(), 0), "");
  EXPECT_EQ(bus.unclaimed(), 8u);
  for (const auto& s : bus.systems()) EXPECT_EQ(s.stats().replies, 2u);
}

TEST(SimBus, SilentSystemsNeverAnswerAndWrongAddressStrikesEveryKthReply) {
  sim::Bus bus(Parse(R"({"systems": [
      {"address": 3, "silent": true},
      {"address": 4, "faults": [{"type": "wrong_address", "every": 3}]},
      {"address": 9, "faults": [{"type": "wrong_address", "every": 2, "address": 200, "command": "40/51"}]}]})"));
  std::string seen4, seen9;
  for (int k = 0; k < 6; ++k) {
    EXPECT_FALSE(Ask(bus, 3, 0x40, 0x51));
    seen4 += std::to_string(Ask(bus, 4, 0x40, 0x51)->adr) + " ";
    seen9 += std::to_string(Ask(bus, 9, 0x40, 0x51)->adr) + " ";
    EXPECT_EQ(Ask(bus, 9, 0x41, 0x41)->adr, 9);  // another command: never struck
  }
  EXPECT_EQ(seen4, "4 4 5 4 4 5 ");
  EXPECT_EQ(seen9, "9 200 9 200 9 200 ");
  EXPECT_EQ(bus.systems()[0].stats().unanswered, 6u);
  EXPECT_EQ(bus.systems()[1].stats().faults, 2u);
}

TEST(SimBus, ScenarioChecksNameTheSystemAndTheMember) {
  const struct { const char* json; const char* message; } rows[] = {
      {R"({"systems": [{"address": 2}, {"address": 2}]})", "systems[1].address: address 2 is also that of systems[0]"},
      {R"({"systems": [{}, {}]})", "systems[1].address: address 1"},
      {R"({"seed": 4, "systems": [{}]})", "seed: unknown member beside \"systems\""},
      {R"({"systems": []})", "systems: must be an array of 1 to 255"},
      {R"({"systems": [3]})", "systems[0]: must be an object"},
      {R"({"systems": [{"address": 1}, {"adress": 2}]})", "systems[1].adress: unknown member; did you mean \"address\"?"},
      {R"({"systems": [{"events": [{"type": "fuse_blown", "fuse": 99}]}]})", "systems[0].events[0].fuse"},
      {R"({"silent": 1})", "silent: must be true or false"},
      {R"({"faults": [{"type": "drop", "every": 2, "rate": 0.5}]})", "give \"every\" without"},
      {R"({"faults": [{"type": "drop", "every": 2, "address": 3}]})", "faults[0].address: goes with a \"wrong_address\""},
      {R"({"faults": [{"type": "wrong_address"}]})", "needs a \"rate\", \"every\" or a time"},
  };
  for (const auto& row : rows) {
    try {
      Parse(row.json);
      ADD_FAILURE() << "accepted " << row.json;
    } catch (const sim::ScenarioError& e) {
      EXPECT_NE(std::string(e.what()).find(row.message), std::string::npos) << e.what();
    }
  }
  // Without "systems": one system, as before; with it, seeds differ by default.
  EXPECT_EQ(Parse(R"({"address": 7})").systems.size(), 1u);
  const auto two = Parse(R"({"systems": [{"address": 1}, {"address": 2}, {"address": 3, "seed": 1}]})");
  EXPECT_EQ(two.systems[1].seed, 2u);
  EXPECT_EQ(two.systems[2].seed, 1u);
}

}  // namespace
