// qpr2427k-host --forward: between a controller (line A) and the power system
// (line B), every byte passed on unchanged the moment it is read, both ways;
// the frames read from the same bytes afterwards, paired and decoded, go out
// as observations (view, events) and to a pcap file.
#pragma once
#include <cstdio>

#include "tools/host/loop/RunOptions.h"
#include "tools/host/outputs/events/EventLog.h"

namespace runner {

// Runs until SIGINT or SIGTERM (0), --duration (0), or a line lost with
// --exit-on-line-loss (1); options.forwardA and forwardB must be set.
// Throws RunError when the pcap file cannot be written.
int Forward(const RunOptions& options, std::FILE* view, EventLog& events);

}  // namespace runner
