// Restoring the children from a cache file at start: each entry goes to the
// child at its position, else to the first unused child of its type and data
// id; a file that is missing or damaged is said, and polling starts fresh.
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

// The image length each child took, or none when there is no file or it is
// refused whole; `keep` (may be null) is handed every
// restored image so that the next cache file keeps it until the child saves
// a newer one; `say` gets one line per entry and for a refused file.
std::optional<std::map<const KLDVDevice*, std::size_t>> RestoreCache(const std::string& path,
                                                       const std::vector<std::shared_ptr<KLDVDevice>>& children,
                                                       CacheWriter* keep, const std::function<void(std::string)>& say);

}  // namespace runner
