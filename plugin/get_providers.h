// The plug-in's one exported entry point, looked up by its plain name.
#pragma once
#include <memory>
#include <vector>

#include "plugin/Provider.h"

#if defined(__clang__)
// The host looks the function up by name and calls it as a C++ function.
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wreturn-type-c-linkage"
#endif

// Four new providers, every call: port device, AC, DC, rectifier.
extern "C" __attribute__((visibility("default"))) std::vector<std::shared_ptr<Provider>>
get_providers();

#if defined(__clang__)
#pragma clang diagnostic pop
#endif

// The type of get_providers, for programs that look it up with dlsym().
using GetProvidersFn = std::vector<std::shared_ptr<Provider>> (*)();
