// The plug-in through dlopen and get_providers, as the host loads it.
#include "tools/host/loop/PluginLoader.h"

#include <dlfcn.h>
#include <fmt/format.h>

#include <vector>

#include "plugin/KLDSPDeviceProvider.h"
#include "plugin/Provider.h"
#include "tools/common/InputFile.h"
#include "tools/common/StrictJson.h"
#include "tools/host/stream/RunError.h"

namespace runner {
namespace {

constexpr const char* kPortType = "qpr2427k";

}  // namespace

Json::Value ParseJson(const std::string& text, const std::string& path, const char* what) {
  try {
    return inputs::ParseStrictJson(text);
  } catch (const inputs::JsonTextError& e) {
    throw RunError(fmt::format("the {} {} is not valid JSON: {}", what, path, e.what()));
  }
}

Json::Value ReadJson(const std::string& path, const char* what) {
  try {
    return ParseJson(inputs::ReadInputFile(path, what), path, what);
  } catch (const inputs::InputError& e) {
    throw RunError(e.what());
  }
}

std::shared_ptr<KLDSPDevice> CreatePortDevice(const std::string& path) {
  // The plug-in stays loaded until the process ends: its objects outlive any
  // point where unloading would be safe.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) throw RunError(fmt::format("cannot load the plug-in: {}", dlerror()));
  using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();
  void* symbol = dlsym(handle, "get_providers");
  if (!symbol) throw RunError(fmt::format("the plug-in {} has no get_providers", path));
  const auto providers = reinterpret_cast<GetProviders>(symbol)();
  for (const auto& p : providers) {
    const auto* maker = dynamic_cast<const KLDSPDeviceProvider*>(p.get());
    if (!maker) continue;
    std::unique_ptr<KLDSPDevice> device(maker->create());
    if (device && device->DeviceType() == kPortType) return std::shared_ptr<KLDSPDevice>(device.release());
  }
  throw RunError(fmt::format("the plug-in {} offers no device of type \"{}\"", path, kPortType));
}

}  // namespace runner
