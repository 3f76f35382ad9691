// The plant summed up from the published images and the alarm edges: mains
// present or failed and since when, on battery or not and since when, the
// battery current and the ampere-hours discharged since the mains failed
// (an estimate: the current integrated between rounds), load current, DC
// voltage, rectifiers running, off and faulty, and active alarms by level.
#pragma once
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tools/host/stream/AlarmTracker.h"
#include "tools/host/stream/Observation.h"

namespace catalogue {

struct PlantState {
  std::optional<bool> mainsPresent;   // none until an AC image came
  runner::Millis mainsSince = 0;      // when it became what it is
  std::optional<bool> onBattery;      // none until a DC image with batteries came
  runner::Millis batterySince = 0;
  std::optional<double> batteryCurrent;  // A, all batteries: charging > 0, discharging < 0
  double dischargedAh = 0;               // estimate, since the mains last failed
  std::optional<double> dcVoltage;       // V, the first DC unit's (by data id)
  std::optional<double> loadCurrent;     // A, all DC units
  std::optional<unsigned> rectifiers;    // modules reported
  unsigned running = 0, off = 0, faulty = 0;
  std::map<int, unsigned> alarmsByLevel;  // active alarms per level
};

class Plant {
 public:
  // A channel with a phase at or above this has mains.
  static constexpr double kMainsPresentV = 50;
  // Battery current within this of 0 keeps the last on-battery state.
  static constexpr double kBatteryDeadBandA = 0.5;

  void Observe(const runner::Stamped& o);
  const PlantState& State() const { return state_; }

 private:
  void Ac(runner::Millis t, unsigned dataId, const std::vector<unsigned char>& image);
  void Dc(runner::Millis t, unsigned dataId, const std::vector<unsigned char>& image);
  void Rc(const std::vector<unsigned char>& image);

  PlantState state_;
  std::map<unsigned, bool> acHasMains_;  // per AC unit (data id)
  struct DcUnit {
    runner::Millis at = 0;
    double v = 0, load = 0, battery = 0;
    bool batteries = false;
  };
  std::map<unsigned, DcUnit> dc_;  // per DC unit (data id)
  runner::ActiveAlarms active_;
};

}  // namespace catalogue
