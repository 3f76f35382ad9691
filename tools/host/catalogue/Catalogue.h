// The catalogue of meaning: for every field of the three published records
// (AC 5026, rectifier 5027, DC 5028) a stable key, a display name, the unit,
// Home Assistant's device and state class, a Prometheus metric and labels, a
// display precision and its kind; offsets come from the plug-in's own record
// definitions. Every output that names a number reads it from here.
#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace catalogue {

enum class Kind { Measurement, State, Setting };
enum class Encoding { Float32, Byte };

// One field of a record, or of each element of a repeated group. In key,
// name and labels, "{n}" stands for the element's number, counted from 1.
struct Field {
  const char* key;
  const char* name;
  const char* unit;         // "" when it has none
  const char* deviceClass;  // Home Assistant's device class, or null
  const char* metric;       // Prometheus metric name
  const char* labels;       // fixed labels, `name="value"` pairs, or ""
  int precision;            // digits after the point a person is shown
  Kind kind;
  Encoding encoding;
  std::size_t offset;       // in the record, or in the element
  // Present only when the count byte at countAt (same base as offset) is
  // above slot; countAt < 0: always present.
  int countAt = -1;
  unsigned slot = 0;
};

// Elements of one kind: `count` of them were received (the byte at
// countOffset), at most `max` are kept from `first`, `stride` bytes apart.
// Elements that follow the record (AC channels, rectifier modules) have no
// fixed maximum: as many as the image holds.
struct Group {
  const char* element;  // label name and what a person calls one ("battery")
  std::size_t countOffset;
  unsigned max;         // 0: as many as the image holds
  std::size_t first, stride;
  const Field* fields;
  std::size_t fieldCount;
};

struct Record {
  int type;           // the record type of the publication
  const char* unit;   // "ac", "rc", "dc": the unit's short name
  const char* deviceType;  // the child's device type
  const char* title;  // what a person calls the unit
  std::size_t size;   // the fixed part's size
  const Field* fields;
  std::size_t fieldCount;
  const Group* groups;
  std::size_t groupCount;
  std::size_t stampOffset;  // the 7-byte round time stamp
};

const std::vector<const Record*>& Records();
const Record* RecordOfType(int type);
const Record* RecordOfDevice(const std::string& deviceType);

// One decoded field of one image.
struct Reading {
  const Field* field = nullptr;
  const Group* group = nullptr;  // null: a field of the fixed part
  unsigned number = 0;           // the element's number from 1; 0 for the fixed part
  std::string key, name, labels;
  double value = 0;
  // The field's unit and device class ("" when none), unless the operator's
  // labels give others: outputs read these, not the field's.
  std::string unit, deviceClass;
};

// Every field the image holds: fixed fields first, then each group's elements
// within the received count, named by the active labels where the operator
// named them. An image shorter than the fixed part gives none.
std::vector<Reading> Decode(const Record& record, const unsigned char* image, std::size_t length);

// The round time stamp of an image as "YYYY-MM-DD HH:MM:SS" (local time of the
// host that wrote it); empty when the image is too short or it was never set.
std::string StampText(const Record& record, const unsigned char* image, std::size_t length);

// What a state reading's code means in words ("on", "float", "low",
// "blown"), "code N" for a code without a word, "" for a reading that is not
// a state.
std::string StateText(const Reading& r);

// "{n}" replaced by the number.
std::string Numbered(const char* pattern, unsigned number);

}  // namespace catalogue
