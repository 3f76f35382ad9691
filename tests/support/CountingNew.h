// The allocation counter of a test program linked with qpr_counting_new, whose
// CountingNew.cpp replaces the global operator new.
#pragma once

namespace testing_support {
// Allocations through operator new so far, on any thread.
long AllocationCount();
}  // namespace testing_support
