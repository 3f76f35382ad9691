// Restoring the children from a cache file at start: the file is read once
// and each system takes its own part (by address and id); each entry goes to
// the child at its position, else to the first unused child of its type and
// data id; a file that is missing or damaged is said, and polling starts fresh.
#pragma once
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "host/KLDVDevice.h"
#include "tools/host/outputs/cache/CacheWriter.h"

namespace runner {

// The part of the cache file at `path` for each of `systems`, in their order;
// none for a system that starts fresh. With one system a
// file of one system is its part, and a file of several gives it the part at
// its address. With several, a part is taken by the system of its address and
// id; a part no system takes is said once and skipped. A missing or damaged
// file is said, and every system starts fresh.
std::vector<std::optional<std::vector<CacheEntry>>> CacheParts(const std::string& path,
                                                               const std::vector<SystemRef>& systems,
                                                               const std::function<void(std::string)>& say);

// The image length each child took from `entries`; `keep` (may be null) is
// handed every restored image, tagged with `system`, so that the next cache
// file keeps it until the child saves a newer one; `say` gets one line per entry.
std::map<const KLDVDevice*, std::size_t> RestoreCache(const std::vector<CacheEntry>& entries,
                                                      const std::vector<std::shared_ptr<KLDVDevice>>& children,
                                                      CacheWriter* keep, const SystemRef* system, const std::function<void(std::string)>& say);

}  // namespace runner
