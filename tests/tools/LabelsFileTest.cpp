// The labels file: each mistake refused in one line naming its place, and a
// good file naming the DC readings the decoder gives every output.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <fstream>

#include "tools/host/catalogue/Catalogue.h"
#include "tools/host/loop/LabelsFile.h"
#include "tools/host/stream/RunError.h"
#include "units/dc/tele_c_qpr2427k_dc.h"

namespace {

std::string WriteLabels(const std::string& text) {
  static int counter = 0;
  const std::string path = ::testing::TempDir() + "labels-" + std::to_string(getpid()) + "-" +
                           std::to_string(counter++) + ".json";
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

// What ReadLabels says of the text after "the labels file PATH"; "" when it takes it.
std::string Refusal(const std::string& text) {
  const std::string path = WriteLabels(text);
  try {
    runner::ReadLabels(path);
  } catch (const runner::RunError& e) {
    const std::string lead = "the labels file " + path;
    const std::string what = e.what();
    EXPECT_EQ(what.rfind(lead, 0), 0u) << what;
    return what.substr(lead.size());
  }
  return "";
}

TEST(LabelsFile, EachMistakeIsOneLineNamingItsPlace) {
  const std::string kClasses =
      R"("apparent_power", "battery", "current", "duration", "energy", "energy_storage", "frequency", "humidity", )"
      R"("illuminance", "irradiance", "power", "power_factor", "pressure", "reactive_power", "signal_strength", )"
      R"("temperature", "voltage")";
  const struct {
    std::string file, says;
  } rows[] = {
      {R"([1])", R"(: the labels must be a JSON object of "branches", "batteries", "user_values", not [1])"},
      {R"({"brances": {}})", R"(: unknown member "brances"; did you mean "branches"?)"},
      {R"({"names": {}})", R"(: unknown member "names"; the members here are "branches", "batteries", "user_values")"},
      {R"({"branches": ["radio"]})", R"(: branches: must be an object of branch numbers and their labels, not ["radio"])"},
      {R"({"branches": {"0": "a"}})", ": branches.0: not a branch number from 1 to 9"},
      {R"({"branches": {"01": "a", "-1": "b"}})",
       ": branches.-1: not a branch number from 1 to 9; branches.01: not a branch number from 1 to 9"},
      {R"({"batteries": {"5": "a"}})", ": batteries.5: not a battery number from 1 to 4"},
      {R"({"user_values": {"1.5": {"name": "a"}}})", R"(: user_values."1.5": not a user value number from 1 to 4)"},
      {R"({"branches": {"1": ""}})", ": branches.1: the name is empty"},
      {R"({"batteries": {"1": "   "}})", ": batteries.1: the name is empty"},
      {R"({"branches": {"1": 5}})", ": branches.1: the name must be text, not 5"},
      {R"({"branches": {"1": ")" + std::string(65, 'x') + R"("}})",
       ": branches.1: the name is 65 bytes long, more than the 64 it may have"},
      {R"({"branches": {"1": "a\tb"}})", ": branches.1: the name holds a control character (a newline, a tab, ...)"},
      {"{\"branches\": {\"1\": \"a\xff\"}}", ": branches.1: the name is not UTF-8 text (or holds a control character)"},
      {R"({"user_values": {"1": "temperature"}})",
       R"(: user_values.1: must be an object with "name" and, if need be, "unit" and "device_class", not "temperature")"},
      {R"({"user_values": {"1": {"unit": "V"}}})", R"(: user_values.1: "name" is missing)"},
      {R"({"user_values": {"1": {"name": "a", "units": "V"}}})", R"(: user_values.1: unknown member "units"; did you mean "unit"?)"},
      {R"({"user_values": {"2": {"name": "a", "unit": ")" + std::string(17, 'm') + R"("}}})",
       ": user_values.2.unit: the unit is 17 bytes long, more than the 16 it may have"},
      {R"({"user_values": {"1": {"name": "a", "device_class": "temprature"}}})",
       R"(: user_values.1.device_class: unknown device class "temprature"; did you mean "temperature"?)"},
      {R"({"user_values": {"1": {"name": "a", "device_class": "colour"}}})",
       R"(: user_values.1.device_class: unknown device class "colour"; the classes are )" + kClasses},
      {R"({"user_values": {"1": {"name": "a", "device_class": 3}}})",
       ": user_values.1.device_class: must be a Home Assistant device class (text), not 3"},
      {R"({"branches": {"1": "a", "1": "b"}})", " is not valid JSON: Line 1, Column 25: Duplicate key: '1'"},
      // Clean: nulls count as absent, the largest numbers are taken.
      {R"({"branches": {"9": "a", "1": null}, "batteries": null, "user_values": {"4": {"name": "a", "unit": null}}})", ""},
  };
  for (const auto& row : rows) EXPECT_EQ(Refusal(row.file), row.says) << row.file;
}

template <typename T>
void PutFloat(T& field, float v) {
  std::memcpy(field, &v, 4);
}

TEST(LabelsFile, DecodeGivesTheLabelledNamesUnitsAndClasses) {
  catalogue::Labels::Use(runner::ReadLabels(WriteLabels(R"({
    "branches": {"1": "radio"}, "batteries": {"2": "string B"},
    "user_values": {"1": {"name": "battery temperature", "unit": "°C", "device_class": "temperature"},
                    "2": {"name": "door"}}})")));
  tele_c_qpr2427k_dc dc{};
  dc.dc_m = 2, dc.dc_n = 2, dc.p_count = 3;
  PutFloat(dc.user_p[0], 24.5f);
  std::vector<unsigned char> image(sizeof dc);
  std::memcpy(image.data(), &dc, sizeof dc);
  const auto readings = catalogue::Decode(*catalogue::RecordOfType(5028), image.data(), image.size());
  catalogue::Labels::Use({});  // the other tests decode with the catalogue's names

  const struct {
    const char *key, *name, *unit, *deviceClass;
  } rows[] = {
      {"branch_1_current", "radio current", "A", "current"},
      {"branch_2_current", "Branch 2 current", "A", "current"},
      {"battery_1_current", "Battery 1 current", "A", "current"},
      {"battery_2_current", "string B current", "A", "current"},
      {"user_value_1", "battery temperature", "°C", "temperature"},
      {"user_value_2", "door", "", ""},
      {"user_value_3", "User value 3", "", ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.key);
    const auto r = std::find_if(readings.begin(), readings.end(), [&](const auto& x) { return x.key == row.key; });
    ASSERT_NE(r, readings.end());
    EXPECT_EQ(r->name, row.name);
    EXPECT_EQ(r->unit, row.unit);
    EXPECT_EQ(r->deviceClass, row.deviceClass);
  }
}

}  // namespace
