// The exported entry point: a new set of providers for each call.
#include "plugin/get_providers.h"

#include "plugin/Providers.h"

std::vector<std::shared_ptr<Provider>> get_providers() {
  std::vector<std::shared_ptr<Provider>> providers;
  providers.reserve(4);
  providers.push_back(std::make_shared<QPR2427KProvider>());
  providers.push_back(std::make_shared<QPR2427K_ACProvider>());
  providers.push_back(std::make_shared<QPR2427K_DCProvider>());
  providers.push_back(std::make_shared<QPR2427K_RCProvider>());
  return providers;
}
