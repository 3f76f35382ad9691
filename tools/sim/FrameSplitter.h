// The line's framing on the simulated device's side: received bytes cut into
// command frames, each from the start marker '~' up to its CR.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace sim {

class FrameSplitter {
 public:
  FrameSplitter();

  // Feeds received bytes: calls onFrame(std::string_view) with each whole frame
  // (from '~' to the checksum, CR excluded) and onOverlong() for each frame
  // dropped as far too long for a command. Bytes between frames are noise.
  template <class OnFrame, class OnOverlong>
  void Feed(const char* data, std::size_t length, OnFrame&& onFrame, OnOverlong&& onOverlong) {
    for (std::size_t k = 0; k < length; ++k) {
      switch (Push(data[k])) {
        case Cut::kFrame: onFrame(std::string_view(rx_)); break;
        case Cut::kOverlong: onOverlong(); break;
        case Cut::kNone: break;
      }
    }
  }

 private:
  enum class Cut { kNone, kFrame, kOverlong };
  Cut Push(char ch);

  std::string rx_;
  bool inFrame_ = false;
};

}  // namespace sim
