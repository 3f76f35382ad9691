// AC reply decoders and cache restore, byte for byte against the record layouts.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <sstream>

#include "tests/ac/AcTestSupport.h"

namespace ac_test {
namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

const char* const kOverflow41 = "PMBusPowerAC:ProcotolError {} read 40_41 read overflow {} - {}";
const char* const kOverflow43 = "PMBusPowerAC:ProcotolError {} read 40_43 read overflow {} - {}";
const char* const kOverflow44 = "PMBusPowerAC:ProcotolError {} read 40_44 read overflow {} - {}";

const Bytes kMinusTenth{0xCD, 0xCC, 0xCC, 0xBD};
const Bytes kZero{0, 0, 0, 0};

void ExpectLog(const testing_support::LogCall& log, const char* format,
               const std::vector<std::string>& args) {
  EXPECT_EQ(log.format, format);
  EXPECT_EQ(log.args, args);
  EXPECT_EQ(log.dataId, kUnitId);
}

Bytes RecordBytes(const QPR2427K_AC& u) {
  return FieldBytes(reinterpret_cast<const unsigned char*>(&u.Record()), sizeof(tele_c_qpr2427k_ac));
}
Bytes ChannelBytes(const QPR2427K_AC& u) {
  return FieldBytes(reinterpret_cast<const unsigned char*>(u.Channels().data()),
                    u.Channels().size() * sizeof(tele_c_qpr2427k_ac_channel));
}

TEST(AcRecord, TemplateConstantsAndFreshUnit) {
  EXPECT_EQ(tele_c_qpr2427k_ac::AIRLOCK_MAX(), 8);
  EXPECT_EQ(tele_c_qpr2427k_ac::P40_43_SIZE(), 3);
  EXPECT_EQ(tele_c_qpr2427k_ac_channel::P40_41_SIZE(), 0);
  EXPECT_EQ(tele_c_qpr2427k_ac_channel::p40_44_SIZE(), 1);
  // A wider instantiation keeps the layout formula: 16+1+4C+4+1+D and 4+12+1+1+A+1+B+3+7.
  EXPECT_EQ(sizeof(tele_c_pmbuspower_ac_channel<2, 3>), 16u + 1 + 8 + 4 + 1 + 3);
  EXPECT_EQ(sizeof(tele_c_pmbuspower_ac<4, 1>), 4u + 12 + 1 + 1 + 4 + 1 + 1 + 3 + 7);

  QPR2427K_AC u;
  EXPECT_EQ(u.DeviceType(), "qpr2427k-ac");
  EXPECT_EQ(RecordBytes(u), Bytes(40, 0));
  EXPECT_TRUE(u.Channels().empty());
  EXPECT_EQ(u.DiffV(), 20.0f);
  EXPECT_EQ(u.DiffI(), 20.0f);
  EXPECT_FALSE(u.HistoryImage().data);
  EXPECT_FALSE(u.dataReady_);
}

TEST_F(AcUnitTest, InitVStoresTheIdLittleEndian) {
  QPR2427K_AC u;
  EXPECT_TRUE(u.InitV(parent.get(), 0x01020304u, Json::Value()));
  EXPECT_EQ(FieldBytes(u.Record().data_id, 4), (Bytes{4, 3, 2, 1}));
  EXPECT_EQ(u.DataId(), 0x01020304u);
}

TEST_F(AcUnitTest, FirstAnalogSectionFixesTheChannelCount) {
  const Bytes s = Section41({{220.5f, 221.0f, 219.8f, 50.0f}, {1.5f, 0.0f, -3.25f, 49.9f}},
                            10.5f, 11.0f, 12.25f);
  ASSERT_EQ(s.size(), 47u);
  CaptureStdout();
  EXPECT_EQ(Parse41(s), 47);
  EXPECT_EQ(GetCapturedStdout(), "a:220.5 b:221 c:219.8 f:50\na:1.5 b:0 c:-3.25 f:49.9\n");
  EXPECT_TRUE(ctl->logs.empty());
  EXPECT_EQ(unit->Record().channel_count, 2);
  ASSERT_EQ(unit->Channels().size(), 2u);
  // Channel records hold the wire bytes as received.
  const auto& c0 = unit->Channels()[0];
  EXPECT_EQ(Slice(c0, offsetof(Chan, a), 16), Bytes(s.begin() + 1, s.begin() + 17));
  EXPECT_EQ(c0.p41, 0);
  EXPECT_EQ(Slice(unit->Channels()[1], offsetof(Chan, a), 16), Bytes(s.begin() + 18, s.begin() + 34));
  EXPECT_EQ(Slice(unit->Record(), offsetof(Rec, ia), 12), Bytes(s.begin() + 35, s.end()));

  // Another count is refused silently and changes nothing.
  const Bytes before = RecordBytes(*unit), channels = ChannelBytes(*unit);
  const Bytes three = Section41({{1, 1, 1, 1}, {2, 2, 2, 2}, {3, 3, 3, 3}}, 4, 5, 6);
  CaptureStdout();
  EXPECT_EQ(Parse41(three), -1);
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_TRUE(ctl->logs.empty());
  EXPECT_EQ(RecordBytes(*unit), before);
  EXPECT_EQ(ChannelBytes(*unit), channels);

  // The same count is decoded again, in place.
  CaptureStdout();
  EXPECT_EQ(Parse41(Section41({{1, 2, 3, 4}, {5, 6, 7, 8}}, 9, 10, 11)), 47);
  GetCapturedStdout();
  EXPECT_EQ(FieldBytes(unit->Channels()[1].f, 4), FloatBytes(8));
}

TEST_F(AcUnitTest, TraceLinesUseTheStreamsDefaultFloatFormat) {
  // Magnitudes where the shortest form switches to exponents, rounding at six
  // digits, signed zero and the non-finite values.
  const std::vector<Analog> values = {
      {123456.0f, 1234567.0f, 0.0001f, 0.00001f},
      {1.0f / 3.0f, 999999.5f, -0.0f, 3.4e38f},
      {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
       -std::numeric_limits<float>::infinity(), std::numeric_limits<float>::denorm_min()},
  };
  std::ostringstream want;
  for (const Analog& v : values) want << "a:" << v.a << " b:" << v.b << " c:" << v.c << " f:" << v.f << '\n';
  CaptureStdout();
  EXPECT_EQ(Parse41(Section41(values, 1, 2, 3)), static_cast<int>(1 + 3 * 17 + 12));
  EXPECT_EQ(GetCapturedStdout(), want.str());
}

TEST_F(AcUnitTest, NoValueMarkersAreReplacedPerField) {
  struct Case {
    std::uint32_t wire;   // the four bytes sent, little-endian
    Bytes channelValue;   // stored in a channel voltage
    Bytes currentValue;   // stored in ia
  };
  const Case cases[] = {
      {0x11111111u, kZero, kMinusTenth},
      {0xFFFFFFFFu, kZero, kMinusTenth},
      {0x00000000u, kZero, kZero},                              // ordinary 0.0
      {0x11111112u, {0x12, 0x11, 0x11, 0x11}, {0x12, 0x11, 0x11, 0x11}},  // not all equal
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.wire);
    QPR2427K_AC u;
    Bytes s{1};
    PutU32(s, c.wire), PutFloat(s, 2), PutFloat(s, 3), PutFloat(s, 4);
    s.push_back(0);
    PutU32(s, c.wire), PutFloat(s, 6), PutFloat(s, 7);
    CaptureStdout();
    EXPECT_EQ(u.parse40_41(s.data(), static_cast<int>(s.size())), 30);
    GetCapturedStdout();
    EXPECT_EQ(FieldBytes(u.Channels()[0].a, 4), c.channelValue);
    EXPECT_EQ(FieldBytes(u.Record().ia, 4), c.currentValue);
    EXPECT_EQ(FieldBytes(u.Record().ib, 4), FloatBytes(6));
  }
}

TEST_F(AcUnitTest, UnexpectedUserCountIsLoggedAndSkipped) {
  const Bytes s = Section41({{1, 2, 3, 4, 2}, {5, 6, 7, 8}}, 9, 10, 11);
  ASSERT_EQ(s.size(), 55u);
  CaptureStdout();
  EXPECT_EQ(Parse41(s), 55);
  GetCapturedStdout();
  ASSERT_EQ(ctl->logs.size(), 1u);
  ExpectLog(ctl->logs[0], "PMBusPowerAC:ProcotolError {} read 40_41 p is {} not {}", {Id(), "2", "0"});
  EXPECT_EQ(unit->Channels()[0].p41, 2);
  EXPECT_EQ(FieldBytes(unit->Channels()[1].a, 4), FloatBytes(5));  // starts 8 bytes later
  EXPECT_EQ(FieldBytes(unit->Record().ic, 4), FloatBytes(11));
}

// The end offsets of the fields of a layout, in order; a section cut at `len`
// must report the first end beyond `len`.
int FirstEndBeyond(const std::vector<int>& ends, int len) {
  for (int e : ends)
    if (e > len) return e;
  return -1;
}

std::vector<int> Ends41(int channels) {
  std::vector<int> ends{1};
  int at = 1;
  for (int k = 0; k < channels; ++k) {
    for (int v = 0; v < 4; ++v) ends.push_back(at += 4);
    ends.push_back(at += 1);
  }
  for (int v = 0; v < 3; ++v) ends.push_back(at += 4);
  return ends;
}

TEST_F(AcUnitTest, AnalogSectionCutAtEveryLength) {
  const Bytes s = Section41({{1, 2, 3, 4}, {5, 6, 7, 8}}, 9, 10, 11);
  const std::vector<int> ends = Ends41(2);
  ASSERT_EQ(ends.back(), static_cast<int>(s.size()));
  for (int len = 0; len < static_cast<int>(s.size()); ++len) {
    SCOPED_TRACE(len);
    auto u = std::make_shared<QPR2427K_AC>();
    u->InitV(parent.get(), kUnitId, Json::Value());
    ctl->Clear();
    CaptureStdout();
    EXPECT_EQ(Feed([&](const unsigned char* p, int n) { return u->parse40_41(p, n); }, s, len), -1);
    const std::string trace = GetCapturedStdout();
    ASSERT_EQ(ctl->logs.size(), 1u);
    ExpectLog(ctl->logs[0], kOverflow41,
              {Id(), std::to_string(FirstEndBeyond(ends, len)), std::to_string(len)});
    // Fields are stored as far as they fit, and no further.
    const float values[] = {1, 2, 3, 4, 5, 6, 7, 8};
    for (int v = 0; v < 8 && len >= 1; ++v) {
      const int end = 1 + (v / 4) * 17 + (v % 4 + 1) * 4;
      const auto& ch = u->Channels()[v / 4];
      const unsigned char* const fields[] = {ch.a, ch.b, ch.c, ch.f};
      const unsigned char* field = fields[v % 4];
      EXPECT_EQ(FieldBytes(field, 4), end <= len ? FloatBytes(values[v]) : kZero) << v;
    }
    EXPECT_EQ(FieldBytes(u->Record().ia, 4), len >= 39 ? FloatBytes(9) : kZero);
    EXPECT_EQ(FieldBytes(u->Record().ic, 4), kZero);
    // A trace line only for a channel whose four values arrived.
    const long lines = std::count(trace.begin(), trace.end(), '\n');
    EXPECT_EQ(lines, (len >= 17) + (len >= 34));
  }
  // A negative length is no bytes at all; the given length is reported.
  ctl->Clear();
  EXPECT_EQ(unit->parse40_41(s.data(), -5), -1);
  ASSERT_EQ(ctl->logs.size(), 1u);
  ExpectLog(ctl->logs[0], kOverflow41, {Id(), "1", "-5"});
  EXPECT_TRUE(unit->Channels().empty());
}

TEST_F(AcUnitTest, SkippedUserValuesReachingPastTheEndOverflow) {
  // p41 = 200 skips 800 bytes: the next field lies far beyond the section.
  Bytes s{1};
  PutFloat(s, 1), PutFloat(s, 2), PutFloat(s, 3), PutFloat(s, 4);
  s.push_back(200);
  PutFloat(s, 9), PutFloat(s, 10), PutFloat(s, 11);
  CaptureStdout();
  EXPECT_EQ(Parse41(s), -1);
  GetCapturedStdout();
  ASSERT_EQ(ctl->logs.size(), 2u);
  ExpectLog(ctl->logs[0], "PMBusPowerAC:ProcotolError {} read 40_41 p is {} not {}", {Id(), "200", "0"});
  ExpectLog(ctl->logs[1], kOverflow41, {Id(), std::to_string(18 + 800 + 4), std::to_string(s.size())});
  EXPECT_EQ(FieldBytes(unit->Record().ia, 4), kZero);
}

TEST_F(AcUnitTest, SwitchStatusSections) {
  // m = 4 first, so a later shorter section shows which airlock bytes it keeps.
  EXPECT_EQ(Parse43(Section43({1, 2, 3, 4}, {7, 8, 9})), 9);
  EXPECT_EQ(Parse43(Section43({0xA1, 0xA2}, {0xB1, 0xB2, 0xB3})), 7);
  const auto& r = unit->Record();
  EXPECT_EQ(r.airlock_count, 2);
  EXPECT_EQ(FieldBytes(r.airlock, 8), (Bytes{0xA1, 0xA2, 3, 4, 0, 0, 0, 0}));
  EXPECT_EQ(r.p43, 3);
  EXPECT_EQ(FieldBytes(r.user43, 3), (Bytes{0xB1, 0xB2, 0xB3}));
  EXPECT_TRUE(ctl->logs.empty());

  // m = 9: refused after storing the count; airlock keeps its bytes.
  Bytes nine{9};
  for (int k = 0; k < 9; ++k) nine.push_back(0xCC);
  nine.insert(nine.end(), {3, 0, 0, 0});
  EXPECT_EQ(Parse43(nine), -1);
  ASSERT_EQ(ctl->logs.size(), 1u);
  ExpectLog(ctl->logs[0], "ProcotolError %u read 40_43 m is %d max %d", {Id(), "9", "8"});
  EXPECT_EQ(r.airlock_count, 9);
  EXPECT_EQ(FieldBytes(r.airlock, 8), (Bytes{0xA1, 0xA2, 3, 4, 0, 0, 0, 0}));

  // p = 2: logged, skipped, and the result is not held to the length.
  ctl->Clear();
  const Bytes p2{2, 0x11, 0x22, 2};  // the two user bytes never arrive
  EXPECT_EQ(Parse43(p2), 1 + 2 + 1 + 2);
  ASSERT_EQ(ctl->logs.size(), 1u);
  ExpectLog(ctl->logs[0], "PMBusPowerAC:ProcotolError P{} read 40_43 p is {} not {}", {Id(), "2", "3"});
  EXPECT_EQ(r.p43, 2);
  EXPECT_EQ(FieldBytes(r.user43, 3), (Bytes{0xB1, 0xB2, 0xB3}));
  EXPECT_EQ(FieldBytes(r.airlock, 2), (Bytes{0x11, 0x22}));
}

TEST_F(AcUnitTest, SwitchStatusSectionCutAtEveryLength) {
  for (int m : {0, 3, 8}) {
    Bytes airlock;
    for (int k = 0; k < m; ++k) airlock.push_back(static_cast<unsigned char>(0x40 + k));
    const Bytes s = Section43(airlock, {1, 2, 3});
    const std::vector<int> ends{1, 1 + m, 2 + m, 5 + m};
    for (int len = 0; len < static_cast<int>(s.size()); ++len) {
      SCOPED_TRACE(testing::Message() << "m " << m << " len " << len);
      QPR2427K_AC u;
      u.InitV(parent.get(), kUnitId, Json::Value());
      ctl->Clear();
      EXPECT_EQ(Feed([&](const unsigned char* p, int n) { return u.parse40_43(p, n); }, s, len), -1);
      ASSERT_EQ(ctl->logs.size(), 1u);
      int expectEnd = FirstEndBeyond(ends, len);
      ExpectLog(ctl->logs[0], kOverflow43, {Id(), std::to_string(expectEnd), std::to_string(len)});
      EXPECT_EQ(FieldBytes(u.Record().user43, 3), Bytes(3, 0));
      EXPECT_EQ(u.Record().airlock[0], (m > 0 && len >= 1 + m) ? 0x40 : 0);
    }
  }
}

TEST_F(AcUnitTest, AlarmStatusWithoutChannelsTakesFourBytes) {
  EXPECT_EQ(Parse44({0x99, 1, 2, 3, 0x55}), 4);
  EXPECT_EQ(unit->Record().ia_alert, 1);
  EXPECT_EQ(unit->Record().ib_alert, 2);
  EXPECT_EQ(unit->Record().ic_alert, 3);
  EXPECT_TRUE(ctl->logs.empty());
}

TEST_F(AcUnitTest, AlarmStatusPerChannel) {
  CaptureStdout();
  ASSERT_EQ(Parse41(Section41({{1, 1, 1, 1}, {2, 2, 2, 2}}, 0, 0, 0)), 47);
  GetCapturedStdout();
  const Bytes s = Section44({{1, 2, 3, 4, 0, 1, 0x61}, {5, 6, 7, 8, 0, 1, 0x62}}, 9, 10, 11);
  ASSERT_EQ(s.size(), 18u);
  EXPECT_EQ(Parse44(s), 18);
  const auto& c0 = unit->Channels()[0];
  const auto& c1 = unit->Channels()[1];
  EXPECT_EQ(Slice(c0, offsetof(Chan, a_alert), 6), (Bytes{1, 2, 3, 4, 1, 0x61}));
  EXPECT_EQ(Slice(c1, offsetof(Chan, a_alert), 6), (Bytes{5, 6, 7, 8, 1, 0x62}));
  EXPECT_EQ(Slice(unit->Record(), offsetof(Rec, ia_alert), 3), (Bytes{9, 10, 11}));
  EXPECT_TRUE(ctl->logs.empty());

  // n = 2 on channel 1: logged, two bytes skipped before p44. p44 = 2 on
  // channel 2: logged, skipped, user44 keeps its byte.
  const Bytes odd = Section44({{0, 0, 0, 1, 2, 1, 0x71}, {0, 2, 0, 0, 0, 2, 0x72}}, 3, 2, 1);
  EXPECT_EQ(Parse44(odd), static_cast<int>(odd.size()));
  ASSERT_EQ(ctl->logs.size(), 2u);
  ExpectLog(ctl->logs[0], "PMBusPowerAC:ProcotolError {} read 40_44 m is {}", {Id(), "2"});
  ExpectLog(ctl->logs[1], "PMBusPowerAC:ProcotolError {} read 40_44 p is {} not {}", {Id(), "2", "1"});
  EXPECT_EQ(c0.user44[0], 0x71);
  EXPECT_EQ(c0.f_alert, 1);
  EXPECT_EQ(c1.p44, 2);
  EXPECT_EQ(c1.user44[0], 0x62);
  EXPECT_EQ(c1.b_alert, 2);
  EXPECT_EQ(Slice(unit->Record(), offsetof(Rec, ia_alert), 3), (Bytes{3, 2, 1}));
}

TEST_F(AcUnitTest, AlarmStatusSectionCutAtEveryLength) {
  CaptureStdout();
  ASSERT_EQ(Parse41(Section41({{1, 1, 1, 1}, {2, 2, 2, 2}}, 0, 0, 0)), 47);
  GetCapturedStdout();
  const Bytes s = Section44({{1, 2, 3, 4, 0, 1, 5}, {6, 7, 8, 9, 0, 1, 10}}, 11, 12, 13);
  std::vector<int> ends;
  for (int e = 2; e <= 18; ++e) ends.push_back(e);  // byte 0 is no field; every later byte is one
  for (int len = 0; len < static_cast<int>(s.size()); ++len) {
    SCOPED_TRACE(len);
    // Reset the status bytes so each cut shows what it stored.
    const Bytes zeros = Section44({{0, 0, 0, 0, 0, 1, 0}, {0, 0, 0, 0, 0, 1, 0}}, 0, 0, 0);
    ASSERT_EQ(Parse44(zeros), 18);
    ctl->Clear();
    EXPECT_EQ(Feed([&](const unsigned char* p, int n) { return unit->parse40_44(p, n); }, s, len), -1);
    ASSERT_EQ(ctl->logs.size(), 1u);
    ExpectLog(ctl->logs[0], kOverflow44,
              {Id(), std::to_string(FirstEndBeyond(ends, len)), std::to_string(len)});
    // Byte k of the section lands in its field only when k < len.
    const auto& c0 = unit->Channels()[0];
    const auto& c1 = unit->Channels()[1];
    EXPECT_EQ(c0.a_alert, len > 1 ? 1 : 0);
    EXPECT_EQ(c0.user44[0], len > 7 ? 5 : 0);
    EXPECT_EQ(c1.a_alert, len > 8 ? 6 : 0);
    EXPECT_EQ(c1.f_alert, len > 11 ? 9 : 0);
    EXPECT_EQ(unit->Record().ib_alert, len > 16 ? 12 : 0);
  }
}

Bytes CacheImage(unsigned char count, std::size_t channels) {
  Bytes image(40 + 23 * channels);
  for (std::size_t k = 0; k < image.size(); ++k) image[k] = static_cast<unsigned char>(k * 7 + 3);
  image[16] = count;
  return image;
}

TEST_F(AcUnitTest, LoadFromCache) {
  // Too short: nothing changes.
  const Bytes before = RecordBytes(*unit);
  for (int len : {-1, 0, 39, 40}) {
    const Bytes image = CacheImage(1, 1);
    EXPECT_EQ(unit->LoadFromCache(image.data(), len), 0) << len;
  }
  EXPECT_EQ(RecordBytes(*unit), before);
  EXPECT_TRUE(unit->Channels().empty());
  EXPECT_FALSE(unit->dataReady_);

  // 63 bytes with one channel: restored in full.
  host_clock::Advance(5);
  const Bytes one = CacheImage(1, 1);
  EXPECT_EQ(unit->LoadFromCache(one.data(), static_cast<int>(one.size())), 1);
  EXPECT_EQ(RecordBytes(*unit), Bytes(one.begin(), one.begin() + 40));
  EXPECT_EQ(ChannelBytes(*unit), Bytes(one.begin() + 40, one.end()));
  EXPECT_TRUE(unit->dataReady_);
  EXPECT_EQ(unit->lastUpdate_, T0() + boost::posix_time::seconds(5));

  // 63 bytes that claim two channels: refused, and the record and the one
  // channel stay those of the image taken before.
  Bytes two = CacheImage(2, 1);
  for (auto& b : two) b ^= 0x5A;
  two[16] = 2;
  host_clock::Advance(5);
  EXPECT_EQ(unit->LoadFromCache(two.data(), static_cast<int>(two.size())), 0);
  EXPECT_EQ(RecordBytes(*unit), Bytes(one.begin(), one.begin() + 40));
  EXPECT_EQ(ChannelBytes(*unit), Bytes(one.begin() + 40, one.end()));
  EXPECT_EQ(unit->lastUpdate_, T0() + boost::posix_time::seconds(5));  // not refreshed

  // The text form passes the same bytes; three channels grow the list.
  const Bytes three = CacheImage(3, 3);
  EXPECT_EQ(unit->LoadFromCache(std::string(three.begin(), three.end())), 1);
  EXPECT_EQ(ChannelBytes(*unit), Bytes(three.begin() + 40, three.end()));
  // Back to zero channels: 40 bytes alone are refused, so the list keeps three.
  EXPECT_EQ(unit->LoadFromCache(CacheImage(0, 0).data(), 40), 0);
  EXPECT_EQ(unit->Channels().size(), 3u);
}

}  // namespace
}  // namespace ac_test
