// Counts every heap allocation made through the global operator new of the
// program it is linked into (the benchmarks, the allocation tests), and, inside
// an attribution window, tells whose code asked for it: the plug-in's own code
// or the host layer (libkldhost).
#pragma once
#include <cstdint>
#include <cstdio>

namespace testing_support {
namespace alloc {

// Every operator new call so far, on any thread.
std::uint64_t Total();

struct Counts {
  std::uint64_t plugin = 0;  // the nearest caller outside the runtime libraries is plug-in code
  std::uint64_t host = 0;    // ... is the host layer
  std::uint64_t other = 0;   // no such caller was found
  std::uint64_t total() const { return plugin + host + other; }
};

// Opens an attribution window: each allocation until Close() walks its call
// stack (slow; not for timed loops) and keeps the stacks of the first few
// plug-in allocations.
void Open();
Counts Close();

// Writes the kept plug-in allocation stacks, one frame a line, resolved with
// addr2line where it is installed. Returns how many stacks were written.
int PrintPluginSites(std::FILE* out);

}  // namespace alloc

// Allocations so far, as the tests compare them.
inline long AllocationCount() { return static_cast<long>(alloc::Total()); }

}  // namespace testing_support
