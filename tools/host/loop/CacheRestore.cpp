// Restoring the children's images from a cache file.
#include "tools/host/loop/CacheRestore.h"

#include <fmt/format.h>

#include <cstdio>

#include "tools/common/InputFile.h"
#include "tools/host/loop/PluginLoader.h"
#include "tools/host/stream/RunError.h"

namespace runner {

std::vector<std::optional<std::vector<CacheEntry>>> CacheParts(const std::string& path,
                                                               const std::vector<SystemRef>& systems,
                                                               const std::function<void(std::string)>& say) {
  std::vector<std::optional<std::vector<CacheEntry>>> parts(systems.size());
  const bool several = systems.size() > 1;
  std::vector<CacheSystem> file;
  // A file cut short by a power cut, damaged, or not a file at all: said, and
  // polling starts fresh.
  const auto refuse = [&](const std::string& why) {
    std::fprintf(stderr, "qpr2427k-host: %s; starting fresh\n", why.c_str());
    say(fmt::format("cache: {}; starting fresh", why));
    return parts;
  };
  try {
    file = CacheSystemsFromJson(ParseJson(inputs::ReadInputFile(path, "cache file"), path, "cache file"), path);
  } catch (const inputs::InputError& e) {
    if (!e.missing()) return refuse(e.what());
    say(fmt::format("cache: no cache file {} yet; starting fresh", path));
    return parts;
  } catch (const RunError& e) {
    return refuse(e.what());
  }
  if (!several && file.size() == 1 && !file.front().address) {
    parts.front() = std::move(file.front().children);
    return parts;
  }
  if (several && file.size() == 1 && !file.front().address)
    return refuse(fmt::format("the cache file {} holds one system's images, the settings list {} systems", path,
                              systems.size()));
  for (auto& part : file) {
    std::size_t at = systems.size();
    for (std::size_t k = 0; at == systems.size() && k < systems.size(); ++k)
      if (part.address == systems[k].address && (!several || part.id == systems[k].id) && !parts[k]) at = k;
    if (at == systems.size()) {
      say(fmt::format("cache: {} at address {} is not in the settings; its {} images skipped", part.id,
                      part.address.value_or(1), part.children.size()));
      continue;
    }
    parts[at] = std::move(part.children);
  }
  return parts;
}

std::map<const KLDVDevice*, std::size_t> RestoreCache(const std::vector<CacheEntry>& entries,
                                                      const std::vector<std::shared_ptr<KLDVDevice>>& children,
                                                      CacheWriter* keep, const SystemRef* system, const std::function<void(std::string)>& say) {
  std::map<const KLDVDevice*, std::size_t> restored;
  std::vector<bool> used(children.size(), false);
  for (const auto& e : entries) {
    // The same position first; else the first unused child of that type and id.
    std::size_t at = children.size();
    const auto fits = [&](std::size_t k) {
      return k < children.size() && !used[k] && children[k] && children[k]->DeviceType() == e.deviceType &&
             children[k]->DataId() == e.dataId;
    };
    if (fits(e.index)) at = e.index;
    for (std::size_t k = 0; at == children.size() && k < children.size(); ++k)
      if (fits(k)) at = k;
    if (at == children.size()) {
      say(fmt::format("cache: no child {} {} for entry {}", e.deviceType, e.dataId, e.index));
      continue;
    }
    used[at] = true;
    const int r = children[at]->LoadFromCache(e.image.data(), static_cast<int>(e.image.size()));
    if (r) {
      restored[children[at].get()] = e.image.size();
      // Kept for the next cache file until the child saves a newer image.
      if (keep)
        keep->Observe(
            {WallMillis(), HistorySaved{e.dataId, static_cast<unsigned>(at), e.deviceType, e.image}, system});
    }
    say(fmt::format("cache: {} {} {} ({} bytes)", e.deviceType, e.dataId, r ? "restored" : "refused", e.image.size()));
  }
  return restored;
}

}  // namespace runner
