// The port device's role in unit tests: a plain device that holds the
// controller the units reach through InitV.
#pragma once
#include <memory>

#include "host/KLDController.h"
#include "host/KLDSPDevice.h"
#include "host/json.h"

namespace testing_support {

struct ParentDevice : KLDSPDevice {
  // A parent already tied to `controller` under `dataId`.
  static std::shared_ptr<ParentDevice> Of(const std::shared_ptr<KLDController>& controller, unsigned dataId = 1) {
    auto parent = std::make_shared<ParentDevice>();
    parent->Init(controller, dataId, Json::Value());
    return parent;
  }
};

}  // namespace testing_support
