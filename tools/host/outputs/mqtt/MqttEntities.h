// The Home Assistant entities the catalogue's readings become (component,
// name, unit, classes, category, template over the unit's state), and those
// of the plant summary and of the gateway itself.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "host/json.h"
#include "tools/host/catalogue/Catalogue.h"

namespace runner {

// One entity's config without what the formatter adds (unique id, state
// topic, availability, device, origin); `object` is its discovery object id.
struct HaEntity {
  std::string component;  // "sensor" or "binary_sensor"
  std::string object;
  Json::Value config;
};

// The entity a reading becomes; none for fuses (summed up by BlownFuses) and
// system-status bytes (their meaning is in the alarms they raise).
std::optional<HaEntity> ReadingEntity(const catalogue::Reading& r);
// Whether a reading is a battery fuse's state.
bool IsFuse(const catalogue::Reading& r);
// One sensor per DC unit: how many fuses are blown, their numbers as attributes.
HaEntity BlownFuses();

// The plant summary's entities, over the state PlantState() makes.
std::vector<HaEntity> PlantEntities();
// The gateway's: a problem sensor over the health topic (healthTopic true) and
// the last round's time over the plant state.
struct GatewayEntity {
  HaEntity entity;
  bool healthTopic;
};
std::vector<GatewayEntity> GatewayEntities();

// A name the record's catalogue gives (with any element number), e.g.
// "Rectifier 2 fault": an alarm of that name is told apart by " alarm".
bool IsCatalogueName(const catalogue::Record& record, const std::string& name);

}  // namespace runner
