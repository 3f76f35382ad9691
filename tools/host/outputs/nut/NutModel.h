// What the NUT server tells its clients about the plant, kept from the
// observation stream: the plant summary and the catalogue's readings turned
// into NUT variables (ups.status, battery.*, input.*, output.*, device.*),
// the latched low-battery state, the forced-shutdown flag, and freshness.
#pragma once
#include <map>
#include <optional>
#include <string>
#include <utility>

#include "tools/host/catalogue/Plant.h"
#include "tools/host/stream/AlarmTracker.h"
#include "tools/host/stream/Observation.h"

namespace runner {

class NutModel {
 public:
  // Values are current while health is online and the last round is younger than this.
  static constexpr Millis kFreshFor = 61 * 1000;

  // lowBatteryV: the DC bus voltage at or below which the battery is low;
  // none: the plant's own DC low-voltage limit, once its rectifier record came.
  explicit NutModel(std::optional<double> lowBatteryV) : lowBatteryV_(lowBatteryV) {}

  // Takes every observation it needs (others are ignored).
  void Observe(const Stamped& o);
  // Whether the values are current at `now`: clients are told DATA-STALE otherwise.
  bool Fresh(Millis now) const;
  // name -> value, in name order; empty before the first round's values.
  std::map<std::string, std::string> Variables() const;
  // A primary client asked for a forced shutdown: FSD leads ups.status until
  // the low-battery state clears (mains back and voltage recovered).
  void ForceShutdown() { fsd_ = true; }
  // The threshold in use, if known.
  std::optional<double> LowBatteryV() const;
  bool LowBattery() const { return low_; }

  // A short text for GET DESC; "Unavailable" for a name it does not describe.
  static const char* Describe(const std::string& name);

 private:
  void UpdateLowBattery();
  // A reading of the first unit (lowest data id) of a record type.
  std::optional<double> Reading(int recordType, const std::string& key) const;

  std::optional<double> lowBatteryV_;
  catalogue::Plant plant_;
  ActiveAlarms alarms_;
  // Per record type and data id: the last image's readings by key.
  std::map<int, std::map<unsigned, std::map<std::string, double>>> readings_;
  Health health_ = Health::Starting;
  Millis lastRoundAt_ = 0;
  bool modelAsked_ = false;  // the next reply answers the model query
  std::string model_, maker_;
  bool low_ = false;  // latched
  bool fsd_ = false;
};

}  // namespace runner
