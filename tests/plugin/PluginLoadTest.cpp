// Loads the built qpr2427k.so the way the host does (dlopen, get_providers),
// into a program that has the host library but none of the plug-in's code,
// and runs whole polling rounds through the loaded devices.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "host/HostClock.h"
#include "host/PMBusProtocol.h"
#include "plugin/KLDSPDeviceProvider.h"
#include "plugin/get_providers.h"
#include "tests/support/RecordingController.h"
#include "tests/support/Bytes.h"
#include "tests/support/FrozenClock.h"

namespace {

using testing_support::Bytes;
using testing_support::Cat;

// Opened once and kept: the devices' code lives in the library.
void* Library() {
  static void* handle = dlopen(QPR_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  return handle;
}

GetProvidersFn Entry() {
  void* lib = Library();
  return lib ? reinterpret_cast<GetProvidersFn>(dlsym(lib, "get_providers")) : nullptr;
}

std::shared_ptr<KLDSPDevice> Create(const std::shared_ptr<Provider>& p) {
  return std::shared_ptr<KLDSPDevice>(static_cast<const KLDSPDeviceProvider&>(*p).create());
}

TEST(PluginLoad, LibraryLoadsWithHostSymbolsFromTheProgram) {
  ASSERT_NE(Library(), nullptr) << dlerror();
  EXPECT_NE(Entry(), nullptr);
  // Nothing else of the plug-in is visible by name.
  EXPECT_EQ(dlsym(Library(), "_ZN8QPR2427KC1Ev"), nullptr);
  EXPECT_EQ(dlsym(Library(), "_ZN16QPR2427KProviderD0Ev"), nullptr);
}

TEST(PluginLoad, ProvidersMakeTheFourDeviceTypesInOrder) {
  const GetProvidersFn getProviders = Entry();
  ASSERT_NE(getProviders, nullptr);
  const auto a = getProviders();
  const auto b = getProviders();
  ASSERT_EQ(a.size(), 4u);
  ASSERT_EQ(b.size(), 4u);
  std::set<const Provider*> distinct;
  for (const auto& p : a) distinct.insert(p.get());
  for (const auto& p : b) distinct.insert(p.get());
  EXPECT_EQ(distinct.size(), 8u);

  const std::vector<std::string> types = {"qpr2427k", "qpr2427k-ac", "qpr2427k-dc", "qpr2427k-rc"};
  for (std::size_t k = 0; k < 4; ++k) {
    ASSERT_NE(dynamic_cast<const KLDSPDeviceProvider*>(a[k].get()), nullptr);
    const auto one = Create(a[k]);
    const auto two = Create(b[k]);
    ASSERT_NE(one, nullptr);
    EXPECT_NE(one, two);
    EXPECT_EQ(one->DeviceType(), types[k]);
    EXPECT_EQ(two->DeviceType(), types[k]);
    EXPECT_TRUE(one->IsSupportDevice(types[k]));
  }
}

// ------------------------------------------------------------ whole rounds

constexpr auto F = testing_support::FloatBytes;

// Well-formed replies for one AC unit with one channel, one DC unit and two rectifier modules.
Bytes ReplyInfo(unsigned char unit, unsigned char data) {
  switch (unit << 8 | data) {
    case 0x4051: { Bytes m{'Q', 'P', 'R', '-', '2', '4', 'K', 'V'}; m.resize(20, 0); return m; }
    // flag, count; m = 1; a b c f; p = 0; ia ib ic
    case 0x4041: return Cat({{0x00, 1, 1}, F(220.5f), F(221.f), F(219.5f), F(50.f), {0}, F(10.f), F(11.f), F(12.f)});
    // flag, count; m = 2 switch bytes; p = 3 user bytes
    case 0x4043: return {0x00, 1, 2, 1, 0, 3, 7, 8, 9};
    // flag, count; unread byte; a b c f alerts (b too low), n = 0, p = 1, user; ia ib ic alerts (ic high)
    case 0x4044: return {0x00, 1, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 2};
    // flag; system value; M = 2; per module value, p = 0
    case 0x4141: return Cat({{0x00}, F(53.5f), {2}, F(30.f), {0}, F(31.f), {0}});
    // flag; M = 2; per module 3 status bytes, p = 0
    case 0x4143: return {0x00, 2, 0, 1, 0, 0, 0, 1, 0, 0};
    // flag; M = 2; per module fault, p = 3, three user alarm bytes (module 2: communication lost)
    case 0x4144: return {0x00, 2, 0, 3, 0, 0, 0, 0, 3, 0, 1, 0};
    // flag, count; v i; m = 0, n = 0, p = 0
    case 0x4241: return Cat({{0x00, 1}, F(53.2f), F(120.f), {0, 0, 0}});
    // flag, count; voltage state 2 (high); m = 0; p = 0
    case 0x4244: return {0x00, 1, 2, 0, 0};
    // five AC parameters, p = 0
    case 0x4046: return Cat({F(280.f), F(160.f), F(55.f), F(45.f), F(80.f), {0}});
    // two DC parameters, p = 5 and five user values
    case 0x4246: return Cat({F(57.f), F(45.f), {5}, F(1.f), F(2.f), F(3.f), F(4.f), F(5.f)});
  }
  return {};
}

class LoadedPort : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(Entry(), nullptr) << dlerror();
    providers = Entry()();
    port = Create(providers[0]);
    engine = dynamic_cast<PMBusProtocol*>(port.get());
    ASSERT_NE(engine, nullptr);
    engine->SetReplyPause(std::chrono::microseconds(0));
    Json::Value s(Json::objectValue);
    s["address"] = 2;
    s["acSetting"][0]["data_id"] = 201;
    s["dcSetting"][0]["data_id"] = 202;
    s["rcSetting"] = Json::Value(Json::objectValue);
    port->Init(ctl, 200, s);
    ASSERT_TRUE(port->InitSetting(s));
    children = port->GetAllChildVDevices();
  }

  // The command last sent, as unit code, data code and info bytes.
  yd1363::Decoded LastCommand() const {
    yd1363::Decoded d;
    const std::string& w = ctl->sent.back();
    EXPECT_EQ(yd1363::Decode(w.data() + 1, w.size() - 2, d), "");
    return d;
  }
  // Answers commands until the round ends; returns the commands answered as "CID1/CID2".
  std::vector<std::string> Round() {
    std::vector<std::string> seen;
    if (!port->IsProcessing()) {
      EXPECT_EQ(port->RefreshStatus(), 1);
    }
    for (int k = 0; k < 16 && port->IsProcessing(); ++k) {
      const yd1363::Decoded cmd = LastCommand();
      EXPECT_EQ(cmd.ver, 0x21);
      EXPECT_EQ(cmd.adr, 2);
      char name[8];
      std::snprintf(name, sizeof name, "%02X/%02X", cmd.cid1, cmd.cid2);
      seen.push_back(name);
      const Bytes info = ReplyInfo(cmd.cid1, cmd.cid2);
      std::string frame = yd1363::Encode(0x21, 2, cmd.cid1, 0, info.data(), info.size());
      EXPECT_EQ(port->process(reinterpret_cast<unsigned char*>(frame.data()),
                              static_cast<unsigned>(frame.size())),
                1);
    }
    return seen;
  }

  testing_support::FrozenClock clock{
      boost::posix_time::ptime(boost::gregorian::date(2026, 5, 4), boost::posix_time::hours(10))};
  std::shared_ptr<testing_support::RecordingController> ctl =
      std::make_shared<testing_support::RecordingController>();
  std::vector<std::shared_ptr<Provider>> providers;
  std::shared_ptr<KLDSPDevice> port;
  PMBusProtocol* engine = nullptr;
  std::vector<std::shared_ptr<KLDVDevice>> children;
};

TEST_F(LoadedPort, ChildrenAreTheConfiguredUnits) {
  std::vector<std::pair<unsigned, std::string>> got;
  for (const auto& c : children) got.emplace_back(c->DataId(), c->DeviceType());
  EXPECT_EQ(got, (std::vector<std::pair<unsigned, std::string>>{
                     {201, "qpr2427k-ac"}, {202, "qpr2427k-dc"}, {200, "qpr2427k-rc"}}));
  EXPECT_EQ(port->GetChildVDevice(202), children[1]);
  EXPECT_EQ(port->GetChildVDevice(200), nullptr);
  // No round yet: values are not ready.
  EXPECT_THROW(children[0]->Get_Value(0, "ia"), std::out_of_range);
}

TEST_F(LoadedPort, WholeRoundsPublishEveryUnitAndAnswerValues) {
  const std::vector<std::string> full = {"40/51", "40/41", "40/43", "40/44", "41/41", "41/43",
                                         "41/44", "42/41", "42/44", "40/46", "42/46"};
  EXPECT_EQ(Round(), full);
  EXPECT_EQ(engine->step_, 0);
  EXPECT_TRUE(ctl->logs.empty()) << ctl->logs.front().line;
  // A supported model raises no configuration alarm.
  for (const auto& a : ctl->alarms) EXPECT_NE(a.key, "device_model");

  // Each unit published its history image under its record type, AC, DC, rectifier.
  ASSERT_EQ(ctl->published.size(), 3u);
  EXPECT_EQ(ctl->published[0].recordType, 5026);
  EXPECT_EQ(ctl->published[0].dataId, 201u);
  EXPECT_EQ(ctl->published[0].image.size(), 40u + 23u);
  EXPECT_EQ(ctl->published[1].recordType, 5028);
  EXPECT_EQ(ctl->published[1].image.size(), 177u);
  EXPECT_EQ(ctl->published[2].recordType, 5027);
  EXPECT_EQ(ctl->published[2].dataId, 200u);
  EXPECT_EQ(ctl->published[2].image.size(), 65u + 2u * 14u);
  // ...and saved the same bytes through its work item.
  ASSERT_EQ(ctl->saved.size(), 3u);
  for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(ctl->saved[k].image, ctl->published[k].image);
  // The rectifier record holds the two parameter replies: 20 AC bytes at 4, 8 DC bytes at 24.
  const Bytes& rc = ctl->published[2].image;
  EXPECT_EQ(Bytes(rc.begin() + 4, rc.begin() + 8), F(280.f));
  EXPECT_EQ(Bytes(rc.begin() + 24, rc.begin() + 28), F(57.f));

  EXPECT_FLOAT_EQ(children[0]->Get_Value(0, "ia"), 10.f);
  EXPECT_FLOAT_EQ(children[0]->Get_Value(0, "channel_0_a"), 220.5f);
  EXPECT_FLOAT_EQ(children[0]->Get_Value(0, "ic_alert"), 2.f);
  EXPECT_FLOAT_EQ(children[1]->Get_Value(0, "v"), 53.2f);
  EXPECT_FLOAT_EQ(children[1]->Get_Value(0, "i"), 120.f);

  // Alarms decoded from the replies are active; the others are reported inactive.
  auto active = [&](const std::string& key, unsigned id) {
    for (const auto& a : ctl->alarms)
      if (a.key == key && a.dataId == id) return a.active;
    ADD_FAILURE() << key << " not reported";
    return false;
  };
  EXPECT_TRUE(active("AC_1", 201));   // b_alert 1
  EXPECT_FALSE(active("AC_0", 201));
  EXPECT_TRUE(active("DC_1", 202));   // voltage state 2
  EXPECT_FALSE(active("DC_0", 202));

  // The next round skips no status query (the port device is never "ready") and
  // does not ask for the model again.
  ctl->Clear();
  host_clock::Advance(5);
  std::vector<std::string> second(full.begin() + 1, full.end());
  EXPECT_EQ(Round(), second);
  EXPECT_EQ(ctl->published.size(), 3u);
}

TEST_F(LoadedPort, UnsupportedModelIsReportedOnce) {
  ASSERT_EQ(port->RefreshStatus(), 1);
  Bytes model{'X', 'Y', '-', '1', ' ', 'r', 'e', 'v'};
  std::string frame = yd1363::Encode(0x21, 2, 0x40, 0, model.data(), model.size());
  port->process(reinterpret_cast<unsigned char*>(frame.data()), static_cast<unsigned>(frame.size()));
  ASSERT_EQ(ctl->alarms.size(), 1u);
  EXPECT_EQ(ctl->alarms[0].key, "device_model");
  EXPECT_EQ(ctl->alarms[0].code, "70319");
  EXPECT_EQ(ctl->alarms[0].text, "本驱动类型:qpr2427k 检测型号:XY-1");
  EXPECT_EQ(ctl->alarms[0].dataId, 200u);
}

TEST_F(LoadedPort, ChildrenOutliveThePortDevice) {
  EXPECT_EQ(Round().size(), 11u);
  port.reset();
  engine = nullptr;
  for (const auto& c : children) {
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c.use_count(), 1);
  }
  EXPECT_FLOAT_EQ(children[1]->Get_Value(0, "v"), 53.2f);
  // A unit's round still publishes through the controller it took from its parent.
  ctl->Clear();
  children[0]->RoundDone();
  EXPECT_EQ(ctl->published.size(), 1u);
}

}  // namespace
