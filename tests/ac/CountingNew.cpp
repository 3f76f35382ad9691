// Replaces the global operator new and delete of the test program so tests can
// count allocations; kept apart so no caller sees the bodies inline.
#include "tests/ac/CountingNew.h"

#include <atomic>
#include <cstdlib>
#include <new>

namespace {
std::atomic<long> g_allocations{0};
}  // namespace

void* operator new(std::size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

long ac_test::AllocationCount() { return g_allocations.load(std::memory_order_relaxed); }
