// The providers linked in directly: which class each one makes, and that
// every call makes new providers and new devices.
#include <gtest/gtest.h>

#include "plugin/Providers.h"
#include "plugin/get_providers.h"
#include "power/QPR2427K.h"

namespace {

TEST(Providers, FourNewProvidersInFixedOrderEveryCall) {
  const auto first = get_providers();
  const auto second = get_providers();
  ASSERT_EQ(first.size(), 4u);
  ASSERT_EQ(second.size(), 4u);
  for (const auto* v : {&first, &second}) {
    EXPECT_NE(dynamic_cast<QPR2427KProvider*>((*v)[0].get()), nullptr);
    EXPECT_NE(dynamic_cast<QPR2427K_ACProvider*>((*v)[1].get()), nullptr);
    EXPECT_NE(dynamic_cast<QPR2427K_DCProvider*>((*v)[2].get()), nullptr);
    EXPECT_NE(dynamic_cast<QPR2427K_RCProvider*>((*v)[3].get()), nullptr);
  }
  for (std::size_t k = 0; k < 4; ++k) {
    EXPECT_EQ(first[k].use_count(), 1);  // the plug-in keeps no reference
    for (std::size_t j = 0; j < 4; ++j) EXPECT_NE(first[k], second[j]);
  }
}

TEST(Providers, EachCreateMakesANewDeviceOfItsClass) {
  const auto providers = get_providers();
  auto make = [&](std::size_t k) {
    return std::unique_ptr<KLDSPDevice>(static_cast<const KLDSPDeviceProvider&>(*providers[k]).create());
  };
  const auto port = make(0), ac = make(1), dc = make(2), rc = make(3), port2 = make(0);
  EXPECT_NE(dynamic_cast<QPR2427K*>(port.get()), nullptr);
  EXPECT_NE(dynamic_cast<QPR2427K_AC*>(ac.get()), nullptr);
  EXPECT_NE(dynamic_cast<QPR2427K_RC*>(rc.get()), nullptr);
  const auto* dcUnit = dynamic_cast<QPR2427K_DC*>(dc.get());
  ASSERT_NE(dcUnit, nullptr);
  EXPECT_EQ(dcUnit->ModelName(), "");
  EXPECT_NE(port, port2);
  EXPECT_EQ(port->DeviceType(), "qpr2427k");
  EXPECT_EQ(ac->DeviceType(), "qpr2427k-ac");
  EXPECT_EQ(dc->DeviceType(), "qpr2427k-dc");
  EXPECT_EQ(rc->DeviceType(), "qpr2427k-rc");
}

}  // namespace
