// Cache file layout and its atomic write (temporary file, fsync, rename, fsync
// of the folder).
#include "tools/host/outputs/cache/CacheFile.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "tools/common/InputFile.h"
#include "tools/host/stream/EventJson.h"

namespace runner {
namespace {

std::string Folder(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string Errno(const char* what, const std::string& path) { return fmt::format("{} {}: {}", what, path, std::strerror(errno)); }

// Where the cache goes: `path` itself when it is absent or a regular file, or
// the regular file a symbolic link at `path` leads to. Anything else (a
// device, a FIFO, a folder, a link to nothing) is refused: empty when fine,
// else why not.
std::string Target(const std::string& path, std::string& target) {
  struct stat st {};
  target = path;
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT ? std::string() : Errno("cannot look at", path);
  if (S_ISLNK(st.st_mode)) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return errno == ENOENT ? "it is a symbolic link to nothing" : Errno("cannot follow the link", path);
    target = real;
    std::free(real);
    if (::stat(target.c_str(), &st) != 0) return Errno("cannot look at", target);
    if (!S_ISREG(st.st_mode))
      return fmt::format("it leads to {}, {}, not a regular file", target, inputs::FileKind(st.st_mode));
    return {};
  }
  if (!S_ISREG(st.st_mode)) return fmt::format("it is {}, not a regular file", inputs::FileKind(st.st_mode));
  return {};
}

// The temporary file beside the cache's target (see Target), made or
// emptied; never through a link and never a FIFO or device left there under
// that name. -1 and `why` else.
int OpenTemp(const std::string& path, std::string& target, std::string& temp, std::string& why) {
  if (why = Target(path, target); !why.empty()) return -1;
  temp = target + ".tmp";
  struct stat there {};
  if (::lstat(temp.c_str(), &there) == 0 && !S_ISREG(there.st_mode)) {
    why = fmt::format("cannot create {}: {} is there", temp, inputs::FileKind(there.st_mode));
    return -1;
  }
  const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
  if (fd < 0) {
    why = Errno("cannot create", temp);
    return -1;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    why = fmt::format("cannot create {}: {} is there", temp, inputs::FileKind(st.st_mode));
    return -1;
  }
  return fd;
}

}  // namespace

Json::Value CacheToJson(const std::vector<CacheEntry>& entries) {
  Json::Value root;
  root["children"] = Json::Value(Json::arrayValue);
  for (const auto& e : entries) {
    Json::Value c;
    c["index"] = e.index;
    c["device_type"] = e.deviceType;
    c["data_id"] = e.dataId;
    c["image"] = Hex(e.image.data(), e.image.size());
    root["children"].append(c);
  }
  return root;
}

std::vector<CacheEntry> CacheFromJson(const Json::Value& root, const std::string& name) {
  const auto bad = [&](const std::string& why) { return RunError(fmt::format("the cache file {} {}", name, why)); };
  if (!root.isObject() || !root["children"].isArray()) throw bad("has no \"children\" array");
  std::vector<CacheEntry> out;
  for (const auto& c : root["children"]) {
    if (!c.isObject() || !c["index"].isUInt() || !c["device_type"].isString() || !c["data_id"].isUInt() ||
        !c["image"].isString())
      throw bad("has an entry without index, device_type, data_id and image");
    bool ok = false;
    CacheEntry e{c["index"].asUInt(), c["device_type"].asString(), c["data_id"].asUInt(),
                 FromHex(c["image"].asString(), ok)};
    if (!ok) throw bad("has an image that is not hex");
    out.push_back(std::move(e));
  }
  return out;
}

Json::Value CacheSystemsToJson(const std::vector<CacheSystem>& systems) {
  Json::Value root;
  root["systems"] = Json::Value(Json::arrayValue);
  for (const auto& s : systems) {
    Json::Value part = CacheToJson(s.children);
    part["address"] = s.address.value_or(1);
    part["id"] = s.id;
    root["systems"].append(part);
  }
  return root;
}

std::vector<CacheSystem> CacheSystemsFromJson(const Json::Value& root, const std::string& name) {
  if (!root.isObject() || !root.isMember("systems")) return {CacheSystem{std::nullopt, "", CacheFromJson(root, name)}};
  const auto bad = [&](const std::string& why) { return RunError(fmt::format("the cache file {} {}", name, why)); };
  if (!root["systems"].isArray()) throw bad("has a \"systems\" member that is not an array");
  std::vector<CacheSystem> out;
  for (const auto& part : root["systems"]) {
    if (!part.isObject() || !part["address"].isUInt() || part["address"].asUInt() > 255 || !part["id"].isString())
      throw bad("has a system without address and id");
    out.push_back({part["address"].asUInt(), part["id"].asString(), CacheFromJson(part, name)});
  }
  return out;
}

std::string CheckWritable(const std::string& path) {
  // Tried for real: permission bits say little to root, and nothing of a
  // read-only or special file system.
  std::string target, temp, why;
  const int fd = OpenTemp(path, target, temp, why);
  if (fd < 0) return why;
  ::close(fd);
  ::unlink(temp.c_str());
  if (access(target.c_str(), F_OK) == 0 && access(target.c_str(), W_OK) != 0) return Errno("cannot write", target);
  return {};
}

std::string WriteAtomically(const std::string& path, const std::string& text, const char* what) {
  // Found again at every write: a link pointed elsewhere meanwhile is followed,
  // a path that is no longer a regular file is left alone.
  std::string target, temp, opened;
  const int fd = OpenTemp(path, target, temp, opened);
  if (fd < 0) return opened;
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const std::string why = Errno("cannot write", temp);
      ::close(fd);
      ::unlink(temp.c_str());
      return why;
    }
    done += static_cast<std::size_t>(n);
  }
  const bool synced = ::fsync(fd) == 0;
  if (::close(fd) != 0 || !synced) {
    const std::string why = Errno("cannot sync", temp);
    ::unlink(temp.c_str());
    return why;
  }
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    const std::string why = Errno(fmt::format("cannot rename the new {} to", what).c_str(), target);
    ::unlink(temp.c_str());
    return why;
  }
  // The rename itself reaches the disk with the folder.
  const int dir = ::open(Folder(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return {};
}

}  // namespace runner
