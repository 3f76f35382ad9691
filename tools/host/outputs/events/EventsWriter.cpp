// The --events observer: every event an observation makes goes to the log.
#include "tools/host/outputs/events/EventsWriter.h"

namespace runner {

void EventsWriter::Observe(const Stamped& o) {
  if (!log_.enabled()) return;
  for (const auto& e : EventFields(o)) log_.Write(e);
}

}  // namespace runner
