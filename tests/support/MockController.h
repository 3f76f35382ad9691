// The GoogleMock controller, for tests that pin exact host calls with EXPECT_CALL.
#pragma once
#include <gmock/gmock.h>

#include <functional>
#include <string>
#include <vector>

#include "host/KLDController.h"
#include "host/KLDVDevice.h"

namespace testing_support {

class MockController : public KLDController {
 public:
  MOCK_METHOD(void, CheckThresholdBool,
              (KLDVDevice&, int, const std::string&, const std::string&, const std::string&,
               const std::string&, bool, unsigned short),
              (override));
  MOCK_METHOD(void, SendSP, (KLDVDevice&, int, const unsigned char*, unsigned int, bool), (override));
  MOCK_METHOD(void, SaveDeviceHistory, (KLDVDevice&, const unsigned char*, unsigned int), (override));
  MOCK_METHOD(void, CheckThresholdWork, (std::function<void()>), (override));
  MOCK_METHOD(bool, DoBatchCheckThreshold, (KLDVDevice&, const std::vector<rule_value>&), (override));
  MOCK_METHOD(void, Log, (const KLDVDevice&, const char*, const LogArg*, std::size_t), (override));
  MOCK_METHOD(void, SendBytes, (KLDVDevice&, const unsigned char*, std::size_t), (override));
  MOCK_METHOD(void, OnProtocolEvent, (KLDVDevice&, const ProtocolEvent&), (override));
};

}  // namespace testing_support
