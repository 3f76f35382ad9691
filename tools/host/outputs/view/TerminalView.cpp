// What the terminal shows, one function per observation that it shows.
#include "tools/host/outputs/view/TerminalView.h"

#include <fmt/format.h>

#include <fmt/ranges.h>

#include <cctype>
#include <vector>

namespace runner {
namespace {

std::string AlarmText(const AlarmCall& a) {
  return fmt::format("{} {} {} [{} {}] {}: {}", a.deviceType, a.dataId, a.key, a.code, a.level, a.name, a.text);
}

}  // namespace

void TerminalView::Observe(const Stamped& o) {
  System& s = systems_[o.system ? o.system->index : 0];
  tag_ = o.system ? fmt::format("[{} at {}] ", o.system->id, o.system->address) : std::string();
  if (!quiet_) s.plant.Observe(o);
  if (const auto* h = std::get_if<HealthChanged>(&o.what)) return ShowHealth(s, o, *h);
  if (const auto* d = std::get_if<Diagnosis>(&o.what)) return Print(fmt::format("{} SETTINGS: {}", LocalClock(o.t), d->message));
  if (const auto* n = std::get_if<Notice>(&o.what)) {
    if (!quiet_ || n->always) Print(n->text);
    return;
  }
  if (quiet_) return;
  if (const auto* f = std::get_if<FrameSeen>(&o.what)) return Print(f->line);
  if (const auto* l = std::get_if<LogLine>(&o.what)) return Print("log: " + l->message);
  if (const auto* r = std::get_if<RoundEnded>(&o.what)) {
    s.round = *r;
    s.lastRound = r->round;
    s.lastRoundAt = o.t;
    return;
  }
  if (const auto* p = std::get_if<Published>(&o.what)) {
    if (const catalogue::Record* record = catalogue::RecordOfType(p->recordType))
      s.units[{p->recordType, p->dataId}] = catalogue::Decode(*record, p->image.data(), p->image.size());
    return;
  }
  if (const auto* v = std::get_if<ValuesRead>(&o.what)) {
    if (v->round != 0 && s.round) ShowRound(s, *v);
    s.round.reset();
    return;
  }
  if (const auto* c = std::get_if<AlarmChange>(&o.what)) {
    s.alarms.Apply(*c);
    Print(fmt::format("{} ALARM {} {}", LocalClock(o.t), c->raised ? "RAISED" : "CLEARED", AlarmText(c->alarm)));
  }
}

void TerminalView::ShowHealth(const System& s, const Stamped& o, const HealthChanged& h) {
  Print(fmt::format("{} {}", LocalClock(o.t), h.message));
  if (!quiet_ && s.lastRound > 0 && (h.state == Health::CommLost || h.state == Health::LineDown))
    Print(fmt::format("  values shown last are from round {} at {}: stale, {} s old", s.lastRound,
                      LocalClock(s.lastRoundAt), (o.t - s.lastRoundAt) / 1000));
}

void TerminalView::ShowRound(System& s, const ValuesRead& values) {
  Print(fmt::format("── round {} · {:.1f} ms · {} commands", s.round->round, s.round->ms, s.round->commands));
  ShowPlant(s);
  for (const auto& [unit, readings] : s.units) ShowUnit(unit.first, unit.second, readings);
  // A rectifier unit that published nothing yet still says its module count.
  for (const auto& [id, modules] : values.rectifierModules)
    if (!s.units.count({5027, id})) Print(fmt::format("  RC {:<5} {} modules", id, modules));
  for (const auto& a : s.alarms.List())
    Print(fmt::format("  ALARM {} (since {})", AlarmText(a.alarm), LocalClock(a.since)));
  if (s.alarms.List().empty()) Print("  no active alarms");
}

void TerminalView::ShowPlant(const System& s) {
  const catalogue::PlantState& p = s.plant.State();
  std::vector<std::string> parts;
  if (p.mainsPresent)
    parts.push_back(fmt::format("mains {} since {}", *p.mainsPresent ? "present" : "FAILED", LocalClock(p.mainsSince)));
  if (p.onBattery) parts.push_back(*p.onBattery ? fmt::format("ON BATTERY since {}", LocalClock(p.batterySince)) : "not on battery");
  if (p.batteryCurrent) parts.push_back(fmt::format("batteries {:+.1f} A", *p.batteryCurrent));
  if (p.mainsPresent && !*p.mainsPresent) parts.push_back(fmt::format("≈{:.2f} Ah discharged (estimate)", p.dischargedAh));
  if (p.loadCurrent) parts.push_back(fmt::format("load {:.1f} A", *p.loadCurrent));
  if (p.rectifiers)
    parts.push_back(fmt::format("rectifiers {} running, {} off, {} faulty of {}", p.running, p.off, p.faulty, *p.rectifiers));
  if (!parts.empty()) Print("  plant: " + fmt::format("{}", fmt::join(parts, " · ")));
}

void TerminalView::ShowUnit(int type, unsigned id, const std::vector<catalogue::Reading>& readings) {
  const auto value = [](const catalogue::Reading& r) {
    if (r.field->kind == catalogue::Kind::State) return fmt::format("{}: {}", r.name, catalogue::StateText(r));
    return fmt::format("{} {:.{}f}{}{}", r.name, r.value, r.field->precision, r.unit.empty() ? "" : " ", r.unit);
  };
  // Measurements always; states only when not normal, but a module's on/off always.
  const auto shown = [](const catalogue::Reading& r) {
    if (r.field->kind == catalogue::Kind::Setting) return false;
    if (r.field->kind == catalogue::Kind::Measurement) return r.key != "modules";
    return r.value != 0 || r.key.find("_on_off") != std::string::npos;
  };
  const catalogue::Record* record = catalogue::RecordOfType(type);
  unsigned modules = 0;
  std::vector<std::string> fixed;
  std::vector<std::vector<std::string>> elements;  // one line per group element with something to show
  const catalogue::Group* group = nullptr;
  unsigned number = 0;
  for (const auto& r : readings) {
    if (r.key == "modules") modules = static_cast<unsigned>(r.value);
    if (!shown(r)) continue;
    if (!r.group) {
      fixed.push_back(value(r));
      continue;
    }
    if (r.group != group || r.number != number) elements.emplace_back();
    group = r.group;
    number = r.number;
    elements.back().push_back(value(r));
  }
  std::string head = fmt::format("  {} {:<5}", record ? record->unit : "?", id);
  for (auto& c : head) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (type == 5027) head += fmt::format(" {} modules ·", modules);
  Print(fixed.empty() ? head : fmt::format("{} {}", head, fmt::join(fixed, " · ")));
  for (const auto& e : elements) Print(fmt::format("           {}", fmt::join(e, " · ")));
}

}  // namespace runner
