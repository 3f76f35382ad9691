// What a normal reply's INFO says: the values of the analog replies and the
// model reply read from their layouts, each named with its unit.
#pragma once
#include <string>
#include <vector>

namespace wire {

struct Value {
  std::string name;   // "DC 1 battery 2 current"
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
