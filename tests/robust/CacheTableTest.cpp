// Cache images against every unit's LoadFromCache, table-driven: every length
// around each valid image, negative lengths, and random bytes. The expected
// outcome comes from the image layout alone: an image is taken exactly when
// its length is the record plus one item record per item its count byte
// announces; a refused image never makes the data ready, never moves the
// last update, and leaves the record and its items exactly as they were. A
// taken image answers at once and is what the next round publishes, apart
// from the round's time.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "host/HostClock.h"
#include "units/ac/QPR2427K_AC.h"
#include "units/dc/QPR2427K_DC.h"
#include "units/rc/QPR2427K_RC.h"
#include "tests/support/RecordingController.h"
#include "tests/support/Bytes.h"
#include "tests/support/FrozenClock.h"
#include "tests/support/ParentDevice.h"

namespace {

using testing_support::Bytes;
using testing_support::RecordingController;

// One unit under test, seen through what a restore may change.
class Probe {
 public:
  virtual ~Probe() = default;
  virtual KLDVDevice& device() = 0;
  virtual int Load(const unsigned char* data, int length) = 0;
  // The record followed by the item records, as the unit holds them now.
  virtual Bytes State() const = 0;
  // A value query that answers while the data is fresh.
  virtual bool Answers() const = 0;
};

template <typename Unit, typename Item>
class ItemProbe : public Probe {
 public:
  ItemProbe(std::shared_ptr<Unit> u, const std::vector<Item>& (Unit::*items)() const, const char* key)
      : unit_(std::move(u)), items_(items), key_(key) {}
  KLDVDevice& device() override { return *unit_; }
  int Load(const unsigned char* data, int length) override { return unit_->LoadFromCache(data, length); }
  Bytes State() const override {
    const auto& record = unit_->Record();
    const std::vector<Item>& items = ((*unit_).*items_)();
    Bytes out(sizeof record + sizeof(Item) * items.size());
    std::memcpy(out.data(), &record, sizeof record);
    if (!items.empty()) std::memcpy(out.data() + sizeof record, static_cast<const void*>(items.data()), sizeof(Item) * items.size());
    return out;
  }
  bool Answers() const override {
    if (!key_) return false;
    try {
      (void)unit_->Get_Value(0, key_);
      return true;
    } catch (const std::out_of_range&) {
      return false;
    }
  }

 private:
  std::shared_ptr<Unit> unit_;
  const std::vector<Item>& (Unit::*items_)() const;
  const char* key_;
};

class DcProbe : public Probe {
 public:
  explicit DcProbe(std::shared_ptr<QPR2427K_DC> u) : unit_(std::move(u)) {}
  KLDVDevice& device() override { return *unit_; }
  int Load(const unsigned char* data, int length) override { return unit_->LoadFromCache(data, length); }
  Bytes State() const override {
    const auto* p = reinterpret_cast<const unsigned char*>(&unit_->Record());
    return Bytes(p, p + sizeof(tele_c_qpr2427k_dc));
  }
  bool Answers() const override {
    try {
      (void)unit_->Get_Value(0, "v");
      return true;
    } catch (const std::out_of_range&) {
      return false;
    }
  }

 private:
  std::shared_ptr<QPR2427K_DC> unit_;
};

struct UnitKind {
  const char* name;
  std::size_t record;      // bytes of the record
  std::size_t item;        // bytes of one channel or module record; 0: none
  std::size_t countAt;     // offset of the item count in the record
  std::size_t stampAt;     // offset of the round's 7-byte time
  int recordType;          // what RoundDone publishes under
  bool bareRecordTaken;    // an image without items is taken
  std::function<std::unique_ptr<Probe>(KLDSPDevice& parent)> make;
};

const UnitKind kUnits[] = {
    {"AC", 40, 23, 16, 33, 5026, false,
     [](KLDSPDevice& parent) -> std::unique_ptr<Probe> {
       auto u = std::make_shared<QPR2427K_AC>();
       u->InitV(&parent, 11, Json::Value());
       return std::make_unique<ItemProbe<QPR2427K_AC, tele_c_qpr2427k_ac_channel>>(u, &QPR2427K_AC::Channels, "ia");
     }},
    {"DC", 177, 0, 0, 170, 5028, true,
     [](KLDSPDevice& parent) -> std::unique_ptr<Probe> {
       auto u = std::make_shared<QPR2427K_DC>("QPR-24KV");
       u->InitV(&parent, 21, Json::Value());
       return std::make_unique<DcProbe>(u);
     }},
    {"RC", 65, 14, 57, 58, 5027, true,
     [](KLDSPDevice& parent) -> std::unique_ptr<Probe> {
       auto u = std::make_shared<QPR2427K_RC>();
       u->InitV(&parent, 100, Json::Value());
       return std::make_unique<ItemProbe<QPR2427K_RC, tele_c_qpr2427k_rc_channel>>(u, &QPR2427K_RC::Modules, nullptr);
     }},
};

void PrintTo(const UnitKind& k, std::ostream* os) { *os << k.name; }

// Whether the layout says the image is whole.
bool Whole(const UnitKind& k, const Bytes& image, int length) {
  if (length < static_cast<int>(k.record)) return false;
  const std::size_t items = k.item ? image[k.countAt] : 0;
  if (items == 0 && !k.bareRecordTaken) return false;
  return static_cast<std::size_t>(length) == k.record + k.item * items;
}

// An image whose bytes are all distinct from a new unit's zero record.
Bytes Image(const UnitKind& k, unsigned items, std::size_t length, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(length);
  for (auto& x : b) x = static_cast<unsigned char>(1 + rng() % 255);
  if (k.item && length > k.countAt) b[k.countAt] = static_cast<unsigned char>(items);
  return b;
}

class CacheImages : public ::testing::TestWithParam<UnitKind> {
 protected:

  // Offers one image (its first `length` bytes) to a new unit and checks the outcome.
  void Offer(const Bytes& image, int length, const std::string& what) {
    SCOPED_TRACE(std::string(GetParam().name) + " " + what + " length " + std::to_string(length));
    const UnitKind& k = GetParam();
    const bool whole = length >= 0 && Whole(k, image, length);
    // A block of exactly the bytes offered, so a read past them is caught.
    const std::size_t n = length > 0 ? static_cast<std::size_t>(length) : 0;
    std::unique_ptr<unsigned char[]> block(new unsigned char[n == 0 ? 1 : n]);
    if (n) std::memcpy(block.get(), image.data(), n);

    // A new unit is ready after a taken image only.
    std::unique_ptr<Probe> fresh = k.make(*parent);
    EXPECT_EQ(fresh->Load(block.get(), length), whole ? 1 : 0);
    EXPECT_EQ(fresh->device().dataReady_, whole);
    EXPECT_EQ(fresh->Answers(), whole && k.recordType != 5027);

    // A unit that already ran a round: a refused restore must not disturb it.
    std::unique_ptr<Probe> probe = k.make(*parent);
    KLDVDevice& dev = probe->device();
    host_clock::Advance(1);
    dev.RoundDone();
    const Bytes before = probe->State();
    const auto lastBefore = dev.lastUpdate_;
    host_clock::Advance(5);
    ctl->Clear();

    int r = -1;
    ASSERT_NO_THROW(r = probe->Load(block.get(), length));
    ASSERT_EQ(r, whole ? 1 : 0);
    EXPECT_TRUE(ctl->logs.empty()) << ctl->logs.front().line;
    if (!whole) {
      EXPECT_EQ(dev.lastUpdate_, lastBefore);
      EXPECT_EQ(probe->State(), before);
      return;
    }
    EXPECT_EQ(probe->State(), Bytes(image.begin(), image.begin() + length));
    EXPECT_TRUE(dev.dataReady_);
    EXPECT_EQ(dev.lastUpdate_, host_clock::LocalSecondClock());
    if (k.recordType != 5027) {
      EXPECT_TRUE(probe->Answers());
    }
    // The next round publishes the restored image again, with its own time.
    dev.RoundDone();
    ASSERT_EQ(ctl->published.size(), 1u);
    const Bytes& out = ctl->published[0].image;
    ASSERT_EQ(out.size(), n);
    EXPECT_EQ(ctl->published[0].recordType, k.recordType);
    for (std::size_t b = 0; b < n; ++b) {
      if (b >= k.stampAt && b < k.stampAt + 7) continue;
      ASSERT_EQ(out[b], image[b]) << "byte " << b;
    }
  }

  testing_support::FrozenClock clock{
      boost::posix_time::ptime(boost::gregorian::date(2026, 7, 1), boost::posix_time::hours(3))};
  std::shared_ptr<RecordingController> ctl = std::make_shared<RecordingController>();
  std::shared_ptr<testing_support::ParentDevice> parent = testing_support::ParentDevice::Of(ctl);
};

TEST_P(CacheImages, EveryLengthAroundEachValidImage) {
  const UnitKind& k = GetParam();
  const unsigned counts[] = {0, 1, 2, 5, 255};
  for (unsigned items : k.item ? std::vector<unsigned>(std::begin(counts), std::end(counts)) : std::vector<unsigned>{0}) {
    const std::size_t valid = k.record + k.item * items;
    const Bytes image = Image(k, items, valid + 64, 1000 + items);
    std::vector<int> lengths = {0, 1, static_cast<int>(k.countAt), static_cast<int>(k.record) - 1,
                                static_cast<int>(k.record), static_cast<int>(k.record) + 1};
    for (int d = -3; d <= 3; ++d) lengths.push_back(static_cast<int>(valid) + d);
    if (k.item) lengths.push_back(static_cast<int>(valid + k.item));
    for (int length : lengths)
      if (length >= 0) Offer(image, length, "count " + std::to_string(items));
  }
}

TEST_P(CacheImages, NegativeLengthsReadNothing) {
  const Bytes image = Image(GetParam(), 1, 400, 7);
  for (int length : {-1, -static_cast<int>(GetParam().record), INT_MIN}) Offer(image, length, "negative");
}

// No image at all is refused at any length and leaves the unit as it was.
TEST_P(CacheImages, NullImageIsRefusedAtAnyLength) {
  const UnitKind& k = GetParam();
  for (int length : {0, static_cast<int>(k.record), static_cast<int>(k.record + k.item), 4095}) {
    std::unique_ptr<Probe> probe = k.make(*parent);
    const Bytes before = probe->State();
    EXPECT_EQ(probe->Load(nullptr, length), 0) << length;
    EXPECT_FALSE(probe->device().dataReady_) << length;
    EXPECT_EQ(probe->State(), before) << length;
  }
}

// A unit restored from a good image is offered the same image with its count
// byte damaged (the length no longer fits): refused, and the unit keeps the
// record, the items and the time of the good one, so that the next reply of
// the system, whose count it still holds, is taken.
TEST_P(CacheImages, ADamagedCountByteChangesNothing) {
  const UnitKind& k = GetParam();
  if (!k.item) GTEST_SKIP() << k.name << " images have no count byte";
  const Bytes good = Image(k, 3, k.record + 3 * k.item, 42);
  std::unique_ptr<Probe> probe = k.make(*parent);
  ASSERT_EQ(probe->Load(good.data(), static_cast<int>(good.size())), 1);
  const Bytes before = probe->State();
  const auto lastBefore = probe->device().lastUpdate_;
  host_clock::Advance(5);
  std::vector<Bytes> damaged;
  for (unsigned count : {0u, 1u, 2u, 4u, 0xFFu}) {
    damaged.push_back(good);
    damaged.back()[k.countAt] = static_cast<unsigned char>(count);
  }
  damaged.push_back(Bytes(good.size(), 0xFF));
  for (const Bytes& image : damaged) {
    SCOPED_TRACE("count " + std::to_string(image[k.countAt]));
    EXPECT_EQ(probe->Load(image.data(), static_cast<int>(image.size())), 0);
    EXPECT_EQ(probe->State(), before);
    EXPECT_EQ(probe->device().lastUpdate_, lastBefore);
    EXPECT_TRUE(probe->device().dataReady_);
  }
}

TEST_P(CacheImages, RandomBytesOfRandomLengths) {
  const UnitKind& k = GetParam();
  std::mt19937 rng(0xC0FFEE);
  int taken = 0;
  for (int trial = 0; trial < 300; ++trial) {
    // Lengths mostly near the record, where the count byte decides.
    const std::size_t length = trial % 3 == 0 ? rng() % 700 : k.record + rng() % (k.item ? k.item * 12 : 8);
    Bytes image(length + 1);
    for (auto& b : image) b = static_cast<unsigned char>(rng());
    // Every third image gets a count that fits its length, when one can.
    if (k.item && trial % 3 == 1 && length >= k.record && (length - k.record) % k.item == 0)
      image[k.countAt] = static_cast<unsigned char>((length - k.record) / k.item);
    taken += Whole(k, image, static_cast<int>(length)) ? 1 : 0;
    Offer(image, static_cast<int>(length), "random " + std::to_string(trial));
    if (HasFatalFailure()) return;
  }
  // The table reached both outcomes.
  EXPECT_GT(taken, 0);
  EXPECT_LT(taken, 300);
}

INSTANTIATE_TEST_SUITE_P(Units, CacheImages, ::testing::ValuesIn(kUnits),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
