// Malformed settings, table-driven: the port device's InitSetting over the
// real units, and each unit's InitV on its own. Every row gives the expected
// outcome: accepted, or refused with a clear log line; never an exception
// into the host, never a child left half configured.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "host/PMBusProtocol.h"
#include "power/QPR2427K.h"
#include "tests/support/RecordingController.h"
#include "tests/support/ParentDevice.h"

namespace {

using testing_support::RecordingController;

Json::Value Parse(const std::string& text) {
  Json::Value v;
  Json::CharReaderBuilder b;
  std::string errors;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  EXPECT_TRUE(r->parse(text.data(), text.data() + text.size(), &v, &errors)) << errors << text;
  return v;
}

// An object nested `depth` levels under "a", with `inner` at the bottom.
Json::Value Nest(int depth, Json::Value inner) {
  for (int k = 0; k < depth; ++k) {
    Json::Value outer(Json::objectValue);
    outer["a"] = std::move(inner);
    inner = std::move(outer);
  }
  return inner;
}

// An array nested `depth` levels deep.
Json::Value NestArrays(int depth) {
  Json::Value v(Json::arrayValue);
  for (int k = 0; k < depth; ++k) {
    Json::Value outer(Json::arrayValue);
    outer.append(std::move(v));
    v = std::move(outer);
  }
  return v;
}

constexpr unsigned kPortId = 100;

struct PortRow {
  const char* name;
  std::function<Json::Value()> settings;
  bool accepted;
  std::vector<unsigned> ac, dc;  // data ids of the children made
  bool rectifier;                // a rectifier child exists afterwards
  const char* logged;            // text every log line contains; nullptr: nothing is logged
};

std::function<Json::Value()> Text(const char* json) {
  return [json] { return Parse(json); };
}

const PortRow kPortRows[] = {
    {"Complete", Text(R"({"acSetting":[{"data_id":11}],"dcSetting":[{"data_id":21}],"rcSetting":{}})"), true,
     {11}, {21}, true, nullptr},
    // Wrong types at the top.
    {"SettingsArray", Text(R"([{"rcSetting":{}}])"), false, {}, {}, false, nullptr},
    {"SettingsText", Text(R"("rcSetting")"), false, {}, {}, false, nullptr},
    {"SettingsNumber", Text("7"), false, {}, {}, false, nullptr},
    {"SettingsNull", Text("null"), false, {}, {}, false, nullptr},
    // Missing keys.
    {"Empty", Text("{}"), false, {}, {}, false, nullptr},
    {"NoRectifier", Text(R"({"acSetting":[{"data_id":11}]})"), false, {11}, {}, false, nullptr},
    {"MissingDataIdReadsAsZero", Text(R"({"acSetting":[{}],"dcSetting":[{"appSetting":{}}],"rcSetting":{}})"), true,
     {0}, {0}, true, nullptr},
    // Lists of the wrong type are no lists.
    {"ListsAsObjectTextNumber", Text(R"({"acSetting":{"data_id":1},"dcSetting":"21","rcSetting":{}})"), true,
     {}, {}, true, nullptr},
    {"ListsEmpty", Text(R"({"acSetting":[],"dcSetting":[],"rcSetting":{}})"), true, {}, {}, true, nullptr},
    // Numbers out of range, text where numbers go.
    {"IdNegative", Text(R"({"acSetting":[{"data_id":-1}],"rcSetting":{}})"), false, {}, {}, false,
     "acSetting[0].data_id"},
    {"IdHuge", Text(R"({"dcSetting":[{"data_id":1e40}],"rcSetting":{}})"), false, {}, {}, false,
     "dcSetting[0].data_id"},
    {"IdOneAboveLargest", Text(R"({"acSetting":[{"data_id":4294967296}],"rcSetting":{}})"), false, {}, {}, false,
     "acSetting[0].data_id"},
    {"IdLargest", Text(R"({"acSetting":[{"data_id":4294967295}],"rcSetting":{}})"), true, {4294967295u}, {}, true,
     nullptr},
    {"IdText", Text(R"({"acSetting":[{"data_id":"11"}],"rcSetting":{}})"), false, {}, {}, false,
     "acSetting[0].data_id"},
    {"IdBoolean", Text(R"({"dcSetting":[{"data_id":true}],"rcSetting":{}})"), false, {}, {}, false,
     "dcSetting[0].data_id"},
    {"IdObject", Text(R"({"dcSetting":[{"data_id":{"v":1}}],"rcSetting":{}})"), false, {}, {}, false,
     "dcSetting[0].data_id"},
    // A bad element after good ones: the good children stay whole, the bad one is not made.
    {"BadSecondElement", Text(R"({"acSetting":[{"data_id":11},{"data_id":-2},{"data_id":13}],"rcSetting":{}})"),
     false, {11}, {}, false, "acSetting[1].data_id"},
    {"BadDcAfterAc", Text(R"({"acSetting":[{"data_id":11}],"dcSetting":[{"data_id":"x"}],"rcSetting":{}})"), false,
     {11}, {}, false, "dcSetting[0].data_id"},
    // The engine's own setting.
    {"AddressText", Text(R"({"address":"1","acSetting":[{"data_id":11}],"rcSetting":{}})"), false, {}, {}, false,
     "address"},
    {"AddressNegative", Text(R"({"address":-1,"rcSetting":{}})"), false, {}, {}, false, "address"},
    {"AddressHuge", Text(R"({"address":256,"rcSetting":{}})"), false, {}, {}, false, "address"},
    // Unit settings that cannot be read are logged by the unit; the unit is kept with its defaults.
    {"UnitSettingArray", Text(R"({"acSetting":[{"data_id":11,"appSetting":{"diff_v":[1]}}],"rcSetting":{}})"), true,
     {11}, {}, true, "diff_v"},
    // Deep nesting where the device reads, and where it does not.
    {"DeepUnitSetting",
     [] {
       Json::Value s = Parse(R"({"dcSetting":[{"data_id":21}],"rcSetting":{}})");
       s["dcSetting"][0]["appSetting"]["diff_i"] = Nest(3000, Json::Value(1));
       return s;
     },
     true, {}, {21}, true, "diff_i"},
    {"DeepIgnoredMember",
     [] {
       Json::Value s = Parse(R"({"acSetting":[{"data_id":11}],"rcSetting":{}})");
       s["acSetting"][0]["extra"] = Nest(3000, Json::Value("x"));
       s["rcSetting"]["extra"] = NestArrays(3000);
       return s;
     },
     true, {11}, {}, true, nullptr},
    {"DeepRectifierSetting", [] {
       Json::Value s(Json::objectValue);
       s["rcSetting"] = Nest(3000, Json::Value(Json::objectValue));
       return s;
     },
     true, {}, {}, true, nullptr},
};

void PrintTo(const PortRow& row, std::ostream* os) { *os << row.name; }

class PortSettings : public ::testing::TestWithParam<PortRow> {
 protected:
  std::shared_ptr<RecordingController> ctl = std::make_shared<RecordingController>();
  std::shared_ptr<QPR2427K> port = std::make_shared<QPR2427K>();
  void SetUp() override {
    port->Init(ctl, kPortId, Json::Value());
    port->SetReplyPause(std::chrono::microseconds(0));
  }
};

TEST_P(PortSettings, OutcomeAsTheRowSays) {
  const PortRow& row = GetParam();
  const Json::Value settings = row.settings();
  bool accepted = !row.accepted;
  ASSERT_NO_THROW(accepted = port->InitSetting(settings));
  EXPECT_EQ(accepted, row.accepted);

  std::vector<unsigned> ac, dc;
  for (const auto& u : port->acDevices_) ac.push_back(u->DataId());
  for (const auto& u : port->dcDevices_) dc.push_back(u->DataId());
  EXPECT_EQ(ac, row.ac);
  EXPECT_EQ(dc, row.dc);
  EXPECT_EQ(port->rcDevice_ != nullptr, row.rectifier);

  if (row.logged) {
    ASSERT_FALSE(ctl->logs.empty());
    for (const auto& log : ctl->logs) {
      EXPECT_NE(log.line.find(row.logged), std::string::npos) << log.line;
      // The first value of every line is the data id of the device that logs it.
      ASSERT_FALSE(log.args.empty()) << log.line;
      EXPECT_EQ(log.args[0], std::to_string(log.dataId)) << log.line;
    }
  } else {
    EXPECT_TRUE(ctl->logs.empty()) << ctl->logs.front().line;
  }

  // No child is half configured: each kept child has its id in its record
  // (it answers through the host's link) and reaches the port's controller.
  for (const auto& child : port->GetAllChildVDevices()) {
    if (!child) continue;
    EXPECT_EQ(child->controller_.lock(), ctl);
    child->RoundDone();
  }
  ASSERT_EQ(ctl->published.size(), port->acDevices_.size() + port->dcDevices_.size() + (port->rcDevice_ ? 1 : 0));
  std::size_t k = 0;
  for (const auto& u : port->acDevices_) EXPECT_EQ(ctl->published[k++].dataId, u->DataId());
  for (const auto& u : port->dcDevices_) EXPECT_EQ(ctl->published[k++].dataId, u->DataId());
  for (const auto& p : ctl->published) {
    ASSERT_GE(p.image.size(), 4u);
    const unsigned idInRecord = p.image[0] | p.image[1] << 8 | p.image[2] << 16 | static_cast<unsigned>(p.image[3]) << 24;
    EXPECT_EQ(idInRecord, p.dataId) << "record type " << p.recordType;
  }

  // Whatever the settings did, the device still asks for the model when polled.
  ctl->sent.clear();
  EXPECT_EQ(port->RefreshStatus(), 1);
  ASSERT_EQ(ctl->sent.size(), 1u);
  yd1363::Decoded d;
  ASSERT_EQ(yd1363::Decode(ctl->sent[0].data() + 1, ctl->sent[0].size() - 2, d), "");
  EXPECT_EQ(d.cid1, 0x40);
  EXPECT_EQ(d.cid2, 0x51);
}

INSTANTIATE_TEST_SUITE_P(Rows, PortSettings, ::testing::ValuesIn(kPortRows),
                         [](const auto& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------- units

struct UnitRow {
  const char* name;
  std::function<Json::Value()> config;
  float acDiffV, acDiffI;    // AC unit's settings afterwards (defaults 20, 20)
  float dcDiffV, dcDiffI;    // DC unit's settings afterwards (defaults 0.1, 20)
  const char* logged;        // text every unit log line contains; nullptr: nothing is logged
};

constexpr float kInf = std::numeric_limits<float>::infinity();

const UnitRow kUnitRows[] = {
    {"NullConfig", [] { return Json::Value(); }, 20, 20, 0.1f, 20, nullptr},
    {"ConfigArray", Text(R"([{"appSetting":{"diff_v":1}}])"), 20, 20, 0.1f, 20, nullptr},
    {"ConfigText", Text(R"("diff_v=1")"), 20, 20, 0.1f, 20, nullptr},
    {"ConfigNumber", Text("-3"), 20, 20, 0.1f, 20, nullptr},
    {"AppSettingText", Text(R"({"appSetting":"diff_v"})"), 20, 20, 0.1f, 20, nullptr},
    {"AppSettingNumber", Text(R"({"appSetting":5})"), 20, 20, 0.1f, 20, nullptr},
    {"AppSettingArray", Text(R"({"appSetting":[{"diff_v":1}]})"), 20, 20, 0.1f, 20, nullptr},
    {"Numbers", Text(R"({"appSetting":{"diff_v":2.5,"diff_i":3}})"), 2.5f, 3, 2.5f, 3, nullptr},
    {"NumericText", Text(R"({"appSetting":{"diff_v":" 2.5","diff_i":"3e1"}})"), 2.5f, 30, 2.5f, 30, nullptr},
    {"Negative", Text(R"({"appSetting":{"diff_v":-7,"diff_i":"-0.5"}})"), -7, -0.5f, -7, -0.5f, nullptr},
    // Text that is no number reads as 0, as the standard conversion gives.
    {"TextNoNumber", Text(R"({"appSetting":{"diff_v":"abc","diff_i":""}})"), 0, 0, 0, 0, nullptr},
    {"Boolean", Text(R"({"appSetting":{"diff_v":true,"diff_i":false}})"), 0, 0, 0, 0, nullptr},
    // Numbers beyond a float's range become infinite.
    {"HugeText", Text(R"({"appSetting":{"diff_v":"1e999","diff_i":"-1e999"}})"), kInf, -kInf, kInf, -kInf, nullptr},
    {"HugeLargestDouble", Text(R"({"appSetting":{"diff_i":1.7976931348623157e308}})"), 20, kInf, 0.1f, kInf, nullptr},
    {"Unconvertible", Text(R"({"appSetting":{"diff_v":[1],"diff_i":{"x":2}}})"), 20, 20, 0.1f, 20, "appSetting"},
    {"DeepValue", [] {
       Json::Value c(Json::objectValue);
       c["appSetting"]["diff_v"] = Nest(3000, Json::Value(4));
       c["appSetting"]["diff_i"] = 6;
       return c;
     },
     20, 6, 0.1f, 6, "diff_v"},
    {"DeepAppSetting", [] {
       Json::Value c(Json::objectValue);
       c["appSetting"] = Nest(3000, Json::Value(Json::objectValue));
       return c;
     },
     20, 20, 0.1f, 20, nullptr},
};

void PrintTo(const UnitRow& row, std::ostream* os) { *os << row.name; }

class UnitSettings : public ::testing::TestWithParam<UnitRow> {
 protected:
  std::shared_ptr<RecordingController> ctl = std::make_shared<RecordingController>();
  std::shared_ptr<testing_support::ParentDevice> parent = testing_support::ParentDevice::Of(ctl);

  // The unit took its id and link whatever its settings held.
  void ExpectConfigured(const KLDVDevice& unit, const unsigned char* record, unsigned id) {
    EXPECT_EQ(unit.DataId(), id);
    EXPECT_EQ(record[0] | record[1] << 8 | record[2] << 16 | static_cast<unsigned>(record[3]) << 24, id);
    EXPECT_EQ(unit.controller_.lock(), ctl);
  }
  void ExpectLogs(const char* logged, std::size_t units) {
    if (!logged) {
      EXPECT_TRUE(ctl->logs.empty()) << ctl->logs.front().line;
      return;
    }
    EXPECT_GE(ctl->logs.size(), units);
    for (const auto& log : ctl->logs) EXPECT_NE(log.line.find(logged), std::string::npos) << log.line;
  }
};

void ExpectSetting(float got, float want, const char* what) {
  if (std::isinf(want))
    EXPECT_EQ(got, want) << what;
  else
    EXPECT_FLOAT_EQ(got, want) << what;
}

TEST_P(UnitSettings, EveryUnitTakesItsIdAndReadsWhatItCan) {
  const UnitRow& row = GetParam();
  const Json::Value config = row.config();
  auto ac = std::make_shared<QPR2427K_AC>();
  auto dc = std::make_shared<QPR2427K_DC>("QPR-24KV");
  auto rc = std::make_shared<QPR2427K_RC>();
  bool ok = false;
  ASSERT_NO_THROW(ok = ac->InitV(parent.get(), 0x0A0B0C0D, config));
  EXPECT_TRUE(ok);
  ASSERT_NO_THROW(ok = dc->InitV(parent.get(), 0x01020304, config));
  EXPECT_TRUE(ok);
  ASSERT_NO_THROW(ok = rc->InitV(parent.get(), 77, config));
  EXPECT_TRUE(ok);

  ExpectConfigured(*ac, reinterpret_cast<const unsigned char*>(&ac->Record()), 0x0A0B0C0D);
  ExpectConfigured(*dc, reinterpret_cast<const unsigned char*>(&dc->Record()), 0x01020304);
  ExpectConfigured(*rc, reinterpret_cast<const unsigned char*>(&rc->Record()), 77);
  ExpectSetting(ac->DiffV(), row.acDiffV, "AC diff_v");
  ExpectSetting(ac->DiffI(), row.acDiffI, "AC diff_i");
  ExpectSetting(dc->DiffV(), row.dcDiffV, "DC diff_v");
  ExpectSetting(dc->DiffI(), row.dcDiffI, "DC diff_i");
  // AC and DC each report what they could not read; the rectifier reads no key.
  ExpectLogs(row.logged, 2);
  for (const auto& log : ctl->logs) EXPECT_NE(log.dataId, 77u) << log.line;
}

INSTANTIATE_TEST_SUITE_P(Rows, UnitSettings, ::testing::ValuesIn(kUnitRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
