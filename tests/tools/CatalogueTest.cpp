// The catalogue of meaning: images decoded field by field within the received
// counts, names and metrics that outputs can use as they are, and --decode.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <regex>
#include <set>

#include "tools/host/catalogue/Catalogue.h"
#include "tools/host/cli/Decode.h"
#include "tools/host/outputs/cache/CacheFile.h"
#include "tools/host/catalogue/AlarmNames.h"
#include "tools/host/catalogue/Plant.h"
#include "units/ac/AcAlarmRows.h"
#include "units/dc/SystemStatusTable.h"
#include "units/ac/tele_c_qpr2427k_ac.h"
#include "units/dc/tele_c_qpr2427k_dc.h"
#include "units/rc/tele_c_qpr2427k_rc.h"

namespace {

using namespace catalogue;

template <typename T>
void PutFloat(T& field, float v) {
  std::memcpy(field, &v, 4);
}

std::vector<unsigned char> DcImage() {
  tele_c_qpr2427k_dc dc{};
  PutFloat(dc.v, 47.5f);
  PutFloat(dc.i, 30.25f);
  dc.dc_m = 2;
  PutFloat(dc.m_value[0], -12.5f);
  PutFloat(dc.m_value[1], -12.25f);
  dc.dc_n = 200;  // a count beyond the room: only the room's 9 are read
  dc.alert_m = 3;
  dc.alert_m_state[2] = 3;
  std::vector<unsigned char> image(sizeof dc);
  std::memcpy(image.data(), &dc, sizeof dc);
  return image;
}

double ValueOf(const std::vector<Reading>& rs, const std::string& key) {
  for (const auto& r : rs)
    if (r.key == key) return r.value;
  ADD_FAILURE() << "no " << key;
  return 0;
}

std::size_t CountOf(const std::vector<Reading>& rs, const std::string& prefix) {
  std::size_t n = 0;
  for (const auto& r : rs) n += r.key.rfind(prefix, 0) == 0;
  return n;
}

TEST(Catalogue, DecodesOnlyTheSlotsWithinTheReceivedCounts) {
  const auto image = DcImage();
  const auto rs = Decode(*RecordOfType(5028), image.data(), image.size());
  EXPECT_FLOAT_EQ(ValueOf(rs, "dc_voltage"), 47.5f);
  EXPECT_FLOAT_EQ(ValueOf(rs, "battery_2_current"), -12.25f);
  EXPECT_EQ(ValueOf(rs, "fuse_3_state"), 3);
  struct Row {
    const char* prefix;
    std::size_t count;
  } rows[] = {{"battery_", 2}, {"branch_", 9}, {"fuse_", 3}, {"user_value_", 0}, {"system_status_", 0}};
  for (const auto& row : rows) EXPECT_EQ(CountOf(rs, row.prefix), row.count) << row.prefix;
  for (const auto& r : rs) {
    if (r.key != "battery_2_current") continue;
    EXPECT_EQ(r.name, "Battery 2 current");
    EXPECT_EQ(r.labels, "battery=\"2\"");
  }
  EXPECT_TRUE(Decode(*RecordOfType(5028), image.data(), image.size() - 1).empty());  // shorter than the record
}

TEST(Catalogue, StatesAreSaidInWords) {
  const auto image = DcImage();
  std::map<std::string, std::string> said;
  for (const auto& r : Decode(*RecordOfType(5028), image.data(), image.size())) said[r.key] = StateText(r);
  struct Row {
    const char* key;
    const char* text;
  } rows[] = {{"fuse_3_state", "blown"}, {"fuse_1_state", "normal"}, {"dc_voltage_status", "normal"}, {"dc_voltage", ""}};
  for (const auto& row : rows) EXPECT_EQ(said[row.key], row.text) << row.key;
  Reading odd = Decode(*RecordOfType(5028), image.data(), image.size()).back();
  odd.value = 7;
  EXPECT_EQ(StateText(odd), "code 7");
}

TEST(Catalogue, ModulesFollowTheRecordAndUserBytesFollowTheirCount) {
  tele_c_qpr2427k_rc rc{};
  rc.channel_count = 2;
  rc.dc_param_p = 2;  // two of the five battery settings
  tele_c_qpr2427k_rc_channel m[2]{};
  PutFloat(m[1].value41, 10.5f);
  m[1].status44 = 1;
  m[1].p44 = 2;  // over-voltage shutdown and communication interrupted, no module-fault byte
  std::vector<unsigned char> image(sizeof rc + sizeof m);
  std::memcpy(image.data(), &rc, sizeof rc);
  std::memcpy(image.data() + sizeof rc, m, sizeof m);
  const auto rs = Decode(*RecordOfType(5027), image.data(), image.size());
  EXPECT_FLOAT_EQ(ValueOf(rs, "rectifier_2_current"), 10.5f);
  EXPECT_EQ(ValueOf(rs, "rectifier_2_fault"), 1);
  EXPECT_EQ(CountOf(rs, "rectifier_2_module_fault"), 0u);
  EXPECT_EQ(CountOf(rs, "rectifier_1_over_voltage_shutdown"), 0u);  // its p44 is 0
  EXPECT_EQ(CountOf(rs, "battery_"), 2u);
  // An image cut inside the second module holds only the first.
  const auto cut = Decode(*RecordOfType(5027), image.data(), image.size() - 1);
  EXPECT_EQ(CountOf(cut, "rectifier_2_"), 0u);
  EXPECT_EQ(CountOf(cut, "rectifier_1_"), 5u);  // current, three states, fault; no user byte
}

TEST(Catalogue, KeysNamesAndMetricsAreUsableAsTheyAre) {
  const std::regex metric("[a-zA-Z_:][a-zA-Z0-9_:]*"), key("[a-z0-9_{}]+");
  for (const Record* r : Records()) {
    std::set<std::string> keys, names;
    const auto check = [&](const Field& f) {
      EXPECT_TRUE(std::regex_match(f.metric, metric)) << f.metric;
      EXPECT_TRUE(std::regex_match(f.key, key)) << f.key;
      EXPECT_TRUE(keys.insert(f.key).second) << "duplicate key " << f.key;
      EXPECT_TRUE(names.insert(f.name).second) << "duplicate name " << f.name;
    };
    for (std::size_t k = 0; k < r->fieldCount; ++k) check(r->fields[k]);
    for (std::size_t g = 0; g < r->groupCount; ++g)
      for (std::size_t k = 0; k < r->groups[g].fieldCount; ++k) check(r->groups[g].fields[k]);
  }
}

TEST(Catalogue, DecodeJobPrintsACacheFileAsCsvRows) {
  const std::string path = ::testing::TempDir() + "decode-cache.json", out = ::testing::TempDir() + "decode.csv";
  std::ofstream(path) << runner::CacheToJson({{0, "qpr2427k-dc", 21, DcImage()}}).toStyledString();
  std::FILE* f = std::fopen(out.c_str(), "w");
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(runner::DecodeImages(path, runner::DecodeFormat::Csv, f), 0);
  std::fclose(f);
  std::ifstream in(out);
  std::string header, line, battery;
  std::getline(in, header);
  EXPECT_EQ(header, "source,t,data_id,unit,stamp,key,name,value,unit_of_measure");
  while (std::getline(in, line))
    if (line.find(",battery_1_current,") != std::string::npos) battery = line;
  EXPECT_EQ(battery, "cache,,21,dc,,battery_1_current,Battery 1 current,-12.5,A");
}

}  // namespace

namespace plant {

using runner::Published;
using runner::Stamped;

std::vector<unsigned char> AcImage(float volts) {
  tele_c_qpr2427k_ac ac{};
  ac.channel_count = 1;
  tele_c_qpr2427k_ac_channel ch{};
  PutFloat(ch.a, volts);
  PutFloat(ch.b, volts);
  PutFloat(ch.c, volts);
  std::vector<unsigned char> image(sizeof ac + sizeof ch);
  std::memcpy(image.data(), &ac, sizeof ac);
  std::memcpy(image.data() + sizeof ac, &ch, sizeof ch);
  return image;
}

std::vector<unsigned char> BatteryImage(float each) {
  tele_c_qpr2427k_dc dc{};
  PutFloat(dc.v, 53.5f);
  PutFloat(dc.i, 30.0f);
  dc.dc_m = 2;
  PutFloat(dc.m_value[0], each);
  PutFloat(dc.m_value[1], each);
  std::vector<unsigned char> image(sizeof dc);
  std::memcpy(image.data(), &dc, sizeof dc);
  return image;
}

TEST(Plant, MainsBatteryAndDischargeFollowTheImages) {
  struct Step {
    runner::Millis t;
    float mainsV, batteryEach;  // per battery, two batteries
    bool mains, onBattery;
    double ah;
  };
  // Mains fails at 10 s (nothing counted before), the batteries give 15 A
  // each for an hour (30 Ah), then 0.2 A each for an hour, inside the dead
  // band, which keeps the state (0.4 Ah); the mains returns at 7210 s.
  const Step steps[] = {
      {0, 230, 1.5f, true, false, 0},           {10'000, 0, -15, false, true, 0},
      {3'610'000, 0, -15, false, true, 30},     {7'210'000, 0, -0.2f, false, true, 30.4},
      {7'210'000 + 1, 230, 1.0f, true, false, 30.4},
  };
  catalogue::Plant p;
  for (const auto& s : steps) {
    p.Observe(Stamped{s.t, Published{11, 5026, AcImage(s.mainsV)}});
    p.Observe(Stamped{s.t, Published{21, 5028, BatteryImage(s.batteryEach)}});
    const auto& st = p.State();
    SCOPED_TRACE(s.t);
    ASSERT_TRUE(st.mainsPresent && st.onBattery);
    EXPECT_EQ(*st.mainsPresent, s.mains);
    EXPECT_EQ(*st.onBattery, s.onBattery);
    EXPECT_NEAR(st.dischargedAh, s.ah, 0.01);
    EXPECT_FLOAT_EQ(static_cast<float>(*st.batteryCurrent), 2 * s.batteryEach);
  }
  EXPECT_EQ(p.State().mainsSince, 7'210'001);
}

TEST(Plant, RectifiersAreRunningOffOrFaulty) {
  tele_c_qpr2427k_rc rc{};
  rc.channel_count = 3;
  tele_c_qpr2427k_rc_channel m[3]{};
  m[1].status43[0] = 1;  // off
  m[2].status43[0] = 1;  // off and faulty: counted as faulty
  m[2].status44 = 1;
  std::vector<unsigned char> image(sizeof rc + sizeof m);
  std::memcpy(image.data(), &rc, sizeof rc);
  std::memcpy(image.data() + sizeof rc, m, sizeof m);
  catalogue::Plant p;
  p.Observe(Stamped{1, Published{100, 5027, image}});
  EXPECT_EQ(*p.State().rectifiers, 3u);
  EXPECT_EQ(p.State().running, 1u);
  EXPECT_EQ(p.State().off, 1u);
  EXPECT_EQ(p.State().faulty, 1u);
}

}  // namespace plant

namespace alarms {

TEST(AlarmNames, EveryAlarmRowHasAnEnglishNameWithItsNumber) {
  using AcRows = units::ac::AcAlarmRows<tele_c_qpr2427k_ac, tele_c_qpr2427k_ac_channel>;
  std::set<std::string> names;
  const auto check = [&](const units::AlarmRow& row) {
    const std::string name = catalogue::EnglishAlarmName(row.key, "交流屏2x");
    EXPECT_FALSE(name.empty()) << row.key;
    EXPECT_EQ(name.find("{n}"), std::string::npos) << row.key;
    EXPECT_TRUE(names.insert(name).second) << "duplicate name " << name;
  };
  for (const auto& row : AcRows::kChannel) check(row);
  for (const auto& row : AcRows::kCurrent) check(row);
  for (const auto& row : dc::kSystemStatusRows) check(row);
  struct Row {
    const char *key, *text, *english;
  } rows[] = {
      {"AC_8", "交流屏2输入线/相电压AB/A", "Mains 2 L1 phase lost"},
      {"DC_3", "直流3电池熔丝故障告警", "Battery fuse 3 blown"},
      {"QPR2427K_RC_2", "模块2模块故障告警状态", "Rectifier 2 module fault"},
      {"QPR2427K_AC_71", "其他告警", "Three-phase mains 2 L1 voltage high"},
      {"no_such_key", "x", ""},
  };
  for (const auto& row : rows) EXPECT_EQ(catalogue::EnglishAlarmName(row.key, row.text), row.english) << row.key;
}

}  // namespace alarms
