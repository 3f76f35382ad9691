// The test program's allocation counter (CountingNew.cpp replaces operator new).
#pragma once

namespace ac_test {
// Allocations through operator new so far, on any thread.
long AllocationCount();
}  // namespace ac_test
