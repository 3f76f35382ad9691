// What the terminal shows, one function per observation that it shows.
#include "tools/host/outputs/view/TerminalView.h"

#include <fmt/format.h>

#include <vector>


namespace runner {
namespace {

std::string AlarmText(const AlarmCall& a) {
  return fmt::format("{} {} {} [{} {}] {}: {}", a.deviceType, a.dataId, a.key, a.code, a.level, a.name, a.text);
}

}  // namespace

void TerminalView::Observe(const Stamped& o) {
  if (const auto* h = std::get_if<HealthChanged>(&o.what)) return ShowHealth(o, *h);
  if (const auto* d = std::get_if<Diagnosis>(&o.what)) return Print(fmt::format("{} SETTINGS: {}", LocalClock(o.t), d->message));
  if (const auto* n = std::get_if<Notice>(&o.what)) {
    if (!quiet_ || n->always) Print(n->text);
    return;
  }
  if (quiet_) return;
  if (const auto* l = std::get_if<LogLine>(&o.what)) return Print("log: " + l->message);
  if (const auto* r = std::get_if<RoundEnded>(&o.what)) {
    round_ = *r;
    lastRound_ = r->round;
    lastRoundAt_ = o.t;
    return;
  }
  if (const auto* v = std::get_if<ValuesRead>(&o.what)) {
    if (v->round != 0 && round_) ShowRound(*v);
    round_.reset();
    return;
  }
  if (const auto* c = std::get_if<AlarmChange>(&o.what)) {
    alarms_.Apply(*c);
    Print(fmt::format("{} ALARM {} {}", LocalClock(o.t), c->raised ? "RAISED" : "CLEARED", AlarmText(c->alarm)));
  }
}

void TerminalView::ShowHealth(const Stamped& o, const HealthChanged& h) {
  Print(fmt::format("{} {}", LocalClock(o.t), h.message));
  if (!quiet_ && lastRound_ > 0 && (h.state == Health::CommLost || h.state == Health::LineDown))
    Print(fmt::format("  values shown last are from round {} at {}: stale, {} s old", lastRound_,
                      LocalClock(lastRoundAt_), (o.t - lastRoundAt_) / 1000));
}

void TerminalView::ShowRound(const ValuesRead& values) {
  const auto text = [](const ValueRow* r, int decimals) {
    if (!r) return std::string("-");
    return r->ok ? fmt::format("{:.{}f}", r->value, decimals) : r->error;
  };
  const auto find = [&](const std::string& type, unsigned id, const std::string& key) -> const ValueRow* {
    for (const auto& r : values.rows)
      if (r.deviceType == type && r.dataId == id && r.key == key) return &r;
    return nullptr;
  };
  Print(fmt::format("── round {} · {:.1f} ms · {} commands", round_->round, round_->ms, round_->commands));
  // Units in the order their values came: AC units, then DC units.
  std::vector<std::pair<std::string, unsigned>> units;
  for (const auto& r : values.rows)
    if (units.empty() || units.back() != std::make_pair(r.deviceType, r.dataId)) units.emplace_back(r.deviceType, r.dataId);
  for (const auto& [type, id] : units) {
    if (type == "qpr2427k-ac") {
      Print(fmt::format("  AC {:<5} I {} / {} / {} A", id, text(find(type, id, "ia"), 1), text(find(type, id, "ib"), 1),
                        text(find(type, id, "ic"), 1)));
      for (std::size_t ch = 0;; ++ch) {
        const std::string p = fmt::format("channel_{}_", ch);
        if (!find(type, id, p + "a")) break;
        Print(fmt::format("           channel {}: {} / {} / {} V  {} Hz", ch, text(find(type, id, p + "a"), 1),
                          text(find(type, id, p + "b"), 1), text(find(type, id, p + "c"), 1),
                          text(find(type, id, p + "f"), 2)));
      }
    } else {
      Print(fmt::format("  DC {:<5} {} V  {} A", id, text(find(type, id, "v"), 2), text(find(type, id, "i"), 1)));
    }
  }
  for (const auto& [id, modules] : values.rectifierModules) Print(fmt::format("  RC {:<5} {} modules", id, modules));
  for (const auto& a : alarms_.List())
    Print(fmt::format("  ALARM {} (since {})", AlarmText(a.alarm), LocalClock(a.since)));
  if (alarms_.List().empty()) Print("  no active alarms");
}

}  // namespace runner
