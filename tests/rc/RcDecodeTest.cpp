// Rectifier reply decoders and cache restore: stored bytes, results, log lines,
// trace lines, and payloads cut short at every length.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host/HostClock.h"
#include "tests/rc/RcTestSupport.h"

using namespace rc_test;

namespace {

using RC = QPR2427K_RC;
// Every user-defined area in use: two values per module in 41_41, one status
// byte in 41_43, three alarm bytes in 41_44; five DC parameters in 20 bytes.
using WideRC = PMBusPowerRC<tele_c_pmbuspower_rc<5, 20>, tele_c_pmbuspower_rc_channel<2, 1, 3>, 5027>;

const std::string kP41 = "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_41 p is {} not {}";
const std::string kOver41 = "PMBusPowerAC:ProcotolError {} read 41_41 read overflow {} - {}";
const std::string kIn41 = "PMBusPowerAC:ProcotolError {} read 41_41 in channel overflow {} - {}";
const std::string kP43 = "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_43 p is {}, not {}";
const std::string kOver43 = "PMBusPowerAC:ProcotolError {} read 41_43 read overflow {} - {}";
const std::string kCount44 =
    "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} parse p41_44 channel_count not equal {} != {} ";
const std::string kP44 = "PMBusPowerRC<TeleRC,TeleRCChannel,RT_RC>:ProcotolError {} read 41_44 p is {}, not {}";
const std::string kOver44 = "PMBusPowerAC:ProcotolError {} read 41_44 read overflow {} - {}";
const std::string kOver40 = "PMBusPowerAC:ProcotolError {} read 40_46 read overflow {} - {}";
const std::string kP42 = "RTV11B:ProcotolError parse42_46 {} p:{} != {}";
const std::string kOver42 = "PMBusPowerAC:ProcotolError {} read 42_46 read overflow {} - {}";

const std::string kId_ = std::to_string(kId);

// Where a field of a reply ends, and the message logged when the payload stops before it.
struct FieldEnd {
  int end;
  std::string format;
};

// Feeds every proper prefix of `reply` to a freshly prepared unit and expects -1
// and the overflow message of the first field that does not fit. Each prefix is
// given once in a buffer of exactly its size (a read past it trips ASan) and once
// followed by marker bytes, none of which may reach the record or the modules.
template <typename Unit>
void ExpectEveryCutRefused(const Bytes& reply, const std::vector<FieldEnd>& ends,
                           const std::function<void(Unit&)>& prepare,
                           const std::function<int(Unit&, const unsigned char*, int)>& decode) {
  constexpr unsigned char kMarker = 0xEE;
  ASSERT_EQ(std::count(reply.begin(), reply.end(), kMarker), 0);
  for (int cut = 0; cut < static_cast<int>(reply.size()); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    const auto field = std::find_if(ends.begin(), ends.end(), [cut](const FieldEnd& f) { return f.end > cut; });
    ASSERT_NE(field, ends.end());

    Wired<Unit> exact;
    prepare(*exact.unit);
    exact.ctl->Clear();
    std::unique_ptr<unsigned char[]> buf(new unsigned char[static_cast<std::size_t>(cut)]);
    std::copy(reply.begin(), reply.begin() + cut, buf.get());
    EXPECT_EQ(decode(*exact.unit, buf.get(), cut), -1);
    ASSERT_EQ(exact.ctl->logs.size(), 1u);
    ExpectLog(exact.ctl->logs[0], field->format, {kId_, std::to_string(field->end), std::to_string(cut)});

    Wired<Unit> padded;
    prepare(*padded.unit);
    Bytes marked(reply.begin(), reply.begin() + cut);
    marked.resize(reply.size() + 8, kMarker);
    EXPECT_EQ(decode(*padded.unit, marked.data(), cut), -1);
    const Bytes stored = Cat({BytesOf(padded.unit->Record()), BytesOf(padded.unit->Modules())});
    EXPECT_EQ(std::count(stored.begin(), stored.end(), kMarker), 0);
  }
}

template <typename Unit>
void Nothing(Unit&) {}

template <typename Unit>
void ThreeModules(Unit& u) {
  GiveModules(u, 3);
}

}  // namespace

// ---- (0x41, 0x41) ----

TEST(Rc41_41, FirstReplyFixesTheModuleCountAndStoresEveryValue) {
  Wired<RC> w;
  const Bytes r = Reply41_41(Value(0xA0), {Value(0x10), Value(0x20), Value(0x30)});
  ASSERT_EQ(r.size(), 21u);
  EXPECT_EQ(w.unit->parse41_41(r.data(), 21), 21);
  const auto& rec = w.unit->Record();
  EXPECT_EQ(Bytes(rec.rc_value, rec.rc_value + 4), Value(0xA0));
  EXPECT_EQ(rec.channel_count, 3);
  ASSERT_EQ(w.unit->Modules().size(), 3u);
  for (int k = 0; k < 3; ++k) {
    const auto& m = w.unit->Modules()[k];
    EXPECT_EQ(Bytes(m.value41, m.value41 + 4), Value(static_cast<unsigned char>(0x10 * (k + 1))));
    EXPECT_EQ(m.p41, 0);
  }
  EXPECT_TRUE(w.ctl->logs.empty());
}

TEST(Rc41_41, ZeroModulesLeaveTheCountOpenForTheNextReply) {
  Wired<RC> w;
  const Bytes none = Reply41_41(Value(1), {});
  EXPECT_EQ(w.unit->parse41_41(none.data(), 6), 6);
  EXPECT_EQ(w.unit->Record().channel_count, 0);
  EXPECT_TRUE(w.unit->Modules().empty());
  const Bytes two = Reply41_41(Value(1), {Value(0x10), Value(0x20)});
  EXPECT_EQ(w.unit->parse41_41(two.data(), 16), 16);
  EXPECT_EQ(w.unit->Record().channel_count, 2);
  EXPECT_EQ(w.unit->Modules().size(), 2u);
}

TEST(Rc41_41, AnotherModuleCountIsRefusedSilentlyButTheSystemValueIsKept) {
  Wired<RC> w;
  GiveModules(*w.unit, 3);
  const Bytes before = BytesOf(w.unit->Modules());
  const Bytes four = Reply41_41(Value(0x50), {Value(0x10), Value(0x20), Value(0x30), Value(0x40)});
  EXPECT_EQ(w.unit->parse41_41(four.data(), static_cast<int>(four.size())), -1);
  EXPECT_TRUE(w.ctl->logs.empty());
  EXPECT_EQ(Bytes(w.unit->Record().rc_value, w.unit->Record().rc_value + 4), Value(0x50));
  EXPECT_EQ(w.unit->Record().channel_count, 3);
  EXPECT_EQ(BytesOf(w.unit->Modules()), before);
}

TEST(Rc41_41, UnexpectedCountIsLoggedAndSkippedWithoutALengthCheck) {
  Wired<RC> w;
  // Module 1 announces two user-defined values that this record has no room for.
  const Bytes r = Cat({{0x00}, Value(0xA0), {2}, Value(0x10), {2}, Value(0x60), Value(0x70), Value(0x20), {0}});
  EXPECT_EQ(w.unit->parse41_41(r.data(), static_cast<int>(r.size())), 24);
  ASSERT_EQ(w.ctl->logs.size(), 1u);
  ExpectLog(w.ctl->logs[0], kP41, {kId_, "2", "0"});
  const auto& m = w.unit->Modules();
  EXPECT_EQ(m[0].p41, 2);
  EXPECT_EQ(Bytes(m[1].value41, m[1].value41 + 4), Value(0x20));  // 8 bytes later
}

TEST(Rc41_41, SkipPastTheEndOnTheLastModuleIsAnOverflowAtThePosition) {
  Wired<RC> w;
  const Bytes r = Cat({{0x00}, Value(0xA0), {1}, Value(0x10), {3}});
  EXPECT_EQ(w.unit->parse41_41(r.data(), 11), -1);
  ASSERT_EQ(w.ctl->logs.size(), 2u);
  ExpectLog(w.ctl->logs[0], kP41, {kId_, "3", "0"});
  ExpectLog(w.ctl->logs[1], kOver41, {kId_, "23", "11"});
}

TEST(Rc41_41, EveryShortPayloadIsRefusedAtTheFieldThatDoesNotFit) {
  const Bytes r = Reply41_41(Value(0xA0), {Value(0x10), Value(0x20), Value(0x30)});
  ExpectEveryCutRefused<RC>(r, {{5, kOver41}, {6, kOver41}, {11, kOver41}, {16, kOver41}, {21, kOver41}},
                            Nothing<RC>,
                            [](RC& u, const unsigned char* p, int n) { return u.parse41_41(p, n); });
}

TEST(Rc41_41, NegativeLengthReadsNothing) {
  Wired<RC> w;
  const Bytes r = Reply41_41(Value(0xA0), {Value(0x10)});
  EXPECT_EQ(w.unit->parse41_41(r.data(), -3), -1);
  ASSERT_EQ(w.ctl->logs.size(), 1u);
  ExpectLog(w.ctl->logs[0], kOver41, {kId_, "5", "-3"});
  EXPECT_EQ(BytesOf(w.unit->Record().rc_value), Bytes(4, 0));
}

TEST(Rc41_41, UserDefinedValuesAreStoredAndEqualBytesBecomeZero) {
  Wired<WideRC> w;
  const Bytes r = Cat({{0x00}, Value(0xA0), {2},                          //
                       Value(0x10), {2}, Value(0x60), {7, 7, 7, 7},      //
                       Value(0x20), {2}, {0xFF, 0xFF, 0xFF, 0xFF}, Value(0x80)});
  EXPECT_EQ(w.unit->parse41_41(r.data(), static_cast<int>(r.size())), 32);
  const auto& m = w.unit->Modules();
  EXPECT_EQ(Bytes(m[0].user41.bytes[0], m[0].user41.bytes[0] + 4), Value(0x60));
  EXPECT_EQ(Bytes(m[0].user41.bytes[1], m[0].user41.bytes[1] + 4), Bytes(4, 0));
  EXPECT_EQ(Bytes(m[1].user41.bytes[0], m[1].user41.bytes[0] + 4), Bytes(4, 0));
  EXPECT_EQ(Bytes(m[1].user41.bytes[1], m[1].user41.bytes[1] + 4), Value(0x80));
  EXPECT_TRUE(w.ctl->logs.empty());
}

TEST(Rc41_41, ShortUserDefinedValuesAreAnInChannelOverflow) {
  const Bytes r = Cat({{0x00}, Value(0xA0), {2},                      //
                       Value(0x10), {2}, Value(0x60), Value(0x70),  //
                       Value(0x20), {2}, Value(0x80), Value(0x90)});
  ExpectEveryCutRefused<WideRC>(r,
                                {{5, kOver41}, {6, kOver41}, {11, kOver41}, {15, kIn41}, {19, kIn41},
                                 {24, kOver41}, {28, kIn41}, {32, kIn41}},
                                Nothing<WideRC>,
                                [](WideRC& u, const unsigned char* p, int n) { return u.parse41_41(p, n); });
}

// ---- (0x41, 0x43) ----

TEST(Rc41_43, FewerModulesUpdateOnlyTheFirstOnes) {
  Wired<RC> w;
  GiveModules(*w.unit, 3);
  const Bytes all = {0x00, 3, 1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0};
  EXPECT_EQ(w.unit->parse41_43(all.data(), 14), 14);
  const Bytes two = {0x00, 2, 11, 12, 13, 0, 14, 15, 16, 0};
  EXPECT_EQ(w.unit->parse41_43(two.data(), 10), 10);
  const auto& m = w.unit->Modules();
  EXPECT_EQ(Bytes(m[0].status43, m[0].status43 + 3), (Bytes{11, 12, 13}));
  EXPECT_EQ(Bytes(m[1].status43, m[1].status43 + 3), (Bytes{14, 15, 16}));
  EXPECT_EQ(Bytes(m[2].status43, m[2].status43 + 3), (Bytes{7, 8, 9}));
  EXPECT_TRUE(w.ctl->logs.empty());
}

TEST(Rc41_43, MoreModulesThanKnownAreRefusedSilently) {
  Wired<RC> w;
  GiveModules(*w.unit, 2);
  const Bytes r = {0x00, 3, 1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0};
  EXPECT_EQ(w.unit->parse41_43(r.data(), 14), -1);
  EXPECT_TRUE(w.ctl->logs.empty());
  EXPECT_EQ(w.unit->Modules()[0].status43[0], 0);
}

TEST(Rc41_43, UnexpectedCountIsLoggedAndSkipped) {
  Wired<RC> w;
  GiveModules(*w.unit, 2);
  const Bytes r = {0x00, 2, 1, 2, 3, 2, 0x50, 0x51, 4, 5, 6, 0};
  EXPECT_EQ(w.unit->parse41_43(r.data(), 12), 12);
  ASSERT_EQ(w.ctl->logs.size(), 1u);
  ExpectLog(w.ctl->logs[0], kP43, {kId_, "2", "0"});
  EXPECT_EQ(w.unit->Modules()[0].p43, 2);
  EXPECT_EQ(Bytes(w.unit->Modules()[1].status43, w.unit->Modules()[1].status43 + 3), (Bytes{4, 5, 6}));
}

TEST(Rc41_43, SkipPastTheEndIsAnOverflowAtThePosition) {
  Wired<RC> w;
  GiveModules(*w.unit, 1);
  const Bytes r = {0x00, 1, 1, 2, 3, 3};
  EXPECT_EQ(w.unit->parse41_43(r.data(), 6), -1);
  ASSERT_EQ(w.ctl->logs.size(), 2u);
  ExpectLog(w.ctl->logs[0], kP43, {kId_, "3", "0"});
  ExpectLog(w.ctl->logs[1], kOver43, {kId_, "9", "6"});
}

TEST(Rc41_43, EveryShortPayloadIsRefusedAtTheFieldThatDoesNotFit) {
  const Bytes r = {0x00, 3, 1, 2, 3, 0, 4, 5, 6, 0, 7, 8, 9, 0};
  ExpectEveryCutRefused<RC>(r, {{2, kOver43}, {6, kOver43}, {10, kOver43}, {14, kOver43}}, ThreeModules<RC>,
                            [](RC& u, const unsigned char* p, int n) { return u.parse41_43(p, n); });
}

TEST(Rc41_43, UserDefinedStatusBytesAreStoredWhenTheRecordHasRoom) {
  Wired<WideRC> w;
  GiveModules(*w.unit, 2);
  w.ctl->Clear();
  const Bytes r = {0x00, 2, 1, 2, 3, 1, 0x41, 4, 5, 6, 0};
  EXPECT_EQ(w.unit->parse41_43(r.data(), 11), 11);
  EXPECT_EQ(w.unit->Modules()[0].user43[0], 0x41);
  ASSERT_EQ(w.ctl->logs.size(), 1u);
  ExpectLog(w.ctl->logs[0], kP43, {kId_, "0", "1"});
  const Bytes cut = {0x00, 1, 1, 2, 3, 1, 0x41};
  ExpectEveryCutRefused<WideRC>(cut, {{2, kOver43}, {6, kOver43}, {7, kOver43}},
                                [](WideRC& u) { GiveModules(u, 1); },
                                [](WideRC& u, const unsigned char* p, int n) { return u.parse41_43(p, n); });
}

// ---- (0x41, 0x44) ----

TEST(Rc41_44, EveryModuleTakesItsFaultAndUserDefinedBytes) {
  Wired<RC> w;
  GiveModules(*w.unit, 3);
  const Bytes r = Reply41_44({{1, {0, 1, 0}}, {0, {1, 0, 1}}, {2, {3, 4, 5}}});
  EXPECT_EQ(w.unit->parse41_44(r.data(), 17), 17);
  const auto& m = w.unit->Modules();
  const unsigned char want[3][5] = {{1, 3, 0, 1, 0}, {0, 3, 1, 0, 1}, {2, 3, 3, 4, 5}};
  for (int k = 0; k < 3; ++k) {
    const Bytes module = BytesOf(m[k]);
    EXPECT_EQ(Bytes(module.begin() + 9, module.end()), Bytes(want[k], want[k] + 5)) << "module " << k + 1;
  }
  EXPECT_TRUE(w.ctl->logs.empty());
}

TEST(Rc41_44, MoreModulesThanKnownAreLoggedAndGiveZero) {
  Wired<RC> w;
  GiveModules(*w.unit, 3);
  const Bytes r = Reply41_44({{1, {1, 1, 1}}, {1, {1, 1, 1}}, {1, {1, 1, 1}}, {1, {1, 1, 1}}});
  EXPECT_EQ(w.unit->parse41_44(r.data(), static_cast<int>(r.size())), 0);
  ASSERT_EQ(w.ctl->logs.size(), 1u);
  ExpectLog(w.ctl->logs[0], kCount44, {kId_, "4", "3"});
  EXPECT_EQ(w.unit->Modules()[0].status44, 0);
}

TEST(Rc41_44, UnexpectedCountKeepsTheUserDefinedBytes) {
  Wired<RC> w;
  GiveModules(*w.unit, 2);
  const Bytes first = Reply41_44({{0, {1, 1, 1}}, {0, {1, 1, 1}}});
  ASSERT_EQ(w.unit->parse41_44(first.data(), 12), 12);
  const Bytes r = {0x00, 2, 1, 2, 0, 0, 0, 3, 0, 0, 1};
  EXPECT_EQ(w.unit->parse41_44(r.data(), 11), 11);
  ASSERT_EQ(w.ctl->logs.size(), 1u);
  ExpectLog(w.ctl->logs[0], kP44, {kId_, "2", "3"});
  const auto& m = w.unit->Modules();
  EXPECT_EQ(m[0].status44, 1);
  EXPECT_EQ(m[0].p44, 2);
  EXPECT_EQ(Bytes(m[0].user44.data(), m[0].user44.data() + 3), (Bytes{1, 1, 1}));
  EXPECT_EQ(m[1].status44, 0);
  EXPECT_EQ(m[1].p44, 3);
  EXPECT_EQ(Bytes(m[1].user44.data(), m[1].user44.data() + 3), (Bytes{0, 0, 1}));
}

TEST(Rc41_44, EveryShortPayloadIsRefusedAtTheFieldThatDoesNotFit) {
  const Bytes r = Reply41_44({{1, {0, 1, 0}}, {0, {1, 0, 1}}, {2, {3, 4, 5}}});
  ExpectEveryCutRefused<RC>(
      r, {{2, kOver44}, {4, kOver44}, {7, kOver44}, {9, kOver44}, {12, kOver44}, {14, kOver44}, {17, kOver44}},
      ThreeModules<RC>, [](RC& u, const unsigned char* p, int n) { return u.parse41_44(p, n); });
}

TEST(Rc41_44, SkipPastTheEndIsAnOverflowAtThePosition) {
  Wired<RC> w;
  GiveModules(*w.unit, 1);
  const Bytes r = {0x00, 1, 1, 9};
  EXPECT_EQ(w.unit->parse41_44(r.data(), 4), -1);
  ASSERT_EQ(w.ctl->logs.size(), 2u);
  ExpectLog(w.ctl->logs[0], kP44, {kId_, "9", "3"});
  ExpectLog(w.ctl->logs[1], kOver44, {kId_, "13", "4"});
}

// ---- (0x40, 0x46) and (0x42, 0x46) ----

TEST(Rc40_46, ResultFollowsTheUserDefinedCount) {
  struct Case {
    unsigned char count;
    int len;
    int result;
  };
  const Case cases[] = {{2, 21, 29}, {2, 28, 29}, {2, 29, 29}, {2, 40, 29}, {0, 21, 21}, {0, 30, 21}, {255, 21, 1041}};
  for (const Case& c : cases) {
    SCOPED_TRACE("count " + std::to_string(c.count) + " len " + std::to_string(c.len));
    Wired<RC> w;
    Bytes r;
    for (unsigned char k = 0; k < 5; ++k) r = Cat({r, Value(static_cast<unsigned char>(0x10 * (k + 1)))});
    r.push_back(c.count);
    r.resize(static_cast<std::size_t>(c.len), 0x33);
    EXPECT_EQ(w.unit->parse40_46(r.data(), c.len), c.result);
    EXPECT_EQ(BytesOf(w.unit->Record().ac_param), Bytes(r.begin(), r.begin() + 20));
    EXPECT_TRUE(w.ctl->logs.empty());
  }
}

TEST(Rc40_46, EveryShortPayloadIsRefusedBeforeAnythingIsStored) {
  Bytes r;
  for (unsigned char k = 0; k < 5; ++k) r = Cat({r, Value(static_cast<unsigned char>(0x10 * (k + 1)))});
  r.push_back(0);
  ExpectEveryCutRefused<RC>(r, {{21, kOver40}}, Nothing<RC>,
                            [](RC& u, const unsigned char* p, int n) { return u.parse40_46(p, n); });
}

TEST(Rc42_46, UserDefinedParametersTakeWhatArrivedUpToTheirRoom) {
  struct Case {
    int len;
    int result;
    int copied;
  };
  const Case cases[] = {{29, 29, 20}, {35, 29, 20}, {20, 20, 11}, {9, 9, 0}, {10, 10, 1}};
  for (const Case& c : cases) {
    SCOPED_TRACE("len " + std::to_string(c.len));
    Wired<RC> w;
    // Earlier parameters, to see which bytes a short reply leaves in place.
    Bytes old = Cat({Value(0x01), Value(0x05), {5}});
    for (int k = 0; k < 20; ++k) old.push_back(static_cast<unsigned char>(0xC0 + k));
    ASSERT_EQ(w.unit->parse42_46(old.data(), 29), 29);
    Bytes r = Cat({Value(0x10), Value(0x20), {5}});
    for (int k = 0; k < 26; ++k) r.push_back(static_cast<unsigned char>(0x40 + k));
    EXPECT_EQ(w.unit->parse42_46(r.data(), c.len), c.result);
    const auto& rec = w.unit->Record();
    EXPECT_EQ(BytesOf(rec.dc_param), Cat({Value(0x10), Value(0x20)}));
    EXPECT_EQ(rec.dc_param_p, 5);
    Bytes want(r.begin() + 9, r.begin() + 9 + c.copied);
    want.insert(want.end(), old.begin() + 9 + c.copied, old.begin() + 29);
    EXPECT_EQ(BytesOf(rec.dc_param_user), want);
    EXPECT_TRUE(w.ctl->logs.empty());
  }
}

TEST(Rc42_46, UnexpectedCountIsLoggedAndStopsWithTheSkipLength) {
  Wired<RC> w;
  Bytes r = Cat({Value(0x10), Value(0x20), {4}});
  r.resize(29, 0x77);
  EXPECT_EQ(w.unit->parse42_46(r.data(), 29), 25);
  ASSERT_EQ(w.ctl->logs.size(), 1u);
  ExpectLog(w.ctl->logs[0], kP42, {kId_, "4", "5"});
  EXPECT_EQ(w.unit->Record().dc_param_p, 4);
  EXPECT_EQ(BytesOf(w.unit->Record().dc_param_user), Bytes(20, 0));
}

TEST(Rc42_46, EveryPayloadShorterThanTheFixedFieldsIsRefused) {
  Bytes r = Cat({Value(0x10), Value(0x20), {5}});
  ExpectEveryCutRefused<RC>(r, {{9, kOver42}}, Nothing<RC>,
                            [](RC& u, const unsigned char* p, int n) { return u.parse42_46(p, n); });
}

// ---- cache restore ----

namespace {

// A history image as a round end makes it: record, then `count` module records.
Bytes CacheImage(unsigned char count, int moduleBytes) {
  Bytes image(65);
  for (int k = 0; k < 65; ++k) image[static_cast<std::size_t>(k)] = static_cast<unsigned char>(k + 1);
  image[57] = count;
  for (int k = 0; k < moduleBytes; ++k) image.push_back(static_cast<unsigned char>(0x80 + k));
  return image;
}

struct Restore {
  int result;
  std::string trace;
};

Restore RestoreInto(RC& unit, const Bytes& image, int len) {
  std::unique_ptr<unsigned char[]> exact(new unsigned char[static_cast<std::size_t>(std::max(len, 0))]);
  std::copy(image.begin(), image.begin() + std::max(len, 0), exact.get());
  testing::internal::CaptureStdout();
  const int result = unit.LoadFromCache(exact.get(), len);
  return {result, testing::internal::GetCapturedStdout()};
}

}  // namespace

TEST(RcCache, FullImageRestoresRecordAndModulesAndMakesTheDataReady) {
  const FrozenClock clock;
  Wired<RC> w;
  const Bytes image = CacheImage(5, 70);
  const Restore r = RestoreInto(*w.unit, image, 135);
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.trace, "rc data_len:135 vs 65\nrc channelLen 14 and 5 left:70\n");
  EXPECT_EQ(Cat({BytesOf(w.unit->Record()), BytesOf(w.unit->Modules())}), image);
  EXPECT_TRUE(w.unit->dataReady_);
  EXPECT_EQ(w.unit->lastUpdate_, host_clock::LocalSecondClock());
  EXPECT_TRUE(w.ctl->logs.empty());
}

TEST(RcCache, RecordAloneWithoutModulesIsAccepted) {
  Wired<RC> w;
  const Restore r = RestoreInto(*w.unit, CacheImage(0, 0), 65);
  EXPECT_EQ(r.result, 1);
  EXPECT_EQ(r.trace, "rc data_len:65 vs 65\nrc channelLen 14 and 0 left:0\n");
  EXPECT_TRUE(w.unit->Modules().empty());
}

TEST(RcCache, MissingModuleBytesAreRefusedAndChangeNothing) {
  Wired<RC> w;
  GiveModules(*w.unit, 2);
  const Bytes record = BytesOf(w.unit->Record());
  const Bytes kept = BytesOf(w.unit->Modules());
  const Bytes image = CacheImage(3, 0);
  const Restore r = RestoreInto(*w.unit, image, 65);
  EXPECT_EQ(r.result, 0);
  EXPECT_EQ(r.trace, "rc data_len:65 vs 65\nrc channelLen 14 and 3 left:0\n");
  EXPECT_EQ(BytesOf(w.unit->Record()), record);
  EXPECT_EQ(BytesOf(w.unit->Modules()), kept);
  EXPECT_FALSE(w.unit->dataReady_);
}

TEST(RcCache, SurplusModulesAreDroppedOnRestore) {
  Wired<RC> w;
  GiveModules(*w.unit, 4);
  const Bytes image = CacheImage(2, 28);
  EXPECT_EQ(RestoreInto(*w.unit, image, 93).result, 1);
  EXPECT_EQ(w.unit->Modules().size(), 2u);
  EXPECT_EQ(Cat({BytesOf(w.unit->Record()), BytesOf(w.unit->Modules())}), image);
}

TEST(RcCache, EveryWrongLengthIsRefused) {
  const Bytes image = CacheImage(2, 28);
  for (int len = -1; len < 93; ++len) {
    SCOPED_TRACE("len " + std::to_string(len));
    Wired<RC> w;
    const Restore r = RestoreInto(*w.unit, image, len);
    EXPECT_EQ(r.result, 0);
    std::string trace = "rc data_len:" + std::to_string(len) + " vs 65\n";
    if (len >= 65) trace += "rc channelLen 14 and 2 left:" + std::to_string(len - 65) + "\n";
    EXPECT_EQ(r.trace, trace);
    EXPECT_FALSE(w.unit->dataReady_);
    if (len < 65) {
      EXPECT_EQ(BytesOf(w.unit->Record().ac_param), Bytes(20, 0));
    }
  }
  Wired<RC> w;
  Bytes longer = image;
  longer.push_back(0);
  EXPECT_EQ(RestoreInto(*w.unit, longer, 94).result, 0);
}

TEST(RcCache, StringFormTakesTheSameBytes) {
  Wired<RC> w;
  const Bytes image = CacheImage(1, 14);
  testing::internal::CaptureStdout();
  EXPECT_EQ(w.unit->LoadFromCache(std::string(image.begin(), image.end())), 1);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "rc data_len:79 vs 65\nrc channelLen 14 and 1 left:14\n");
  EXPECT_EQ(Cat({BytesOf(w.unit->Record()), BytesOf(w.unit->Modules())}), image);
}

TEST(RcCache, PublishedImageRestoresTheSameUnit) {
  Wired<RC> a;
  GiveModules(*a.unit, 3);
  const Bytes alarms = Reply41_44({{1, {0, 1, 0}}, {0, {1, 0, 1}}, {0, {0, 0, 0}}});
  ASSERT_EQ(a.unit->parse41_44(alarms.data(), 17), 17);
  a.unit->RoundDone();
  ASSERT_EQ(a.ctl->published.size(), 1u);
  const Bytes image = a.ctl->published[0].image;

  Wired<RC> b;
  EXPECT_EQ(RestoreInto(*b.unit, image, static_cast<int>(image.size())).result, 1);
  EXPECT_EQ(BytesOf(b.unit->Record()), BytesOf(a.unit->Record()));
  EXPECT_EQ(BytesOf(b.unit->Modules()), BytesOf(a.unit->Modules()));
}
