// Cutting the received bytes into frames from '~' to CR, with the length cap
// of the protocol's longest frame.
#include "tools/sim/FrameSplitter.h"

#include "host/PMBusProtocol.h"

namespace sim {

FrameSplitter::FrameSplitter() { rx_.reserve(PMBusProtocol::kMaxFrameChars); }

FrameSplitter::Cut FrameSplitter::Push(char ch) {
  if (ch == '~') {
    rx_.assign(1, ch);
    inFrame_ = true;
  } else if (!inFrame_) {
    // noise between frames
  } else if (ch == '\r') {
    inFrame_ = false;
    return Cut::kFrame;
  } else if (rx_.size() >= PMBusProtocol::kMaxFrameChars) {
    inFrame_ = false;  // far too long for a command: nobody answers it
    return Cut::kOverlong;
  } else {
    rx_ += ch;
  }
  return Cut::kNone;
}

}  // namespace sim
