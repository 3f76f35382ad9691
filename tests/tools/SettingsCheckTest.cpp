// The runner's settings checker: clean settings pass, and each mistake gives
// exactly one problem at the right place with the right reason.
#include <gtest/gtest.h>

#include "tools/host/loop/SettingsCheck.h"

namespace {

using runner::CheckSettings;

Json::Value Parse(const std::string& text) {
  Json::Value v;
  std::string errors;
  const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
  EXPECT_TRUE(reader->parse(text.data(), text.data() + text.size(), &v, &errors)) << text << errors;
  return v;
}

TEST(SettingsCheck, EachMistakeIsNamedOnceWhereItIs) {
  struct Row {
    const char* settings;
    const char* where;   // unused when clean
    const char* phrase;  // nullptr: no problem expected
  };
  const Row rows[] = {
      {R"({"data_id": 100, "address": 1, "acSetting": [{"data_id": 11, "appSetting": {"diff_v": 5, "diff_i": "2"}},
           {"data_id": 12}], "dcSetting": [{"data_id": 21, "appSetting": {"diff_v": "0.5"}}], "rcSetting": {"data_id": 100}})",
       "", nullptr},
      // Limits, numeric text with spaces, nulls and a rectifier id of its own are all accepted.
      {R"({"data_id": 4294967295, "address": 0, "acSetting": [{"data_id": 0, "appSetting": {"diff_v": " -1.5e2 ",
           "diff_i": null}}], "dcSetting": [], "rcSetting": {"data_id": 7}})", "", nullptr},
      {R"({})", "", "\"rcSetting\" is missing: the plug-in refuses the settings without it; give an object"},
      {R"({"rcSetting": null})", "", "\"rcSetting\" is missing"},
      {R"([1])", "", "must be a JSON object"},
      {R"({"adress": 1, "rcSetting": {}})", "", "unknown key \"adress\" (did you mean \"address\"?)"},
      {R"({"acSettngs": [], "rcSetting": {}})", "", "unknown key \"acSettngs\" (did you mean \"acSetting\"?)"},
      {R"({"data_id": 1, "acSetting": [{"apSetting": {}}], "rcSetting": {}})", "acSetting[0]",
       "(did you mean \"appSetting\"?)"},
      {R"({"rcSetting": {"name": "x"}})", "rcSetting", "unknown key \"name\", which nothing reads; the keys here are \"data_id\""},
      {R"({"acSetting": {}, "rcSetting": {}})", "acSetting", "must be an array of objects, not {}; the plug-in makes no AC units"},
      {R"({"data_id": 1, "dcSetting": [5], "rcSetting": {}})", "dcSetting[0]", "must be an object, not 5; the plug-in makes a unit"},
      {R"({"rcSetting": 1})", "rcSetting", "must be an object, not 1"},
      {R"({"acSetting": [{"data_id": -1}], "rcSetting": {}})", "acSetting[0].data_id",
       "must be a whole number from 0 to 4294967295, not -1; the plug-in refuses the settings"},
      {R"({"dcSetting": [{"data_id": 1.5}], "rcSetting": {}})", "dcSetting[0].data_id", "from 0 to 4294967295, not 1.5"},
      {R"({"dcSetting": [{"data_id": "7"}], "rcSetting": {}})", "dcSetting[0].data_id", "from 0 to 4294967295, not \"7\""},
      {R"({"acSetting": [{"data_id": 4294967296}], "rcSetting": {}})", "acSetting[0].data_id", "not 4294967296"},
      {R"({"address": 256, "rcSetting": {}})", "address", "from 0 to 255, not 256; the plug-in refuses"},
      {R"({"data_id": -3, "rcSetting": {}})", "data_id", "not -3; the runner refuses the settings"},
      {R"({"data_id": 1, "acSetting": [{"appSetting": {"diff_v": "abc"}}], "rcSetting": {}})", "acSetting[0].appSetting.diff_v",
       "must be a number or numeric text, not \"abc\"; the plug-in would silently read it as 0 (atof)"},
      {R"({"data_id": 1, "dcSetting": [{"appSetting": {"diff_i": "5abc"}}], "rcSetting": {}})", "dcSetting[0].appSetting.diff_i",
       "read it as 5 (atof)"},
      {R"({"data_id": 1, "dcSetting": [{"appSetting": {"diff_v": [1]}}], "rcSetting": {}})", "dcSetting[0].appSetting.diff_v",
       "not [1]; the unit keeps 0.1"},
      {R"({"data_id": 1, "acSetting": [{"appSetting": {"diff_i": "1e40"}}], "rcSetting": {}})", "acSetting[0].appSetting.diff_i",
       "must be a finite number"},
      {R"({"data_id": 1, "acSetting": [{"appSetting": 5}], "rcSetting": {}})", "acSetting[0].appSetting",
       "must be an object, not 5; the unit ignores it"},
      {R"({"acSetting": [{"data_id": 11}], "dcSetting": [{"data_id": 11}], "rcSetting": {}})", "dcSetting[0].data_id",
       "data id 11 is also used by acSetting[0].data_id"},
      {R"({"data_id": 5, "acSetting": [{}, {}], "rcSetting": {}})", "acSetting[1].data_id",
       "data id 0 is also used by acSetting[0].data_id"},
      {R"({"data_id": 100, "dcSetting": [{"data_id": 100}], "rcSetting": {}})", "dcSetting[0].data_id",
       "data id 100 is the port device's \"data_id\" (0 when absent), which the rectifier carries too"},
      {R"({"acSetting": [{"data_id": 3}, {}], "rcSetting": {}})", "acSetting[1].data_id", "is the port device's"},
  };
  for (const Row& row : rows) {
    const auto problems = CheckSettings(Parse(row.settings));
    std::string all;
    for (const auto& p : problems) all += runner::Describe(p) + "\n";
    SCOPED_TRACE(std::string(row.settings) + "\n" + all);
    ASSERT_EQ(problems.size(), row.phrase ? 1u : 0u);
    if (!row.phrase) continue;
    EXPECT_EQ(problems[0].where, row.where);
    EXPECT_NE(problems[0].text.find(row.phrase), std::string::npos);
  }
}

TEST(SettingsCheck, DescribeLeadsWithThePlace) {
  const auto problems = CheckSettings(Parse(R"({"acSetting": [{"apSetting": {}}], "rcSetting": {}, "data_id": 1})"));
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(runner::Describe(problems[0]), "acSetting[0]: unknown key \"apSetting\" (did you mean \"appSetting\"?)");
}

// Several systems in one file: the list's own faults, and the clashes between
// systems (one line each, the later use naming the first).
TEST(SettingsCheck, SystemsListedTogetherClashOnAddressesAndDataIds) {
  struct Row {
    const char* file;
    const char* expected;  // every problem, one a line; "" clean; "!" the list refused
  };
  const Row rows[] = {
      {R"({"systems": [{"data_id": 1, "address": 1, "rcSetting": {}}, {"data_id": 2, "address": 2, "rcSetting": {}}]})", ""},
      {R"({"systems": [{"data_id": 1, "rcSetting": {}}, {"data_id": 2, "address": 1, "rcSetting": {}}]})",
       "systems[1].address: address 1 (1 when absent) is also that of systems[0]; each system on the line needs an "
       "address of its own\n"},
      {R"({"systems": [{"data_id": 1, "address": 3, "acSetting": [{"data_id": 7}], "rcSetting": {}},
                       {"data_id": 2, "address": 4, "dcSetting": [{"data_id": 1}, {"data_id": 7}], "rcSetting": {}}]})",
       "systems[1].dcSetting[0].data_id: data id 1 (0 when absent) is also used by systems[0].data_id; data ids "
       "must differ across all the systems\n"
       "systems[1].dcSetting[1].data_id: data id 7 (0 when absent) is also used by systems[0].acSetting[0].data_id; "
       "data ids must differ across all the systems\n"},
      // Both without an address or a data id: the defaults clash; a bad address is left to its own check.
      {R"({"systems": [{"rcSetting": {}}, {"rcSetting": {}}, {"address": 300, "data_id": 9, "rcSetting": {}}]})",
       "systems[1].address: address 1 (1 when absent) is also that of systems[0]; each system on the line needs an "
       "address of its own\n"
       "systems[1].data_id: data id 0 (0 when absent) is also used by systems[0].data_id; data ids must differ "
       "across all the systems\n"},
      // A name given twice, or given as another system's default, clashes in topics and labels.
      {R"({"systems": [{"name": "north", "address": 2, "data_id": 1, "rcSetting": {}},
                       {"name": "north", "address": 3, "data_id": 2, "rcSetting": {}},
                       {"address": 5, "data_id": 3, "rcSetting": {}},
                       {"name": "system5", "address": 6, "data_id": 4, "rcSetting": {}}]})",
       "systems[1].name: the name north (system<address> when absent) is also that of systems[0]; topics and labels "
       "need a name of their own for each system\n"
       "systems[3].name: the name system5 (system<address> when absent) is also that of systems[2]; topics and "
       "labels need a name of their own for each system\n"},
      {R"({"systems": [{"name": "north hall", "rcSetting": {}}]})", "!systems[0].name must be a word"},
      {R"({"systems": []})", "!\"systems\" must be a non-empty array"},
      {R"({"systems": [{"rcSetting": {}}, 4]})", "!systems[1] must be a settings object, not 4"},
      {R"({"data_id": 1, "systems": [{"rcSetting": {}}]})", "!\"data_id\" beside \"systems\""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.file);
    std::string all;
    try {
      for (const auto& p : runner::CheckAcrossSystems(runner::ListSystems(Parse(row.file))))
        all += runner::Describe(p) + "\n";
    } catch (const runner::SystemListError& e) {
      all = std::string("!") + e.what();
    }
    if (row.expected[0] == '!')
      EXPECT_EQ(all.rfind(row.expected, 0), 0u) << all;
    else
      EXPECT_EQ(all, row.expected);
  }
  // A file without "systems" is one system, the whole file, named by nothing.
  const auto one = runner::ListSystems(Parse(R"({"address": 9, "rcSetting": {}})"));
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].name, "");
  EXPECT_EQ(one[0].address, 9u);
  EXPECT_EQ(runner::PlaceIn(one[0], "address"), "address");
}

}  // namespace
