// Benchmarks on the reference system: each decoder, a whole polling round with
// and without the engine's receive path, Get_Value and LoadFromCache; and the
// allocation check of the same operations.
#include "bench/Benchmarks.h"

#include <benchmark/benchmark.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/support/AllocationCounter.h"
#include "bench/Reference.h"
#include "host/PMBusProtocol.h"

namespace bench {
namespace alloc = testing_support::alloc;
namespace {

// One unit decoder: the reply it reads, where its section starts in the info
// field, and the call (the rectifier's decoders take the whole field).
struct DecoderRow {
  const char* name;  // benchmark name
  int step;          // step of the reply it decodes
  int start;         // offset of the first unit's section in the info field
  int (*decode)(Rig& rig, const unsigned char* p, int len);  // the decoder of that unit
};

constexpr DecoderRow kDecoders[] = {
    {"decode/40_41", 0, 2, [](Rig& r, const unsigned char* p, int n) { return r.ac(0).parse40_41(p, n); }},
    {"decode/40_43", 1, 2, [](Rig& r, const unsigned char* p, int n) { return r.ac(0).parse40_43(p, n); }},
    {"decode/40_44", 2, 2, [](Rig& r, const unsigned char* p, int n) { return r.ac(0).parse40_44(p, n); }},
    {"decode/41_41", 4, 0, [](Rig& r, const unsigned char* p, int n) { return r.rc().parse41_41(p, n); }},
    {"decode/41_43", 5, 0, [](Rig& r, const unsigned char* p, int n) { return r.rc().parse41_43(p, n); }},
    {"decode/41_44", 6, 0, [](Rig& r, const unsigned char* p, int n) { return r.rc().parse41_44(p, n); }},
    {"decode/42_41", 7, 2, [](Rig& r, const unsigned char* p, int n) { return r.dc().parse42_41(p, n); }},
    {"decode/42_44", 8, 2, [](Rig& r, const unsigned char* p, int n) { return r.dc().parse42_44(p, n); }},
    {"decode/40_46", 3, 0, [](Rig& r, const unsigned char* p, int n) { return r.rc().parse40_46(p, n); }},
    {"decode/42_46", 9, 0, [](Rig& r, const unsigned char* p, int n) { return r.rc().parse42_46(p, n); }},
};

// Value queries: one record key and one channel key of the first AC unit.
struct ValueRow {
  const char* name;  // benchmark name
  const char* key;   // key asked
};
constexpr ValueRow kValues[] = {
    {"Get_Value/phase_key", "ia"},
    {"Get_Value/channel_key", "channel_2_f"},
};

// Cache images: each unit's history image as its last round left it.
struct CacheRow {
  const char* name;  // benchmark name
  KLDVDevice& (*unit)(Rig& rig);
  std::vector<unsigned char> (*image)(Rig& rig);
};
constexpr CacheRow kCaches[] = {
    {"LoadFromCache/ac", [](Rig& r) -> KLDVDevice& { return r.ac(0); },
     [](Rig& r) {
       const auto& h = r.ac(0).HistoryImage();
       return std::vector<unsigned char>(h.data.get(), h.data.get() + h.length);
     }},
    {"LoadFromCache/dc", [](Rig& r) -> KLDVDevice& { return r.dc(); },
     [](Rig& r) {
       const auto* b = reinterpret_cast<const unsigned char*>(&r.dc().Record());
       return std::vector<unsigned char>(b, b + sizeof(tele_c_qpr2427k_dc));
     }},
    {"LoadFromCache/rc", [](Rig& r) -> KLDVDevice& { return r.rc(); },
     [](Rig& r) {
       const auto& h = r.rc().HistoryImage();
       return std::vector<unsigned char>(h.data.get(), h.data.get() + h.length);
     }},
};

const Reply& ReplyOf(const Rig& rig, int step) {
  for (const Reply& r : rig.replies())
    if (r.step == step) return r;
  throw std::logic_error("bench: no reply for step " + std::to_string(step));
}

// The bytes a decoder row is handed, as the port device hands them.
struct Section {
  const unsigned char* p;
  int len;
};
Section SectionOf(const Rig& rig, const DecoderRow& row) {
  const Reply& r = ReplyOf(rig, row.step);
  return {r.info.data() + row.start, static_cast<int>(r.info.size()) - row.start};
}

// A warmed-up rig whose reference round checks out.
void Ready(Rig& rig) {
  rig.WarmUp();
  const std::string why = rig.CheckRound();
  if (!why.empty()) throw std::runtime_error("bench: the reference round is off:" + why);
}

void AllocationCounters(benchmark::State& st, std::uint64_t before) {
  st.counters["allocs/iter"] = benchmark::Counter(
      static_cast<double>(alloc::Total() - before) / static_cast<double>(st.iterations()));
}

void Decode(benchmark::State& st, const DecoderRow& row) {
  Rig rig;
  Ready(rig);
  const Section s = SectionOf(rig, row);
  if (row.decode(rig, s.p, s.len) < 0) {
    st.SkipWithError("the decoder refused the reference section");
    return;
  }
  const std::uint64_t before = alloc::Total();
  for (auto _ : st) benchmark::DoNotOptimize(row.decode(rig, s.p, s.len));
  AllocationCounters(st, before);
}

void Round(benchmark::State& st, bool receivePath) {
  Rig rig;
  Ready(rig);
  const std::uint64_t before = alloc::Total();
  for (auto _ : st) {
    const bool ok = receivePath ? rig.Round() : rig.RoundWithoutReceivePath();
    if (!ok) {
      st.SkipWithError("a round did not run through");
      return;
    }
  }
  AllocationCounters(st, before);
  st.counters["replies"] = static_cast<double>(rig.replies().size());
}

void Value(benchmark::State& st, const ValueRow& row) {
  Rig rig;
  Ready(rig);
  const std::string key = row.key;
  const QPR2427K_AC& ac = rig.ac(0);
  const std::uint64_t before = alloc::Total();
  for (auto _ : st) benchmark::DoNotOptimize(ac.Get_Value(0, key));
  AllocationCounters(st, before);
}

void Cache(benchmark::State& st, const CacheRow& row) {
  Rig rig;
  Ready(rig);
  std::vector<unsigned char> image = row.image(rig);
  KLDVDevice& unit = row.unit(rig);
  const int length = static_cast<int>(image.size());
  const std::uint64_t before = alloc::Total();
  for (auto _ : st) {
    if (unit.LoadFromCache(image.data(), length) != 1) {
      st.SkipWithError("the unit refused its own image");
      return;
    }
  }
  AllocationCounters(st, before);
}

// Attributed allocations per call of `op`, after one call outside the window.
template <typename Op>
alloc::Counts Attributed(int calls, Op op) {
  op();
  alloc::Open();
  for (int k = 0; k < calls; ++k) op();
  return alloc::Close();
}

void PrintRow(std::FILE* out, const char* what, const alloc::Counts& c, int calls) {
  const auto per = [calls](std::uint64_t n) { return static_cast<double>(n) / calls; };
  std::fprintf(out, "%-44s %8.2f %8.2f %8.2f\n", what, per(c.plugin), per(c.host), per(c.other));
}

}  // namespace

void RegisterBenchmarks() {
  for (const DecoderRow& row : kDecoders)
    benchmark::RegisterBenchmark(row.name, [&row](benchmark::State& st) { Decode(st, row); });
  benchmark::RegisterBenchmark("round/through_process", [](benchmark::State& st) { Round(st, true); })
      ->Unit(benchmark::kMicrosecond);
  benchmark::RegisterBenchmark("round/without_receive_path", [](benchmark::State& st) { Round(st, false); })
      ->Unit(benchmark::kMicrosecond);
  for (const ValueRow& row : kValues)
    benchmark::RegisterBenchmark(row.name, [&row](benchmark::State& st) { Value(st, row); });
  for (const CacheRow& row : kCaches)
    benchmark::RegisterBenchmark(row.name, [&row](benchmark::State& st) { Cache(st, row); });
}

unsigned long long CheckAllocations(std::FILE* out) {
  constexpr int kRounds = 100;
  constexpr int kCalls = 1000;
  Rig rig;
  Ready(rig);
  unsigned long long plugin = 0;
  const auto row = [&](const std::string& what, const alloc::Counts& c, int calls) {
    PrintRow(out, what.c_str(), c, calls);
    plugin += c.plugin;
  };
  // The counter must see allocations where they happen: one in the plug-in's
  // code (the text of the exception for an unknown key), one in the host's
  // (framing a command).
  const std::string unknownKey = "no_such_key";
  alloc::Open();
  try {
    benchmark::DoNotOptimize(rig.ac(0).Get_Value(0, unknownKey));
  } catch (const std::out_of_range&) {
  }
  const alloc::Counts pluginProbe = alloc::Close();
  alloc::Open();
  benchmark::DoNotOptimize(yd1363::Encode(0x21, 1, 0x40, 0x41, nullptr, 0));
  const alloc::Counts hostProbe = alloc::Close();
  if (pluginProbe.plugin == 0 || hostProbe.host == 0)
    throw std::runtime_error("bench: the allocation counter does not tell plug-in from host allocations");

  std::fprintf(out, "%-44s %8s %8s %8s\n", "steady-state heap allocations per call", "plug-in", "host", "other");
  row("round, replies through process()", Attributed(kRounds, [&] { rig.Round(); }), kRounds);
  row("round, replies to process_payload()", Attributed(kRounds, [&] { rig.RoundWithoutReceivePath(); }), kRounds);
  for (const DecoderRow& d : kDecoders) {
    const Section s = SectionOf(rig, d);
    row(d.name, Attributed(kCalls, [&] { d.decode(rig, s.p, s.len); }), kCalls);
  }
  // The decoders ran out of turn: one whole round puts the units back in step.
  if (!rig.Round()) throw std::runtime_error("bench: a round after the decoder checks failed");
  for (const ValueRow& v : kValues) {
    const std::string key = v.key;
    row(v.name, Attributed(kCalls, [&] { benchmark::DoNotOptimize(rig.ac(0).Get_Value(0, key)); }), kCalls);
  }
  for (const CacheRow& c : kCaches) {
    std::vector<unsigned char> image = c.image(rig);
    KLDVDevice& unit = c.unit(rig);
    row(c.name, Attributed(kRounds, [&] { unit.LoadFromCache(image.data(), static_cast<int>(image.size())); }),
        kRounds);
  }
  if (alloc::PrintPluginSites(out) > 0) std::fprintf(out, "(first plug-in allocations shown)\n");
  std::fprintf(out, "plug-in allocations in steady state: %llu\n", plugin);
  return plugin;
}

}  // namespace bench
