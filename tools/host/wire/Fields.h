// What a normal reply's INFO says: the values of the analog, status, alarm,
// parameter and model replies read from their layouts, named as the catalogue
// names them.
#pragma once
#include <string>
#include <vector>

namespace wire {

struct Value {
  std::string key;    // the catalogue's key ("battery_2_current"), with "dc_1_" before it when there are several units
  std::string name;   // "Battery 2 current"
  double number = 0;  // when text is empty
  std::string text;   // a text value (the model's name)
  const char* unit = "";
};

struct Meaning {
  std::string summary;        // one line for a person; empty: a layout not read here
  std::vector<Value> values;
  std::string problem;        // why INFO could not be read whole, or ""
};

// The meaning of the INFO of a reply (RTN 00) to the command cid1/commandCid2.
Meaning DescribeReply(unsigned char cid1, unsigned char commandCid2, const std::vector<unsigned char>& info);

}  // namespace wire
