// Listen mode's remembered model replies: the last reply to the model query
// seen on the line for each address, with when it was seen, kept in a small
// JSON file so that a listener started after the other master can begin.
#pragma once
#include <map>
#include <string>

#include "tools/host/stream/Observation.h"

namespace runner {

struct ModelReply {
  std::string frame;  // the wire text as seen, from '~' up to the EOI (excluded)
  Millis seen = 0;    // when its first byte came
};

class ModelFile {
 public:
  explicit ModelFile(std::string path) : path_(std::move(path)) {}
  const std::string& path() const { return path_; }

  // Reads the file: empty when it was read or does not exist yet, else one
  // line on why nothing is taken from it.
  std::string Load();
  const ModelReply* For(unsigned char adr) const;
  // Keeps `reply` as address `adr`'s; the file's new text, to be written.
  std::string Remember(unsigned char adr, ModelReply reply);

 private:
  std::string path_;
  std::map<unsigned char, ModelReply> replies_;
};

// Whether `frame` (from '~', no CR) is an intact model reply with RTN 00 from `adr`.
bool IsModelReply(const std::string& frame, unsigned char adr);

}  // namespace runner
