// The JSON form of observations: the event (or events) each one makes, in the
// member order the --events stream fixes, and the helpers every output that
// writes JSON shares (hex, numbers, an alarm's identity).
#pragma once
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "host/json.h"
#include "tools/host/stream/Observation.h"

namespace runner {

// One event: its members in the order they are written.
using Fields = std::vector<std::pair<std::string, Json::Value>>;

// The event (or events) an observation makes, each with "t" last; none for a notice.
std::vector<Fields> EventFields(const Stamped& o);

// One event as a JSON object on one line, without the newline: members keep
// the given order ("event" first), UTF-8 is kept as is.
std::string EventLine(const Fields& event);

// What names an alarm call and what it says, as events, the status JSON and
// MQTT states write it: data_id, device_type, level, key, code, name, text.
Fields AlarmMembers(const AlarmCall& a);
Json::Value AlarmObject(const AlarmCall& a);

// Upper-case hex of bytes, two digits each, no separators.
std::string Hex(const unsigned char* data, std::size_t length);
// The bytes of hex text (either case); `ok` false when it is not hex.
std::vector<unsigned char> FromHex(const std::string& hex, bool& ok);
// A float as a JSON number with the fewest digits that read back to it;
// null when it is not finite.
Json::Value Number(float value);

}  // namespace runner
