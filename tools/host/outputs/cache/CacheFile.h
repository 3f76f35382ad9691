// The cache file: each child's last history image, by position, type and data
// id, as JSON (with several systems, one part per system, by address and id); written whole to a temporary file, synced and renamed, so that a
// power cut leaves the old file or the new one, never half of one.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "host/json.h"
#include "tools/host/stream/RunError.h"

namespace runner {

struct CacheEntry {
  unsigned index = 0;
  std::string deviceType;
  unsigned dataId = 0;
  std::vector<unsigned char> image;
};
Json::Value CacheToJson(const std::vector<CacheEntry>& entries);
// Throws RunError for a file that is not a cache file.
std::vector<CacheEntry> CacheFromJson(const Json::Value& root, const std::string& name);

// One system's part of a cache file; a file of one system is one part
// without address or id.
struct CacheSystem {
  std::optional<unsigned> address;
  std::string id;
  std::vector<CacheEntry> children;
};
// {"systems": [{"address", "id", "children"}, ...]}: the file of a run with several systems.
Json::Value CacheSystemsToJson(const std::vector<CacheSystem>& systems);
// Either layout; throws RunError for a file that is neither.
std::vector<CacheSystem> CacheSystemsFromJson(const Json::Value& root, const std::string& name);

// Empty when the file can be written (absent or a regular file, or a symbolic
// link to one, whose folder takes a new file); else why not.
std::string CheckWritable(const std::string& path);
// Writes `text` to `path` (through a symbolic link, to its regular file)
// atomically; empty on success, else why it failed (`what` names the file).
std::string WriteAtomically(const std::string& path, const std::string& text, const char* what = "cache");

}  // namespace runner
