// Restoring the children's images from a cache file.
#include "tools/host/loop/CacheRestore.h"

#include <fmt/format.h>

#include <cstdio>

#include "tools/common/InputFile.h"
#include "tools/host/loop/PluginLoader.h"
#include "tools/host/stream/RunError.h"

namespace runner {

std::optional<std::map<const KLDVDevice*, std::size_t>> RestoreCache(const std::string& path,
                                                       const std::vector<std::shared_ptr<KLDVDevice>>& children,
                                                       CacheWriter* keep, const std::function<void(std::string)>& say) {
  std::map<const KLDVDevice*, std::size_t> restored;
  std::vector<CacheEntry> entries;
  // A file cut short by a power cut, damaged, or not a file at all: said, and
  // polling starts fresh.
  const auto refuse = [&](const char* why) {
    std::fprintf(stderr, "qpr2427k-host: %s; starting fresh\n", why);
    say(fmt::format("cache: {}; starting fresh", why));
    return std::nullopt;
  };
  try {
    entries = CacheFromJson(ParseJson(inputs::ReadInputFile(path, "cache file"), path, "cache file"), path);
  } catch (const inputs::InputError& e) {
    if (!e.missing()) return refuse(e.what());
    say(fmt::format("cache: no cache file {} yet; starting fresh", path));
    return std::nullopt;
  } catch (const RunError& e) {
    return refuse(e.what());
  }
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
      if (keep) keep->Observe({WallMillis(), HistorySaved{e.dataId, static_cast<unsigned>(at), e.deviceType, e.image}});
    }
    say(fmt::format("cache: {} {} {} ({} bytes)", e.deviceType, e.dataId, r ? "restored" : "refused", e.image.size()));
  }
  return restored;
}

}  // namespace runner
