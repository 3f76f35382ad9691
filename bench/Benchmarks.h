// The benchmark suite and the allocation check run before it.
#pragma once
#include <cstdio>

namespace bench {

// Registers every benchmark with Google Benchmark.
void RegisterBenchmarks();

// Runs each steady-state operation under an attribution window and prints the
// allocations per call by owner. Returns the plug-in's own allocations summed
// over every operation (0 is the goal); the stacks of any are printed too.
unsigned long long CheckAllocations(std::FILE* out);

}  // namespace bench
