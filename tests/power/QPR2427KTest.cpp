// The concrete QPR2427K port device: its construction values and the real
// unit children it makes from its settings.
#include <gtest/gtest.h>

#include "power/QPR2427K.h"
#include "tests/support/RecordingController.h"

namespace {

TEST(QPR2427K, ConstructionSetsTypeLineAndProtocol) {
  QPR2427K port;
  EXPECT_EQ(port.DeviceType(), "qpr2427k");
  EXPECT_EQ(port.baudRate_, 9600);
  EXPECT_TRUE(port.portFlag_);
  EXPECT_EQ(port.version_, 0x21);
  EXPECT_EQ(port.supportedModels_, (std::vector<std::string>{"QPR-21K", "QPR-24KV", "QPR-36KM"}));
  EXPECT_TRUE(port.detectPending_);
  EXPECT_EQ(port.commandGroup_, 0xFF);
  EXPECT_TRUE(port.IsSupportDevice("qpr2427k"));
}

TEST(QPR2427K, SettingsMakeRealUnits) {
  auto ctl = std::make_shared<testing_support::RecordingController>();
  auto port = std::make_shared<QPR2427K>();
  port->Init(ctl, 40, Json::Value());
  Json::Value s(Json::objectValue);
  s["acSetting"][0]["data_id"] = 41;
  s["acSetting"][1]["data_id"] = 42;
  s["dcSetting"][0]["data_id"] = 43;
  s["rcSetting"] = Json::Value(Json::objectValue);
  ASSERT_TRUE(port->InitSetting(s));

  std::vector<std::pair<unsigned, std::string>> children;
  for (const auto& c : port->GetAllChildVDevices()) children.emplace_back(c->DataId(), c->DeviceType());
  EXPECT_EQ(children, (std::vector<std::pair<unsigned, std::string>>{
                          {41, "qpr2427k-ac"}, {42, "qpr2427k-ac"}, {43, "qpr2427k-dc"}, {40, "qpr2427k-rc"}}));
  EXPECT_EQ(port->dcDevices_[0]->ModelName(), "");
  EXPECT_EQ(port->GetChildVDevice(43), port->dcDevices_[0]);
  EXPECT_EQ(port->GetChildVDevice(40), nullptr);
  // Units reach the host through the port device's controller.
  port->rcDevice_->CheckThresholdBool(1, "k", "c", "n", "t", false, 1);
  ASSERT_EQ(ctl->alarms.size(), 1u);
  EXPECT_EQ(ctl->alarms[0].deviceType, "qpr2427k-rc");
}

}  // namespace
