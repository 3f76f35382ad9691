// One frame as a line for a person, the same wherever frames are shown
// (--decode-capture, the --forward view): time, direction, address, role,
// command with its name, RTN, INFO length, checksum state, pairing and the
// decoded values; and the parts that line is made of.
#pragma once
#include <string>

#include "tools/host/wire/Fields.h"
#include "tools/host/wire/Frame.h"

namespace wire {

// "2026-12-09 18:25:22.123456" (UTC), "-" when the time is unknown.
std::string TimeText(double t);
const char* RoleKey(Role r);
// What the frame asks or answers: "41/41 rectifier analog values"; a reply
// with no command: "41/?? rectifier reply".
std::string CommandText(const Frame& f);
// The values of an intact normal reply to a known command; else nothing.
Meaning MeaningOf(const Frame& f);
// "after 52.3 ms", "no reply", "no command asked for it", "two commands in a row", or "".
std::string PairText(const Frame& f);
// The whole line, without a newline; `m` is MeaningOf(f).
std::string FrameLine(const Frame& f, const Meaning& m);

}  // namespace wire
