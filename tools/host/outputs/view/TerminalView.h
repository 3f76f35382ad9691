// The view for the person at the terminal: each round's plant summary, every
// unit's readings by their names and active alarms; alarm edges, health
// changes and log lines, each change once, with the local time. Written by a
// thread of its own.
#pragma once
#include <cstdio>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/host/catalogue/Catalogue.h"
#include "tools/host/catalogue/Plant.h"
#include "tools/host/stream/AlarmTracker.h"
#include "tools/host/stream/LineWriter.h"
#include "tools/host/stream/Observation.h"

namespace runner {

class TerminalView : public Observer {
 public:
  // `quiet`: only health changes and diagnoses.
  TerminalView(std::FILE* out, bool quiet) : out_(fileno(out), false), quiet_(quiet) {}
  void Observe(const Stamped& o) override;
  void Finish() override { out_.Flush(); }

 private:
  void ShowRound(const ValuesRead& values);
  void ShowPlant();
  void ShowUnit(int type, unsigned id, const std::vector<catalogue::Reading>& readings);
  void ShowHealth(const Stamped& o, const HealthChanged& h);
  void Print(std::string line) { out_.Write(std::move(line)); }

  LineWriter out_;
  bool quiet_;
  ActiveAlarms alarms_;
  catalogue::Plant plant_;
  std::map<std::pair<int, unsigned>, std::vector<catalogue::Reading>> units_;  // (record type, data id): last image
  std::optional<RoundEnded> round_;  // the round whose values come next
  long long lastRound_ = 0;
  Millis lastRoundAt_ = 0;
};

}  // namespace runner
