// Soak run: one process polls the simulated power system for many rounds,
// with light line faults, value queries on every child after every round and
// a restore of every unit from its own image now and then. The resident
// memory (from /proc/self/statm) is reported at the start, after a warm-up
// and at the end; it must not grow after the warm-up.
//
//   qpr_soak [--rounds N] [--max-growth-kib K] [--trace]
//
// Exit status 0 when every round came and the memory did not grow by more than
// K KiB (default 64; a negative K reports the growth without judging it, as
// under valgrind); 1 otherwise. Decoder trace lines go to /dev/null unless
// --trace is given.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "tests/robust/LineRun.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QPR_SOAK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QPR_SOAK_SANITIZED 1
#endif
#endif

namespace {

#ifdef QPR_SOAK_SANITIZED
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

// Resident set size in KiB.
long ResidentKiB() {
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (!f) return -1;
  long size = 0, resident = 0;
  const int got = std::fscanf(f, "%ld %ld", &size, &resident);
  std::fclose(f);
  return got == 2 ? resident * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}

struct Counts {
  long long answered = 0, refused = 0, restores = 0, restoreFailures = 0;
};

// Every child is asked its keys, as the host does after a round.
void QueryAll(QPR2427K& port, Counts& c) {
  static const char* const kAcKeys[] = {"ia", "ib", "ic", "ia_alert", "ib_alert", "ic_alert",
                                        "channel_0_a", "channel_0_f", "channel_9_a", "nothing"};
  static const char* const kDcKeys[] = {"v", "i", "x"};
  auto ask = [&c](const KLDVDevice& d, const char* key) {
    try {
      (void)d.Get_Value(0, key);
      ++c.answered;
    } catch (const std::out_of_range&) {
      ++c.refused;
    }
  };
  for (const auto& ac : port.acDevices_)
    for (const char* k : kAcKeys) ask(*ac, k);
  for (const auto& dc : port.dcDevices_)
    for (const char* k : kDcKeys) ask(*dc, k);
  ask(*port.rcDevice_, "v");
}

// Each unit takes back the image it holds now, as after a restart.
void RestoreAll(QPR2427K& port, Counts& c) {
  auto restore = [&c](KLDVDevice& d, const unsigned char* image, std::size_t length) {
    ++c.restores;
    const std::string copy(reinterpret_cast<const char*>(image), length);
    if (d.LoadFromCache(copy) != 1) ++c.restoreFailures;
  };
  for (const auto& ac : port.acDevices_)
    restore(*ac, ac->HistoryImage().data.get(), ac->HistoryImage().length);
  for (const auto& dc : port.dcDevices_)
    restore(*dc, reinterpret_cast<const unsigned char*>(&dc->Record()), sizeof(tele_c_qpr2427k_dc));
  restore(*port.rcDevice_, port.rcDevice_->HistoryImage().data.get(), port.rcDevice_->HistoryImage().length);
}

}  // namespace

int main(int argc, char** argv) {
  long long rounds = 100000;
  long maxGrowthKiB = 64;
  bool trace = false;
  for (int k = 1; k < argc; ++k) {
    const std::string a = argv[k];
    if (a == "--rounds" && k + 1 < argc) {
      rounds = std::atoll(argv[++k]);
    } else if (a == "--max-growth-kib" && k + 1 < argc) {
      maxGrowthKiB = std::atol(argv[++k]);
    } else if (a == "--trace") {
      trace = true;
    } else {
      std::fprintf(stderr, "usage: qpr_soak [--rounds N] [--max-growth-kib K] [--trace]\n");
      return 2;
    }
  }
  if (rounds < 10) rounds = 10;
  if (!trace && !std::freopen("/dev/null", "w", stdout)) return 2;

  try {
    sim::Scenario s = sim::DefaultScenario();
    s.seed = 99;
    for (sim::FaultKind kind : {sim::FaultKind::Drop, sim::FaultKind::BadChecksum, sim::FaultKind::Truncate,
                                sim::FaultKind::WrongUnit, sim::FaultKind::UnitCount}) {
      sim::FaultSpec f;
      f.kind = kind;
      f.rate = 0.01;
      s.faults.push_back(f);
    }
    robust::LineRun run(s);
    if (!run.configured()) {
      std::fprintf(stderr, "soak: the port device refused its settings\n");
      return 1;
    }
    Counts counts;
    long long seen = 0;
    const long long restoreEvery = rounds / 10 < 1000 ? rounds / 10 : 1000;
    run.onRound = [&] {
      QueryAll(run.port(), counts);
      if (++seen % restoreEvery == 0) RestoreAll(run.port(), counts);
    };

    const long start = ResidentKiB();
    const long long warmUp = rounds / 10 < 1000 ? rounds / 10 : 1000;
    run.Run(warmUp, warmUp * 1000);
    const long warm = ResidentKiB();
    const robust::LineFigures& f = run.Run(rounds - warmUp, (rounds - warmUp) * 1000);
    const long end = ResidentKiB();

    const long growth = end - warm;
    std::fprintf(stderr,
                 "soak: %lld rounds (%lld commands, %lld time-outs, %llu frames rejected, %llu faults injected), "
                 "%lld values answered, %lld refused, %lld restores (%lld refused)\n"
                 "soak: resident memory %ld KiB at start, %ld KiB after %lld warm-up rounds, %ld KiB at end: "
                 "growth %ld KiB\n",
                 f.rounds, f.commands, f.timeouts, static_cast<unsigned long long>(f.framesRejected),
                 static_cast<unsigned long long>(f.faultsInjected), counts.answered, counts.refused,
                 counts.restores, counts.restoreFailures, start, warm, warmUp, end, growth);
    bool ok = f.rounds == rounds && counts.restoreFailures == 0 && f.idlePolls == 0;
    if (kSanitized) {
      // The checkers keep freed memory aside for a while: growth is reported only.
      std::fprintf(stderr, "soak: built with a sanitizer, memory growth not judged\n");
    } else if (maxGrowthKiB < 0) {
      std::fprintf(stderr, "soak: memory growth not judged\n");
    } else if (growth > maxGrowthKiB) {
      std::fprintf(stderr, "soak: memory grew by %ld KiB, more than %ld KiB\n", growth, maxGrowthKiB);
      ok = false;
    }
    if (f.rounds != rounds) std::fprintf(stderr, "soak: only %lld of %lld rounds came\n", f.rounds, rounds);
    std::fprintf(stderr, "soak: %s\n", ok ? "passed" : "FAILED");
    return ok ? 0 : 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "soak: exception: %s\n", e.what());
    return 1;
  }
}
