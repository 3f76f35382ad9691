// Line faults from the simulator against the whole port device: every fault
// kind at a high rate at once over a long run, and each kind alone, including
// lost parameter replies. Polling must never stop for good, rounds must keep
// completing, and no bad reply may leave bad values in a round's data.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/robust/LineRun.h"

namespace {

using robust::LineFigures;
using robust::LineRun;
using sim::FaultKind;

sim::FaultSpec Fault(FaultKind kind, double rate, int cid1 = -1, int cid2 = -1) {
  sim::FaultSpec f;
  f.kind = kind;
  f.rate = rate;
  f.cid1 = cid1;
  f.cid2 = cid2;
  return f;
}

long long RoundsFromEnvironment(long long fallback) {
  const char* v = std::getenv("QPR_FAULT_ROUNDS");
  return v && std::atoll(v) > 0 ? std::atoll(v) : fallback;
}

void Report(const char* name, const LineFigures& f) {
  std::printf(
      "[figures] %s: rounds %lld, commands %lld, repeated %lld, time-outs %lld, frames rejected %llu, "
      "replies accepted %llu, faults injected %llu, longest stretch without a round %lld commands / %.1f s, "
      "idle polls %lld, virtual time %.1f s\n",
      name, f.rounds, f.commands, f.repeated, f.timeouts, static_cast<unsigned long long>(f.framesRejected),
      static_cast<unsigned long long>(f.repliesAccepted), static_cast<unsigned long long>(f.faultsInjected),
      f.longestGapCommands, static_cast<double>(f.longestGapMs) / 1000.0, f.idlePolls,
      static_cast<double>(f.elapsedMs) / 1000.0);
}

// Every round's values must be the simulator's, never what a bad reply left:
// counts round ends whose published values lie outside the simulated ranges.
struct ValueWatch {
  long long checked = 0, implausible = 0;
  void Check(QPR2427K& port) {
    ++checked;
    bool ok = true;
    for (const auto& ac : port.acDevices_) {
      const float ia = ac->Get_Value(0, "ia"), va = ac->Get_Value(0, "channel_0_a");
      ok = ok && ia > 10.0f && ia < 30.0f && va > 180.0f && va < 280.0f;
    }
    for (const auto& dc : port.dcDevices_) {
      const float v = dc->Get_Value(0, "v");
      ok = ok && v > 45.0f && v < 60.0f;
    }
    if (!ok) ++implausible;
  }
};

TEST(FaultInjection, EveryLineFaultAtHighRatesTogether) {
  sim::Scenario s = sim::DefaultScenario();
  s.seed = 20260601;
  s.faults = {Fault(FaultKind::Drop, 0.10), Fault(FaultKind::BadChecksum, 0.10),
              Fault(FaultKind::Truncate, 0.10), Fault(FaultKind::WrongUnit, 0.08),
              Fault(FaultKind::UnitCount, 0.08)};
  LineRun run(s);
  ASSERT_TRUE(run.configured());
  ValueWatch watch;
  run.onRound = [&] { watch.Check(run.port()); };

  const long long rounds = RoundsFromEnvironment(1000);
  const LineFigures& f = run.Run(rounds, rounds * 100);
  Report("all faults", f);

  // Polling never stopped for good: every round came, and every poll sent a command.
  EXPECT_EQ(f.rounds, rounds);
  EXPECT_EQ(f.idlePolls, 0);
  EXPECT_LT(f.longestGapCommands, 120);
  // The faults did strike, in every way the host can see them.
  EXPECT_GT(f.faultsInjected, static_cast<std::uint64_t>(rounds));
  EXPECT_GT(f.timeouts, rounds / 4);
  EXPECT_GT(f.framesRejected, static_cast<std::uint64_t>(rounds / 4));
  EXPECT_GT(f.repeated, rounds / 4);
  EXPECT_EQ(watch.checked, rounds);
  EXPECT_EQ(watch.implausible, 0);
}

struct SingleFaultRow {
  const char* name;
  std::vector<sim::FaultSpec> faults;
};

void PrintTo(const SingleFaultRow& row, std::ostream* os) { *os << row.name; }

class SingleFault : public ::testing::TestWithParam<SingleFaultRow> {};

TEST_P(SingleFault, PollingGoesOnAndValuesStayTrue) {
  sim::Scenario s = sim::DefaultScenario();
  s.seed = 4242;
  s.faults = GetParam().faults;
  LineRun run(s);
  ASSERT_TRUE(run.configured());
  ValueWatch watch;
  run.onRound = [&] { watch.Check(run.port()); };
  const LineFigures& f = run.Run(150, 150 * 100);
  Report(GetParam().name, f);
  EXPECT_EQ(f.rounds, 150);
  EXPECT_EQ(f.idlePolls, 0);
  EXPECT_GT(f.faultsInjected, 0u);
  EXPECT_EQ(watch.implausible, 0);
}

const SingleFaultRow kSingleFaults[] = {
    {"Drop", {Fault(FaultKind::Drop, 0.3)}},
    {"BadChecksum", {Fault(FaultKind::BadChecksum, 0.3)}},
    {"Truncate", {Fault(FaultKind::Truncate, 0.3)}},
    {"WrongUnit", {Fault(FaultKind::WrongUnit, 0.3)}},
    {"UnitCount", {Fault(FaultKind::UnitCount, 0.3)}},
    // The parameter replies end a round: losing one must not leave the cycle waiting.
    {"LostAcParameters", {Fault(FaultKind::Drop, 0.5, 0x40, 0x46)}},
    {"LostDcParameters", {Fault(FaultKind::Drop, 0.5, 0x42, 0x46)}},
    {"WrongUnitOnParameters", {Fault(FaultKind::WrongUnit, 0.5, 0x40, 0x46), Fault(FaultKind::WrongUnit, 0.5, 0x42, 0x46)}},
    {"LostModelReplies", {[] {
       sim::FaultSpec f = Fault(FaultKind::Drop, 0, 0x40, 0x51);
       f.count = 3;  // the first three
       return f;
     }()}},
};

INSTANTIATE_TEST_SUITE_P(Kinds, SingleFault, ::testing::ValuesIn(kSingleFaults),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
