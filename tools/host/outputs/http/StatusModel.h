// What the HTTP endpoint serves, kept from the observation stream: each unit's
// latest values and catalogue readings with their time, the active alarms, the
// health, counters, round durations, the plant summary, the power system's
// model and an hour of chart points; rendered as Prometheus text and JSON.
#pragma once
#include <algorithm>
#include <array>
#include <iterator>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "host/json.h"
#include "tools/host/catalogue/Catalogue.h"
#include "tools/host/catalogue/Plant.h"
#include "tools/host/stream/AlarmTracker.h"
#include "tools/host/stream/Observation.h"

namespace runner {

class StatusModel : public Observer {
 public:
  // `system`: the one power system of several this model keeps (its samples
  // carry its id as their first label, its status its id, address and name);
  // null for the run's only system.
  explicit StatusModel(std::string site, const SystemRef* system = nullptr);
  void Observe(const Stamped& o) override;

  // The Prometheus text exposition format (version 0.0.4).
  std::string Metrics(Millis now) const;
  // /api/v1/status: units and values with their age, active alarms, health, the last chart point.
  std::string StatusJson(Millis now) const;
  // /api/v1/chart: the last hour's chart points.
  std::string ChartJson() const;
  // The same as JSON values, for a site of several systems to gather.
  Json::Value StatusValue(Millis now) const;
  Json::Value ChartValue() const;
  Health health() const { return health_; }

  // Upper bounds (seconds) of the round-duration histogram's buckets.
  static constexpr std::array<double, 10> kBuckets{0.05, 0.1, 0.25, 0.5, 1, 2, 5, 10, 30, 60};
  static constexpr Millis kChartSpan = 3600 * 1000;
  static constexpr Millis kChartStep = 1000;  // at most one chart point a second
  static constexpr Millis kFreshFor = 61 * 1000;
  // One chart point, what the page's charts draw: the DC bus voltage, all
  // batteries' current and the load current (the plant's), and the L1-L3
  // voltages of the first AC unit's first mains channel.
  static constexpr const char* kChartSeries[] = {"dc_v", "battery_i", "load_i", "mains_l1", "mains_l2", "mains_l3"};
  struct Point {
    Millis t = 0;
    double v[std::size(kChartSeries)];
  };

 private:
  struct Value {
    std::string key;
    bool ok = false;
    float value = 0;
    std::string error;
  };
  struct Unit {
    std::vector<Value> values;
    Millis t = 0;
    long long round = 0;
    // Every field of the unit's last published image, through the catalogue.
    std::vector<catalogue::Reading> readings;
    Millis publishedAt = 0;
    // When the unit last reported anything: its values or its image.
    Millis Latest() const { return std::max(t, publishedAt); }
  };
  using UnitKey = std::pair<std::string, unsigned>;  // device type, data id
  using AlarmKey = std::tuple<std::string, unsigned, std::string, std::string>;  // type, id, key, text
  struct AlarmState {
    std::string code;
    int level = 0;
    bool active = false;
  };

  void Values(const Stamped& o, const ValuesRead& v);
  // Counts the pending round and takes in the images published during it.
  void CountRound();
  void TakeImages();
  void ModelReply(const ReplyAccepted& r);
  void RenderReadings(std::string& out, Millis now) const;
  void RenderAlarms(std::string& out) const;
  // Values are current while health is online and their round is younger
  // than the 61 s the plug-in's own values answer for.
  bool Fresh(Millis t, Millis now) const;
  std::vector<bool> Freshness(Millis now) const;  // per unit, then the last round
  std::string RenderMetrics(Millis now) const;
  std::string RenderStatus(Millis now) const;

  std::string site_;
  std::optional<SystemRef> system_;
  std::string siteLabels_;  // the labels every sample starts with: `system="ID",site="SITE"` or `site="SITE"`
  std::map<UnitKey, Unit> units_;
  std::vector<std::pair<unsigned, unsigned>> modules_;
  ActiveAlarms active_;
  catalogue::Plant plant_;
  std::map<AlarmKey, AlarmState> alarmSeen_;  // every alarm seen, active or not
  Health health_ = Health::Starting;
  std::string healthMessage_;
  Millis healthSince_ = 0;
  unsigned long long commands_ = 0, replies_ = 0, rejected_ = 0, timeouts_ = 0, rounds_ = 0;
  std::array<unsigned long long, kBuckets.size()> bucketCounts_{};
  double durationSum_ = 0;
  Millis lastRoundAt_ = 0;
  // A round's counters wait for its values, which follow it at once, so that
  // no answer counts a round whose values it does not yet show.
  std::optional<std::pair<RoundEnded, Millis>> pendingRound_;
  // A round's images come before its end: they are read, and shown, together
  // with its values, so that no answer mixes two rounds.
  std::vector<Stamped> pendingImages_;
  // The power system's model, from its reply to the model query (0x40/0x51).
  std::string systemModel_;
  unsigned char lastCid1_ = 0, lastCid2_ = 0;
  std::deque<Point> chart_;
  // Metrics() is asked far more often than the state changes: its text is kept until it does.
  mutable std::string metricsText_;
  mutable bool metricsFresh_ = false;
  mutable std::vector<bool> metricsFreshness_;  // what the kept text was rendered with
  // Its readings and alarms, most of the text, change once a round at most: kept apart too.
  mutable std::string readingsText_, alarmsText_;
  mutable bool readingsChanged_ = true, alarmsChanged_ = true;
  // The status text too, for at most kStatusReuse while nothing new is observed (ages are in tenths of seconds).
  static constexpr Millis kStatusReuse = 100;
  mutable std::string statusText_;
  mutable Millis statusAt_ = 0;
  mutable bool statusFresh_ = false;
};

}  // namespace runner
