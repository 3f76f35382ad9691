// What the SNMP subagent serves, kept from the observation stream: the plant
// and its parts as ENTITY-MIB entities, one ENTITY-SENSOR-MIB sensor per
// catalogue measurement, and the QPR2427K-MIB (plant summary, health,
// rectifiers, active alarms, notifications). Plain C++: the subagent's thread
// owns it and turns its sorted view into answers.
#pragma once
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "tools/host/catalogue/Catalogue.h"
#include "tools/host/catalogue/Plant.h"
#include "tools/host/outputs/snmp/Oid.h"
#include "tools/host/stream/Observation.h"

namespace runner {

struct SnmpValue {
  enum class Type { Integer, Gauge, TimeTicks, Octets, Object };
  Type type = Type::Integer;
  std::int64_t number = 0;
  std::string octets;
  Oid object;
};
// Every instance the subagent answers for, in OID order.
using MibView = std::map<Oid, SnmpValue>;

struct SnmpNotification {
  Oid trap;  // snmpTrapOID.0
  std::vector<std::pair<Oid, SnmpValue>> varbinds;
};

// The registered subtrees of the standard MIBs.
extern const Oid kEntPhysicalTable;   // ENTITY-MIB entPhysicalTable
extern const Oid kEntPhySensorTable;  // ENTITY-SENSOR-MIB entPhySensorTable

class SnmpModel {
 public:
  // `id`: the power system's id when several share the line (served as
  // qprPlantId and added to its notifications); empty with one system.
  explicit SnmpModel(Oid root, std::string id = {}) : root_(std::move(root)), id_(std::move(id)) {}
  const Oid& Root() const { return root_; }
  // Notifications the observation causes go to `out`.
  void Observe(const Stamped& o, std::vector<SnmpNotification>& out);
  // The view at wall time `now`, when the subagent has been up `uptimeCs`
  // hundredths of a second (sensor time stamps are on that clock).
  MibView View(Millis now, std::uint32_t uptimeCs) const;

  // Values within this of their unit's last publication, while health is
  // online, are current: the plug-in's own values answer for 61 s.
  static constexpr Millis kFreshFor = 61 * 1000;

 private:
  struct Unit {
    const catalogue::Record* record = nullptr;
    std::vector<catalogue::Reading> readings;
    Millis at = 0, previous = 0;  // the last two publications
  };
  struct Alarm {
    std::uint32_t index = 0;
    AlarmChange change;
  };
  using AlarmKey = std::tuple<unsigned, std::string, std::string, std::string>;  // data id, type, key, text
  void Take(const Stamped& o, std::vector<SnmpNotification>& out);
  // An entity's index, the same for the same part throughout the run.
  std::uint32_t IndexOf(const std::string& identity) const;
  void Alarms(const AlarmChange& c, Millis t, std::vector<SnmpNotification>& out);
  std::vector<std::pair<Oid, SnmpValue>> AlarmVarbinds(const Alarm& a) const;

  Oid root_;
  std::string id_;
  std::map<std::pair<unsigned, int>, Unit> units_;  // (data id, record type)
  catalogue::Plant plant_;
  std::map<AlarmKey, Alarm> alarms_;
  std::uint32_t nextAlarm_ = 1;
  Health health_ = Health::Starting;
  std::string healthMessage_;
  Millis healthSince_ = 0;
  mutable std::map<std::string, std::uint32_t> indexes_;
};

// DateAndTime (SNMPv2-TC) of a wall time, in UTC: 11 octets.
std::string DateAndTime(Millis t);

}  // namespace runner
