// The port device's configuration and children: what InitSetting creates from
// the settings, how children are found and handed out, and bad settings.
#include <gtest/gtest.h>

#include "tests/power/PortFixture.h"

namespace power_test {
namespace {

Json::Value ParseJson(const std::string& text) {
  Json::Value v;
  Json::CharReaderBuilder b;
  std::string errors;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  EXPECT_TRUE(r->parse(text.data(), text.data() + text.size(), &v, &errors)) << errors;
  return v;
}

std::vector<unsigned> Ids(const std::vector<std::shared_ptr<KLDVDevice>>& all) {
  std::vector<unsigned> ids;
  for (const auto& d : all) ids.push_back(d ? d->DataId() : 0xFFFFFFFFu);
  return ids;
}

TEST_F(PortTest, FreshPortDeviceHasNoChildrenAndAsksForTheModel) {
  Port fresh;
  EXPECT_TRUE(fresh.detectPending_);
  EXPECT_EQ(fresh.deviceModel_, "");
  EXPECT_EQ(fresh.acDataFlag_, 0);
  EXPECT_EQ(fresh.rcDataFlag_, 0);
  EXPECT_EQ(fresh.rcDevice_, nullptr);
  EXPECT_EQ(fresh.supportedModels_, (std::vector<std::string>{"QPR-21K", "QPR-24KV", "QPR-36KM"}));
  EXPECT_EQ(Ids(fresh.GetAllChildVDevices()), (std::vector<unsigned>{0xFFFFFFFFu}));
  EXPECT_EQ(fresh.LoadFromCache(nullptr, 0), 1);
  EXPECT_EQ(fresh.LoadFromCache(std::string("anything")), 1);
  EXPECT_THROW(fresh.Get_Value(0, "v"), std::out_of_range);
}

TEST_F(PortTest, SettingsMakeChildrenInOrder) {
  const Json::Value s = ParseJson(R"({"address": 3,
      "acSetting": [{"data_id": 11}, {"data_id": 12}],
      "dcSetting": [{"data_id": 21}],
      "rcSetting": {"data_id": 999}})");
  EXPECT_TRUE(port->InitSetting(s));
  EXPECT_EQ(port->Address(), 3);
  EXPECT_EQ(Ids(port->GetAllChildVDevices()), (std::vector<unsigned>{11, 12, 21, kPortId}));
  // Children were configured with the port device as parent and their own element.
  std::vector<std::string> inits;
  for (const auto& c : journal.calls) inits.push_back(std::to_string(c.id) + ":" + c.what);
  EXPECT_EQ(inits, (std::vector<std::string>{"11:InitV", "12:InitV", "21:InitV", "100:InitV"}));
  // They reach the host through the port device's controller.
  port->acDevices_[1]->InfoLog("x {}", 1);
  ASSERT_EQ(ctl->logs.size(), 1u);
  EXPECT_EQ(ctl->logs[0].dataId, 12u);
  // DC units made before the first model reply hold an empty model.
  EXPECT_EQ(port->dcDevices_[0]->model_, "");
}

TEST_F(PortTest, DcUnitsTakeTheModelKnownWhenTheyAreMade) {
  ASSERT_TRUE(Configure(0, 1, true));
  PassModel();
  ASSERT_TRUE(port->InitSetting(ParseJson(R"({"dcSetting": [{"data_id": 22}], "rcSetting": {}})")));
  ASSERT_EQ(port->dcDevices_.size(), 2u);
  EXPECT_EQ(port->dcDevices_[0]->model_, "");
  EXPECT_EQ(port->dcDevices_[1]->model_, "QPR-21K");
}

struct SettingsRow {
  const char* name;
  const char* json;
  bool result;
  std::vector<unsigned> children;  // ids from GetAllChildVDevices(), 0xFFFFFFFF for an empty pointer
  const char* logged;              // a text the one log line must contain, or nullptr for none
};

constexpr unsigned kNone = 0xFFFFFFFFu;

const SettingsRow kSettings[] = {
    {"NoRectifier", R"({"acSetting": [{"data_id": 1}], "dcSetting": [{"data_id": 2}]})", false, {1, 2, kNone}, nullptr},
    {"NullRectifier", R"({"acSetting": [{"data_id": 1}], "rcSetting": null})", false, {1, kNone}, nullptr},
    {"EmptySettings", R"({})", false, {kNone}, nullptr},
    {"NullSettings", R"(null)", false, {kNone}, nullptr},
    {"ListsNotArraysAreIgnored", R"({"acSetting": {"data_id": 1}, "dcSetting": 5, "rcSetting": {}})", true, {PortTest::kPortId}, nullptr},
    {"MissingIdReadsAsZero", R"({"acSetting": [{}], "rcSetting": {}})", true, {0, PortTest::kPortId}, nullptr},
    {"IdAsWholeDouble", R"({"acSetting": [{"data_id": 7.0}], "rcSetting": {}})", true, {7, PortTest::kPortId}, nullptr},
    {"FailedUnitStays", R"({"acSetting": [{"data_id": 5, "fail": 1}], "rcSetting": {}})", true, {5, PortTest::kPortId}, nullptr},
    {"EngineRefusesAddress", R"({"address": 300, "acSetting": [{"data_id": 1}], "rcSetting": {}})", false, {kNone},
     "address"},
    {"NegativeId", R"({"acSetting": [{"data_id": 1}, {"data_id": -4}], "rcSetting": {}})", false, {1, kNone},
     "acSetting[1].data_id"},
    {"TextId", R"({"acSetting": [{"data_id": 1}], "dcSetting": [{"data_id": "12"}], "rcSetting": {}})", false,
     {1, kNone}, "dcSetting[0].data_id"},
    {"FractionalId", R"({"dcSetting": [{"data_id": 1.5}], "rcSetting": {}})", false, {kNone}, "dcSetting[0].data_id"},
    {"HugeId", R"({"acSetting": [{"data_id": 4294967296}], "rcSetting": {}})", false, {kNone}, "acSetting[0].data_id"},
    {"UnitSettingNotConvertible", R"({"acSetting": [{"data_id": 1}, {"data_id": 2, "limit": "abc"}], "rcSetting": {}})",
     false, {1, kNone}, "acSetting[1]"},
    {"ElementNotAnObject", R"({"dcSetting": [[1, 2]], "rcSetting": {}})", true, {0, PortTest::kPortId}, nullptr},
    {"RectifierSettingNotConvertible", R"({"dcSetting": [{"data_id": 2}], "rcSetting": {"limit": [1]}})", false,
     {2, kNone}, "rcSetting"},
};

void PrintTo(const SettingsRow& row, std::ostream* os) { *os << row.name; }

class SettingsTest : public PortTest, public ::testing::WithParamInterface<SettingsRow> {};

TEST_P(SettingsTest, ResultChildrenAndLog) {
  const SettingsRow& row = GetParam();
  bool result = false;
  ASSERT_NO_THROW(result = port->InitSetting(ParseJson(row.json)));
  EXPECT_EQ(result, row.result);
  EXPECT_EQ(Ids(port->GetAllChildVDevices()), row.children);
  if (!row.logged) {
    EXPECT_TRUE(ctl->logs.empty()) << ctl->logs.front().line;
    return;
  }
  ASSERT_EQ(ctl->logs.size(), 1u);
  EXPECT_NE(ctl->logs[0].line.find(row.logged), std::string::npos) << ctl->logs[0].line;
  EXPECT_EQ(ctl->logs[0].args.at(0), std::to_string(kPortId));
}

INSTANTIATE_TEST_SUITE_P(Settings, SettingsTest, ::testing::ValuesIn(kSettings),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PortTest, SecondConfigurationAddsUnitsAndReplacesTheRectifier) {
  ASSERT_TRUE(Configure(2, 1, true));
  const std::shared_ptr<KLDVDevice> firstRc = port->rcDevice_;
  ASSERT_TRUE(Configure(1, 1, true));
  EXPECT_EQ(Ids(port->GetAllChildVDevices()), (std::vector<unsigned>{11, 12, 11, 21, 21, kPortId}));
  EXPECT_NE(port->rcDevice_, firstRc);
  // A refused configuration keeps the rectifier made before.
  const std::shared_ptr<KLDVDevice> secondRc = port->rcDevice_;
  EXPECT_FALSE(port->InitSetting(ParseJson(R"({"rcSetting": {"limit": "x"}})")));
  EXPECT_EQ(port->rcDevice_, secondRc);
}

TEST_F(PortTest, ChildByIdPrefersAcUnitsAndNeverTheRectifier) {
  ASSERT_TRUE(port->InitSetting(ParseJson(R"({
      "acSetting": [{"data_id": 5}, {"data_id": 6}, {"data_id": 6}],
      "dcSetting": [{"data_id": 7}, {"data_id": 5}, {"data_id": 7}],
      "rcSetting": {}})")));
  EXPECT_EQ(port->GetChildVDevice(5), port->acDevices_[0]);
  EXPECT_EQ(port->GetChildVDevice(6), port->acDevices_[1]);
  EXPECT_EQ(port->GetChildVDevice(7), port->dcDevices_[0]);
  // The rectifier carries the port device's id but is not found by it.
  EXPECT_EQ(port->rcDevice_->DataId(), kPortId);
  EXPECT_EQ(port->GetChildVDevice(kPortId), nullptr);
  EXPECT_EQ(port->GetChildVDevice(8), nullptr);
  ASSERT_TRUE(port->InitSetting(ParseJson(R"({"dcSetting": [{"data_id": 100}], "rcSetting": {}})")));
  EXPECT_EQ(port->GetChildVDevice(kPortId), port->dcDevices_[3]);
}

TEST_F(PortTest, ChildrenHandedOutOutliveThePortDevice) {
  ASSERT_TRUE(Configure(1, 1, true));
  const auto all = port->GetAllChildVDevices();
  EXPECT_EQ(port->acDevices_[0].use_count(), 2);
  port.reset();
  for (const auto& child : all) {
    ASSERT_NE(child, nullptr);
    EXPECT_EQ(child.use_count(), 1);
    child->RoundDone();  // still usable
  }
  EXPECT_EQ(journal.Rounds(), (std::vector<std::string>{"11", "21", "100"}));
}

}  // namespace
}  // namespace power_test
