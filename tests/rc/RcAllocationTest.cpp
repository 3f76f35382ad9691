// A steady round (same module count as the last one) allocates nothing: the
// global allocation functions are replaced here to count calls.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "tests/rc/RcTestSupport.h"

namespace {
std::atomic<bool> counting{false};
std::atomic<int> allocations{0};

void* Allocate(std::size_t n) {
  if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t n) { return Allocate(n); }
void* operator new[](std::size_t n) { return Allocate(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

using namespace rc_test;

namespace {

// A host that keeps nothing, so that only the unit's own allocations count.
class CountingController : public KLDController {
 public:
  void CheckThresholdBool(KLDVDevice&, int, const std::string&, const std::string&, const std::string&,
                          const std::string&, bool active, unsigned short) override {
    ++alarms;
    if (active) ++active_;
  }
  void SendSP(KLDVDevice&, int, const unsigned char*, unsigned len, bool) override { published += len; }
  void SaveDeviceHistory(KLDVDevice&, const unsigned char*, unsigned len) override { saved += len; }
  void Clear() { alarms = active_ = 0, published = saved = 0; }
  int alarms = 0, active_ = 0;
  unsigned published = 0, saved = 0;
};

}  // namespace

TEST(RcAllocation, SteadyRoundAllocatesNothing) {
  auto ctl = std::make_shared<CountingController>();
  auto parent = std::make_shared<ParentDevice>();
  auto unit = std::make_shared<QPR2427K_RC>();
  parent->Init(ctl, 1, Json::Value());
  unit->InitV(parent.get(), kId, Json::Value());
  GiveModules(*unit, 12);
  const Bytes alarms = Reply41_44(std::vector<AlarmBlock>(12, AlarmBlock{1, {1, 0, 1}}));
  ASSERT_EQ(unit->parse41_44(alarms.data(), static_cast<int>(alarms.size())), 62);
  unit->rules_.resize(3);
  unit->RoundDone();  // the first round builds the image and the alarm texts
  unit->rules_.resize(3);
  unit->RoundDone();
  ctl->Clear();

  const Bytes values = Reply41_41(Value(0x70), std::vector<Bytes>(12, Value(0x30)));
  allocations = 0;
  counting = true;
  const int used = unit->parse41_41(values.data(), static_cast<int>(values.size()));
  unit->RoundDone();
  counting = false;

  EXPECT_EQ(allocations.load(), 0);
  EXPECT_EQ(used, 66);
  EXPECT_EQ(ctl->alarms, 48);
  EXPECT_EQ(ctl->active_, 36);
  EXPECT_EQ(ctl->published, 65u + 12u * 14u);
  EXPECT_EQ(ctl->saved, ctl->published);
}

TEST(RcAllocation, CountingSeesAnAllocation) {
  allocations = 0;
  counting = true;
  auto* p = new int(3);
  counting = false;
  EXPECT_EQ(allocations.load(), 1);
  delete p;
}
