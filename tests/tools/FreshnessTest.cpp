// Stale values are not served as current: the endpoint's model exports a
// unit's values only while health is online and their round is under 61 s old.
#include <gtest/gtest.h>

#include <cstring>

#include "tools/host/outputs/http/StatusModel.h"

namespace {

using namespace runner;

// A DC unit's image (record 5028) whose output voltage is `v`, all else 0.
Published DcImage(float v) {
  const catalogue::Record& dc = *catalogue::RecordOfType(5028);
  Published p{21, dc.type, std::vector<unsigned char>(dc.size)};
  for (std::size_t k = 0; k < dc.fieldCount; ++k)
    if (std::string(dc.fields[k].key) == "dc_voltage") std::memcpy(&p.image[dc.fields[k].offset], &v, sizeof v);
  return p;
}

TEST(Freshness, StaleOrUnhealthyValuesLeaveTheMetricsAndAreMarkedInTheStatus) {
  StatusModel model("site");
  const Millis t0 = 1'000'000;
  model.Observe({t0, HealthChanged{Health::Online, Health::Starting, "ONLINE"}});
  model.Observe({t0, DcImage(53.5f)});
  model.Observe({t0, RoundEnded{1, 100, 11}});
  model.Observe({t0, ValuesRead{{{21, "qpr2427k-dc", "v", true, 53.5f, {}}}, 1, {}}});
  struct Row {
    Millis at;
    bool exported;
  } rows[] = {{t0 + 1000, true}, {t0 + 60'000, true}, {t0 + 61'000, false}};
  for (const auto& row : rows) {
    const std::string metrics = model.Metrics(row.at);
    EXPECT_EQ(metrics.find("qpr2427k_dc_voltage_volts{") != std::string::npos, row.exported) << row.at;
    EXPECT_NE(metrics.find("qpr2427k_unit_last_update_timestamp_seconds{"), std::string::npos);
    EXPECT_NE(model.StatusJson(row.at).find(row.exported ? "\"fresh\":true" : "\"fresh\":false"), std::string::npos);
  }
  // A young value with the line lost is stale too.
  model.Observe({t0 + 2000, HealthChanged{Health::CommLost, Health::Online, "COMM LOST"}});
  EXPECT_EQ(model.Metrics(t0 + 2000).find("qpr2427k_dc_voltage_volts{"), std::string::npos);
}

}  // namespace

namespace {

TEST(AlarmMetric, EveryReportedAlarmHasASampleBeforeItIsRaised) {
  runner::StatusModel model("site");
  const runner::AlarmCall low{21, "qpr2427k-dc", 3, "DC_0", "06008", "输出电压过低告警", "输出电压过低告警", false, 1};
  model.Observe({1, low});
  const std::string metrics = model.Metrics(2);
  EXPECT_NE(metrics.find("key=\"DC_0\""), std::string::npos) << metrics;
  EXPECT_NE(metrics.find("name=\"DC output voltage low\"} 0"), std::string::npos) << metrics;
  model.Observe({3, runner::AlarmChange{low, true, 3}});  // the kept text follows the change
  EXPECT_NE(model.Metrics(4).find("name=\"DC output voltage low\"} 1"), std::string::npos);
}

}  // namespace

namespace {

// A scrape between a round's image, its end and its values shows the round
// before, whole: its count with its readings.
TEST(RoundCounters, ARoundCountsOnlyWithItsValuesAndItsImages) {
  runner::StatusModel model("site");
  const auto sample = [&](const std::string& name) {
    const std::string m = model.Metrics(5);
    const auto at = m.find(name);
    if (at == std::string::npos) return std::string("none");
    return m.substr(at + name.size(), m.find('\n', at) - at - name.size());
  };
  const auto rounds = [&] { return sample("qpr2427k_rounds_total{site=\"site\"} "); };
  const auto volts = [&] { return sample("qpr2427k_dc_voltage_volts{site=\"site\",data_id=\"21\"} "); };
  model.Observe({1, runner::HealthChanged{runner::Health::Online, runner::Health::Starting, "ONLINE"}});
  model.Observe({1, DcImage(53.5f)});
  model.Observe({1, runner::RoundEnded{1, 100, 11}});
  EXPECT_EQ(rounds(), "0");
  EXPECT_EQ(volts(), "none");
  model.Observe({2, runner::ValuesRead{{{21, "qpr2427k-dc", "v", true, 53.5f, {}}}, 1, {}}});
  EXPECT_EQ(rounds(), "1");
  EXPECT_EQ(volts(), "53.5");
  model.Observe({3, DcImage(48.25f)});
  EXPECT_EQ(volts(), "53.5");
  model.Observe({3, runner::RoundEnded{2, 100, 11}});
  EXPECT_EQ(volts(), "53.5");
  model.Observe({3, runner::CommandSent{}});  // no values came: the round counts anyway, with its image
  EXPECT_EQ(rounds(), "2");
  EXPECT_EQ(volts(), "48.25");
}

}  // namespace
