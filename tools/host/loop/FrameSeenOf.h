// A frame of the forwarded line as the observation the outputs take.
#pragma once
#include "tools/host/stream/Observation.h"
#include "tools/host/wire/Frame.h"

namespace runner {

// The frame after the pairing step: header, check, pairing, values and the
// line a person is shown, stamped with the time its SOI came.
Stamped FrameSeenOf(const wire::Frame& f);

}  // namespace runner
