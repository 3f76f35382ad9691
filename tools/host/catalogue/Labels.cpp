// The labels in use, and their application to decoded readings.
#include "tools/host/catalogue/Labels.h"

namespace catalogue {
namespace {
Labels& Current() {
  static Labels labels;
  return labels;
}
}  // namespace

const Labels& Labels::Active() { return Current(); }

void Labels::Use(Labels labels) { Current() = std::move(labels); }

void Labels::Apply(Reading& r) const {
  const auto it = byKey_.find(r.key);
  if (it == byKey_.end()) return;
  const Label& l = it->second;
  if (!l.name.empty()) r.name = l.name;
  if (!l.unit.empty()) r.unit = l.unit;
  if (!l.deviceClass.empty()) r.deviceClass = l.deviceClass;
}

}  // namespace catalogue
