// Input-file checks: stat before opening (a device is not even opened), open
// without blocking, fstat the descriptor read, read at most the bound and one byte.
#include "tools/common/InputFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace inputs {
namespace {

std::string BoundText(std::size_t bound) {
  constexpr std::size_t kMiB = std::size_t{1} << 20;
  return bound % kMiB == 0 ? std::to_string(bound / kMiB) + " MiB" : std::to_string(bound) + " bytes";
}

struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

const char* FileKind(unsigned mode) {
  if (S_ISREG(mode)) return "a regular file";
  if (S_ISDIR(mode)) return "a folder";
  if (S_ISFIFO(mode)) return "a FIFO";
  if (S_ISCHR(mode)) return "a character device";
  if (S_ISBLK(mode)) return "a block device";
  if (S_ISSOCK(mode)) return "a socket";
  if (S_ISLNK(mode)) return "a symbolic link";
  return "a special file";
}

std::string ReadInputFile(const std::string& path, const std::string& kind, std::size_t bound) {
  const auto cannotOpen = [&](int error) {
    const std::string reason = std::strerror(error);
    return InputError("cannot open the " + kind + " " + path + ": " + reason, reason, error == ENOENT);
  };
  const auto cannotRead = [&](const std::string& reason) {
    return InputError("cannot read the " + kind + " " + path + ": " + reason, reason, false);
  };
  const auto check = [&](const struct stat& st) {
    if (!S_ISREG(st.st_mode)) throw cannotRead(std::string("it is ") + FileKind(st.st_mode) + ", not a regular file");
    if (static_cast<unsigned long long>(st.st_size) > bound) throw cannotRead("it is larger than " + BoundText(bound));
  };

  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) throw cannotOpen(errno);
  check(st);
  // O_NONBLOCK: should the path have become a FIFO since, the open returns at once.
  Descriptor file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
  if (file.fd < 0) throw cannotOpen(errno);
  if (::fstat(file.fd, &st) != 0) throw cannotRead(std::strerror(errno));
  check(st);

  std::string text(static_cast<std::size_t>(st.st_size) + 1, '\0');
  std::size_t have = 0;
  for (;;) {
    if (have == text.size()) {
      // The file grew after fstat: read on, up to the bound and one byte.
      if (text.size() > bound) break;
      text.resize(std::min(bound + 1, text.size() * 2 + 4096));
    }
    const ssize_t n = ::read(file.fd, &text[have], text.size() - have);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw cannotRead(std::strerror(errno));
    if (n == 0) break;
    have += static_cast<std::size_t>(n);
  }
  if (have > bound) throw cannotRead("it is larger than " + BoundText(bound));
  text.resize(have);
  return text;
}

std::FILE* OpenInputStream(const std::string& path, const std::string& kind) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    throw InputError("cannot open the " + kind + " " + path + ": " + std::strerror(error), std::strerror(error),
                     error == ENOENT);
  }
  Descriptor file{fd};
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    const std::string reason = std::string("it is ") + FileKind(st.st_mode) + ", not a regular file";
    throw InputError("cannot read the " + kind + " " + path + ": " + reason, reason, false);
  }
  std::FILE* stream = ::fdopen(fd, "r");
  if (!stream) throw InputError("cannot read the " + kind + " " + path + ": " + std::strerror(errno), std::strerror(errno), false);
  file.fd = -1;
  return stream;
}

}  // namespace inputs
