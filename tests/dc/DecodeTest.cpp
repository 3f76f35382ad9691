// DC unit decoders and cache restore, byte for byte: counts at and over their
// limits, no-value markers, log lines, the trace line, and blocks cut short.
#include <gtest/gtest.h>

#include <memory>

#include "tests/dc/DcFixture.h"

using namespace dctest;
using testing_support::LogCall;

namespace {

const char* const kDcM = "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_m is {}, MAX_M is {}";
const char* const kDcN = "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read dc_n is {}, MAX_N is {}";
const char* const kP = "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read p_count is {}, support user_p max is {}";
const char* const kOver41 = "PMBusPowerAC:ProcotolError {} read 42_41 read overflow {} - {}";
const char* const kP44 = "PMBusPowerDC<TeleDC, RT_DC>:ProcotolError {} read 42_44 p is {},  alert_p is {}";
const char* const kOver44 = "PMBusPowerAC:ProcotolError {} read 42_44 read overflow {} - {}";

using Log = std::pair<std::string, std::vector<std::string>>;
std::vector<Log> Logs(const DcUnit& u) {
  std::vector<Log> out;
  for (const LogCall& c : u.ctl->logs) {
    EXPECT_EQ(c.dataId, DcUnit::kId);
    out.emplace_back(c.format, c.args);
  }
  return out;
}

Bytes Slice(const unsigned char* p, std::size_t n) { return Bytes(p, p + n); }

// A record image with every byte 0xA5, so untouched fields show.
Bytes Filled() {
  Bytes b(177, 0xA5);
  return b;
}

// Runs a decoder on exactly `n` heap bytes, so that any read past them is caught.
int ParseCut(QPR2427K_DC& d, int (QPR2427K_DC::*parse)(const unsigned char*, int), const Bytes& b, int n) {
  std::unique_ptr<unsigned char[]> exact(new unsigned char[static_cast<std::size_t>(n)]);
  std::memcpy(exact.get(), b.data(), static_cast<std::size_t>(n));
  return (d.*parse)(exact.get(), n);
}

}  // namespace

TEST(DcRecord, StartsZeroAndCarriesDataIdLittleEndian) {
  QPR2427K_DC fresh;
  EXPECT_EQ(RecordBytes(fresh.Record()), Bytes(177, 0));
  EXPECT_EQ(fresh.DeviceType(), "qpr2427k-dc");
  EXPECT_EQ(fresh.ModelName(), "");
  DcUnit u("QPR-37KM");
  u.dev->InitV(u.parent.get(), 0x12345678, Json::Value());
  EXPECT_EQ(Slice(u.dev->Record().data_id, 4), (Bytes{0x78, 0x56, 0x34, 0x12}));
  EXPECT_EQ(u.dev->DataId(), 0x12345678u);
  EXPECT_EQ(u.dev->ModelName(), "QPR-37KM");
  EXPECT_EQ(u.dev->DeviceType(), "qpr2427k-dc");
}

TEST(DcDecode41, CountsAtAndOverTheirLimits) {
  struct Case {
    unsigned m, n, p;
    int result;  // -2: the size handed in
    std::vector<Log> logs;
  };
  const std::string id = std::to_string(DcUnit::kId);
  const Case cases[] = {
      {4, 9, 4, 11 + 4 * 17, {}},
      {0, 0, 0, 11, {}},
      {2, 0, 0, 19, {}},
      {5, 0, 0, 11 + 20, {{kDcM, {id, "5", "4"}}}},
      {255, 0, 0, 11 + 4 * 255, {{kDcM, {id, "255", "4"}}}},
      {1, 10, 2, 11 + 4 * 13, {{kDcN, {id, "10", "9"}}}},
      {5, 10, 0, 11 + 60, {{kDcM, {id, "5", "4"}}, {kDcN, {id, "10", "9"}}}},
      {1, 1, 5, -2, {{kP, {id, "5", "4"}}}},
      {0, 0, 200, -2, {{kP, {id, "200", "4"}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "m=" << c.m << " n=" << c.n << " p=" << c.p);
    DcUnit u;
    ASSERT_EQ(u.dev->LoadFromCache(Filled().data(), 177), 1);
    Bytes block = Block41(c.m, c.n, c.p, -1.5f, 2.0f);
    if (c.p > 4) block.resize(11 + 4 * (c.m + c.n));  // p over its limit: what follows is never read
    const Bytes rest(5, 0x11);
    const Bytes reply = block + rest;
    EXPECT_EQ(u.Parse41(reply), c.result == -2 ? static_cast<int>(reply.size()) : c.result);
    EXPECT_EQ(Logs(u), c.logs);
    const auto& r = u.dev->Record();
    EXPECT_EQ(Slice(r.v, 8), F(-1.5f) + F(2.0f));
    EXPECT_EQ(r.dc_m, c.m);
    EXPECT_EQ(r.dc_n, c.n);
    EXPECT_EQ(r.p_count, c.p);
    EXPECT_EQ(Slice(r.m_value[0], 4 * std::min(c.m, 4u)), c.m > 4 ? Bytes(4 * 4, 0xA5) : Values(c.m, 1));
    EXPECT_EQ(Slice(r.n_value[0], 4 * std::min(c.n, 9u)), c.n > 9 ? Bytes(4 * 9, 0xA5) : Values(c.n, 2));
    EXPECT_EQ(Slice(r.user_p[0], 4 * std::min(c.p, 4u)), c.p > 4 ? Bytes(4 * 4, 0xA5) : Values(c.p, 3));
    // Slots beyond the counts, and the other reply's fields, keep their bytes.
    const unsigned m = c.m > 4 ? 4 : c.m, n = c.n > 9 ? 9 : c.n, p = c.p > 4 ? 4 : c.p;
    const Bytes image = RecordBytes(r);
    auto from = [&](unsigned a, unsigned b) { return Bytes(image.begin() + a, image.begin() + b); };
    EXPECT_EQ(from(13 + 4 * m, 29), Bytes(16 - 4 * m, 0xA5));
    EXPECT_EQ(from(30 + 4 * n, 66), Bytes(36 - 4 * n, 0xA5));
    EXPECT_EQ(from(67 + 4 * p, 83), Bytes(16 - 4 * p, 0xA5));
    EXPECT_EQ(from(83, 177), Bytes(177 - 83, 0xA5));
  }
}

TEST(DcDecode41, NoValueMarkerBecomesMinusATenth) {
  const Bytes minusTenth{0xCD, 0xCC, 0xCC, 0xBD};
  const struct {
    Bytes wire, stored;
  } cases[] = {
      {{0x20, 0x20, 0x20, 0x20}, minusTenth},
      {{0xFF, 0xFF, 0xFF, 0xFF}, minusTenth},
      {{0x01, 0x01, 0x01, 0x01}, minusTenth},
      {{0x00, 0x00, 0x00, 0x00}, {0x00, 0x00, 0x00, 0x00}},
      {{0x20, 0x20, 0x20, 0x21}, {0x20, 0x20, 0x20, 0x21}},
      {{0x00, 0x20, 0x20, 0x20}, {0x00, 0x20, 0x20, 0x20}},
  };
  for (const auto& c : cases) {
    DcUnit u;
    const Bytes block = F(1) + F(2) + Bytes{0, 0, 2} + F(7.0f) + c.wire;
    EXPECT_EQ(u.Parse41(block), 19);
    EXPECT_EQ(Slice(u.dev->Record().user_p[0], 4), F(7.0f));
    EXPECT_EQ(Slice(u.dev->Record().user_p[1], 4), c.stored);
  }
  // The no-value marker applies to user-defined values only.
  DcUnit u;
  EXPECT_EQ(u.Parse41(Bytes{0x20, 0x20, 0x20, 0x20} + F(2) + Bytes{1, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0}), 15);
  EXPECT_EQ(Slice(u.dev->Record().v, 4), (Bytes{0x20, 0x20, 0x20, 0x20}));
  EXPECT_EQ(Slice(u.dev->Record().m_value[0], 4), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(DcDecode41, TraceLineShowsOnlyTheBytesThere) {
  const Bytes block = Bytes{0x01, 0x0A, 0xFF, 0x00} + F(2) + Bytes{0, 0, 0};
  const struct {
    int size;
    const char* line;
  } cases[] = {
      {static_cast<int>(block.size()), "parse 42 41: 1 a ff 0\n"},
      {4, "parse 42 41: 1 a ff 0\n"},
      {2, "parse 42 41: 1 a\n"},
      {1, "parse 42 41: 1\n"},
      {0, "parse 42 41:\n"},
      {-3, "parse 42 41:\n"},
  };
  for (const auto& c : cases) {
    DcUnit u;
    testing::internal::CaptureStdout();
    if (c.size >= 0) ParseCut(*u.dev, &QPR2427K_DC::parse42_41, block, c.size);
    else u.dev->parse42_41(block.data(), c.size);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.line) << c.size;
  }
}

TEST(DcDecode44, StatesCountsAndLimits) {
  struct Case {
    Bytes fuses, status;
    std::vector<Log> logs;
  };
  const std::string id = std::to_string(DcUnit::kId);
  Bytes fuses70(70);
  for (unsigned k = 0; k < 70; ++k) fuses70[k] = static_cast<unsigned char>(k + 1);
  Bytes status21(21);
  for (unsigned k = 0; k < 21; ++k) status21[k] = static_cast<unsigned char>(0x80 + k);
  const Case cases[] = {
      {Bytes(64, 3), Bytes(20, 0xF0), {}},
      {{}, {}, {}},
      {{3, 0, 3}, {1}, {}},
      {fuses70, {7, 8}, {}},  // over the fuse limit: kept to 64, nothing logged
      {{1}, status21, {{kP44, {id, "21", "20"}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "m=" << c.fuses.size() << " p=" << c.status.size());
    DcUnit u;
    ASSERT_EQ(u.dev->LoadFromCache(Filled().data(), 177), 1);
    const Bytes block = Block44(2, c.fuses, c.status);
    EXPECT_EQ(u.Parse44(block + Bytes{0xEE}), static_cast<int>(3 + c.fuses.size() + c.status.size()));
    EXPECT_EQ(Logs(u), c.logs);
    const auto& r = u.dev->Record();
    const std::size_t m = std::min<std::size_t>(c.fuses.size(), 64), p = std::min<std::size_t>(c.status.size(), 20);
    EXPECT_EQ(r.volt_state, 2);
    EXPECT_EQ(r.alert_m, c.fuses.size());
    EXPECT_EQ(r.alert_p, c.status.size());
    EXPECT_EQ(Slice(r.alert_m_state, 64), Bytes(c.fuses.begin(), c.fuses.begin() + m) + Bytes(64 - m, 0xA5));
    EXPECT_EQ(Slice(r.alert_p_state, 20), Bytes(c.status.begin(), c.status.begin() + p) + Bytes(20 - p, 0xA5));
    // The other reply's fields and the time stamp are untouched.
    EXPECT_EQ(Slice(r.v, 79), Bytes(79, 0xA5));
    EXPECT_EQ(Slice(r.ttime, 7), Bytes(7, 0xA5));
  }
}

// For every length short of a whole block: -1, the overflow line naming the
// end of the first field that does not fit and the size, the record untouched.
TEST(DcDecode, EveryCutShortOfTheBlockIsRefused) {
  struct Shape {
    const char* name;
    Bytes block;
    std::vector<int> ends;  // end offset of each field in block order
    int (QPR2427K_DC::*parse)(const unsigned char*, int);
    const char* overflow;
    int wholeResult;
  };
  auto ends41 = [](int m, int n, int p) {
    return std::vector<int>{4, 8, 9, 9 + 4 * m, 10 + 4 * m, 10 + 4 * m + 4 * n, 11 + 4 * m + 4 * n,
                            11 + 4 * (m + n + p)};
  };
  auto ends44 = [](int m, int p) { return std::vector<int>{1, 2, 2 + m, 3 + m, 3 + m + p}; };
  const Shape shapes[] = {
      {"41 m2 n1 p2", Block41(2, 1, 2), ends41(2, 1, 2), &QPR2427K_DC::parse42_41, kOver41, 31},
      {"41 m5 n0 p1", Block41(5, 0, 1), ends41(5, 0, 1), &QPR2427K_DC::parse42_41, kOver41, 35},
      {"44 m3 p2", Block44(1, {3, 3, 3}, {4, 5}), ends44(3, 2), &QPR2427K_DC::parse42_44, kOver44, 8},
      {"44 m64 p20", Block44(1, Bytes(64, 3), Bytes(20, 1)), ends44(64, 20), &QPR2427K_DC::parse42_44, kOver44, 87},
      {"44 m0 p22", Block44(1, {}, Bytes(22, 1)), ends44(0, 22), &QPR2427K_DC::parse42_44, kOver44, 25},
  };
  const std::string id = std::to_string(DcUnit::kId);
  for (const Shape& s : shapes) {
    const int whole = static_cast<int>(s.block.size());
    ASSERT_EQ(whole, s.ends.back()) << s.name;
    for (int cut = 0; cut < whole; ++cut) {
      SCOPED_TRACE(testing::Message() << s.name << " cut " << cut);
      DcUnit u;
      ASSERT_EQ(u.dev->LoadFromCache(Filled().data(), 177), 1);
      testing::internal::CaptureStdout();
      EXPECT_EQ(ParseCut(*u.dev, s.parse, s.block, cut), -1);
      testing::internal::GetCapturedStdout();
      int end = 0;
      for (int e : s.ends)
        if (e > cut) { end = e; break; }
      ASSERT_FALSE(u.ctl->logs.empty());
      EXPECT_EQ(Logs(u).back(), Log(s.overflow, {id, std::to_string(end), std::to_string(cut)}));
      EXPECT_EQ(RecordBytes(u.dev->Record()), Filled());
    }
    DcUnit u;
    testing::internal::CaptureStdout();
    EXPECT_EQ(ParseCut(*u.dev, s.parse, s.block, whole), s.wholeResult) << s.name;
    testing::internal::GetCapturedStdout();
  }
}

TEST(DcDecode, OverLimitCountsAreLoggedBeforeTheCutIsFound) {
  const std::string id = std::to_string(DcUnit::kId);
  DcUnit u;
  const Bytes b41 = Block41(6, 0, 0);
  EXPECT_EQ(u.dev->parse42_41(b41.data(), 12), -1);
  EXPECT_EQ(Logs(u), (std::vector<Log>{{kDcM, {id, "6", "4"}}, {kOver41, {id, "33", "12"}}}));
  u.ctl->Clear();
  const Bytes b44 = Block44(0, {}, Bytes(30, 1));
  EXPECT_EQ(u.dev->parse42_44(b44.data(), 10), -1);
  EXPECT_EQ(Logs(u), (std::vector<Log>{{kP44, {id, "30", "20"}}, {kOver44, {id, "33", "10"}}}));
  // A user-defined count over its limit ends decoding before the values are
  // needed, so a block ending right after that count is accepted whole.
  u.ctl->Clear();
  const Bytes cut41 = Block41(0, 0, 9);
  EXPECT_EQ(u.dev->parse42_41(cut41.data(), 11), 11);
  EXPECT_EQ(Logs(u), (std::vector<Log>{{kP, {id, "9", "4"}}}));
}

TEST(DcDecode, NegativeSizeIsNoBytes) {
  const std::string id = std::to_string(DcUnit::kId);
  DcUnit u;
  const Bytes b = Block41(0, 0, 0);
  EXPECT_EQ(u.dev->parse42_41(b.data(), -7), -1);
  EXPECT_EQ(u.dev->parse42_44(b.data(), -1), -1);
  EXPECT_EQ(Logs(u), (std::vector<Log>{{kOver41, {id, "4", "-7"}}, {kOver44, {id, "1", "-1"}}}));
  EXPECT_EQ(Slice(u.dev->Record().v, 173), Bytes(173, 0));
}

TEST(DcCache, OnlyAWholeRecordIsTaken) {
  Bytes image(178);
  for (std::size_t k = 0; k < image.size(); ++k) image[k] = static_cast<unsigned char>(k * 7 + 1);
  for (int length : {0, -1, 1, 176, 178}) {
    DcUnit u;
    EXPECT_EQ(u.dev->LoadFromCache(image.data(), length), 0) << length;
    EXPECT_FALSE(u.dev->dataReady_);
    EXPECT_EQ(u.dev->Record().dc_m, 0);
  }
  DcUnit u;
  EXPECT_EQ(u.dev->LoadFromCache(nullptr, 177), 0);
  const Bytes whole(image.begin(), image.begin() + 177);
  EXPECT_EQ(u.dev->LoadFromCache(std::string(whole.begin(), whole.end())), 1);
  EXPECT_EQ(RecordBytes(u.dev->Record()), whole);  // data id and time stamp included
  EXPECT_TRUE(u.dev->dataReady_);
  EXPECT_NO_THROW(u.dev->Get_Value(0, "v"));
  EXPECT_TRUE(u.ctl->logs.empty());
}
