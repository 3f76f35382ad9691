// Reading an input file whole once it is known to be a regular file below a
// size bound, or opening one to read as a stream: a FIFO, a device or a folder
// is refused, never waited on or read.
#pragma once
#include <cstddef>
#include <cstdio>
#include <stdexcept>
#include <string>

namespace inputs {

// The bound of every input file unless its kind needs more.
inline constexpr std::size_t kInputBound = std::size_t{16} << 20;

// Why an input file cannot be read. what(): one line naming the file's kind
// and path ("cannot read the settings file F: it is a FIFO, not a regular
// file"); reason(): the cause alone; missing(): the file does not exist.
class InputError : public std::runtime_error {
 public:
  InputError(const std::string& message, std::string reason, bool missing)
      : std::runtime_error(message), reason_(std::move(reason)), missing_(missing) {}
  const std::string& reason() const { return reason_; }
  bool missing() const { return missing_; }

 private:
  std::string reason_;
  bool missing_;
};

// What a file of this st_mode is, for messages: "a FIFO", "a folder", ...
const char* FileKind(unsigned mode);

// The bytes of `path`, a regular file of at most `bound` bytes; `kind` names
// it in messages ("settings file"). Never blocks on a FIFO or a device: those
// are refused before a byte is read. Throws InputError.
std::string ReadInputFile(const std::string& path, const std::string& kind, std::size_t bound = kInputBound);

// `path` opened for reading once it is known to be a regular file, of any
// size (the caller reads it in bounded pieces). Throws InputError.
std::FILE* OpenInputStream(const std::string& path, const std::string& kind);

}  // namespace inputs
