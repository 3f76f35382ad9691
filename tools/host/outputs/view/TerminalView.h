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
  // What the view keeps of one system (the only one, in a run with one).
  struct System {
    ActiveAlarms alarms;
    catalogue::Plant plant;
    std::map<std::pair<int, unsigned>, std::vector<catalogue::Reading>> units;  // (record type, data id): last image
    std::optional<RoundEnded> round;  // the round whose values come next
    long long lastRound = 0;
    Millis lastRoundAt = 0;
  };
  void ShowRound(System& s, const ValuesRead& values);
  void ShowPlant(const System& s);
  void ShowUnit(int type, unsigned id, const std::vector<catalogue::Reading>& readings);
  void ShowHealth(const System& s, const Stamped& o, const HealthChanged& h);
  // Lines about one of several systems start with its name.
  void Print(std::string line) { out_.Write(tag_.empty() ? std::move(line) : tag_ + std::move(line)); }

  LineWriter out_;
  bool quiet_;
  std::map<unsigned, System> systems_;  // by the system's position in the settings
  std::string tag_;                     // "[systems[1] at 5] " while an observation of one of several systems is shown
};

}  // namespace runner
