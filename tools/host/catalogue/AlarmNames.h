// English names of the plug-in's alarms, one row per alarm row, for what a
// person reads (page, metrics, Home Assistant). Events keep the plug-in's own
// Chinese name and text byte for byte; this only adds a name beside them.
#pragma once
#include <string>

namespace catalogue {

// The alarm's English name; "{n}" in a row is the channel, fuse or module
// number of the alarm's text (the first number in it). Empty for a key no
// row names.
std::string EnglishAlarmName(const std::string& key, const std::string& text);

}  // namespace catalogue
