// The global operator new of the program it is linked into: counts every call and, inside
// an attribution window, classifies it by the first caller on the stack that
// is not in a runtime library (libc, libstdc++, Boost, jsoncpp, fmt).
#include "tests/support/AllocationCounter.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "host/HostClock.h"

namespace testing_support::alloc {
namespace {

constexpr int kFrames = 32;
constexpr int kKeptSites = 8;

std::atomic<std::uint64_t> total{0};
std::atomic<bool> attributing{false};
std::atomic<std::uint64_t> plugin{0}, host{0}, other{0};
thread_local bool inWalk = false;

const void* exeBase = nullptr;   // the benchmark program, which holds the plug-in's code
const void* hostBase = nullptr;  // libkldhost

struct Site {
  int depth = 0;
  void* frames[kFrames];
};
Site sites[kKeptSites];
std::atomic<int> keptSites{0};

const void* ObjectBase(const void* address) {
  Dl_info info;
  return dladdr(address, &info) != 0 ? info.dli_fbase : nullptr;
}

// Frame 0 of the walk is this function, frame 1 the operator new that inlined
// Count(); both are in the program, like the plug-in's code, so they are passed over.
constexpr int kFirstCaller = 2;

__attribute__((noinline)) void Attribute() {
  void* frames[kFrames];
  const int depth = backtrace(frames, kFrames);
  for (int k = kFirstCaller; k < depth; ++k) {
    const void* base = ObjectBase(frames[k]);
    if (base == hostBase) {
      host.fetch_add(1, std::memory_order_relaxed);
      return;
    }
    if (base == exeBase) {
      plugin.fetch_add(1, std::memory_order_relaxed);
      const int slot = keptSites.fetch_add(1, std::memory_order_relaxed);
      if (slot < kKeptSites) {
        sites[slot].depth = depth;
        for (int j = 0; j < depth; ++j) sites[slot].frames[j] = frames[j];
      }
      return;
    }
  }
  other.fetch_add(1, std::memory_order_relaxed);
}

// Inlined into each operator new, so the operator is always frame 1 of a walk.
inline __attribute__((always_inline)) void Count() {
  total.fetch_add(1, std::memory_order_relaxed);
  if (attributing.load(std::memory_order_relaxed) && !inWalk) {
    inWalk = true;  // the walk itself may allocate (the unwinder loads on first use)
    Attribute();
    inWalk = false;
  }
}

void* Allocate(std::size_t n) {
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  return p;
}

void* AllocateAligned(std::size_t n, std::align_val_t al) {
  const std::size_t a = static_cast<std::size_t>(al);
  const std::size_t rounded = ((n ? n : 1) + a - 1) / a * a;
  void* p = std::aligned_alloc(a, rounded);
  if (!p) throw std::bad_alloc();
  return p;
}

}  // namespace

std::uint64_t Total() { return total.load(std::memory_order_relaxed); }

void Open() {
  if (!exeBase) {
    exeBase = ObjectBase(reinterpret_cast<const void*>(&Attribute));
    hostBase = ObjectBase(reinterpret_cast<const void*>(&host_clock::Release));
    void* warm[2];
    backtrace(warm, 2);  // loads the unwinder before any window
  }
  plugin = 0;
  host = 0;
  other = 0;
  keptSites = 0;
  attributing.store(true);
}

Counts Close() {
  attributing.store(false);
  return Counts{plugin.load(), host.load(), other.load()};
}

namespace {
std::string ProgramPath() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string("/proc/self/exe");
}
}  // namespace

int PrintPluginSites(std::FILE* out) {
  const int n = std::min(keptSites.load(), kKeptSites);
  for (int s = 0; s < n; ++s) {
    std::fprintf(out, "plug-in allocation %d:\n", s + 1);
    for (int k = kFirstCaller; k < sites[s].depth; ++k) {
      Dl_info info;
      if (dladdr(sites[s].frames[k], &info) == 0) continue;
      const auto offset = static_cast<unsigned long>(static_cast<const char*>(sites[s].frames[k]) -
                                                     static_cast<const char*>(info.dli_fbase) - 1);
      // The program itself has no name in the loader's list.
      const std::string file = info.dli_fbase == exeBase ? ProgramPath() : info.dli_fname;
      char hex[32];
      std::snprintf(hex, sizeof hex, "0x%lx", offset);
      const std::string cmd = "addr2line -C -f -i -p -e '" + file + "' " + hex + " 2>/dev/null";
      std::string resolved;
      if (std::FILE* p = popen(cmd.c_str(), "r")) {
        char line[512];
        while (std::fgets(line, sizeof line, p)) resolved += line;
        pclose(p);
      }
      if (resolved.empty()) resolved = file + "+" + hex + "\n";
      std::fprintf(out, "  #%d %s", k, resolved.c_str());
    }
  }
  return n;
}

}  // namespace testing_support::alloc

void* operator new(std::size_t n) {
  testing_support::alloc::Count();
  return testing_support::alloc::Allocate(n);
}
void* operator new[](std::size_t n) {
  testing_support::alloc::Count();
  return testing_support::alloc::Allocate(n);
}
void* operator new(std::size_t n, std::align_val_t al) {
  testing_support::alloc::Count();
  return testing_support::alloc::AllocateAligned(n, al);
}
void* operator new[](std::size_t n, std::align_val_t al) {
  testing_support::alloc::Count();
  return testing_support::alloc::AllocateAligned(n, al);
}
// The matching deletes: memory from malloc goes back to free (a sanitizer's own
// operator delete would report the mismatch).
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
