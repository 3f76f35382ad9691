// DC unit settings and value access: "appSetting" in its accepted and refused
// forms, readiness, the 61-second age limit and the keys.
#include <gtest/gtest.h>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <stdexcept>

#include "tests/dc/DcFixture.h"
#include "tests/support/FrozenClock.h"

using namespace dctest;

namespace {

Json::Value Parse(const std::string& text) {
  Json::Value v;
  Json::CharReaderBuilder b;
  std::string errors;
  std::unique_ptr<Json::CharReader> r(b.newCharReader());
  EXPECT_TRUE(r->parse(text.data(), text.data() + text.size(), &v, &errors)) << text;
  return v;
}

// The text of the out_of_range a query throws, or "" when it answers.
std::string Refusal(const QPR2427K_DC& d, const std::string& key) {
  try {
    d.Get_Value(0, key);
    return "";
  } catch (const std::out_of_range& e) {
    return e.what();
  }
}

struct FrozenClock : testing::Test {
  const boost::posix_time::ptime t0{boost::gregorian::date(2031, 5, 6), boost::posix_time::hours(7)};
  testing_support::FrozenClock clock{t0};
};

}  // namespace

TEST(DcSettings, DiffValuesFromNumbersOrText) {
  const std::string id = std::to_string(DcUnit::kId);
  const std::string rejected = "PMBusPowerDC<TeleDC, RT_DC>:SettingError {} appSetting {} is not a number, setting kept";
  const struct {
    const char* config;
    float v, i;
    std::vector<std::vector<std::string>> logged;  // arguments of each refusal line
  } cases[] = {
      {R"({})", 0.1f, 20.0f, {}},
      {R"({"appSetting": {"diff_v": "0.5"}})", 0.5f, 20.0f, {}},
      {R"({"appSetting": {"diff_v": 0.5, "diff_i": 7}})", 0.5f, 7.0f, {}},
      {R"({"appSetting": {"diff_i": "  12.5e1"}})", 0.1f, 125.0f, {}},
      {R"({"appSetting": {"diff_v": "abc", "diff_i": true}})", 0.0f, 0.0f, {}},
      {R"({"appSetting": {"diff_v": null}})", 0.1f, 20.0f, {}},
      {R"({"appSetting": null})", 0.1f, 20.0f, {}},
      {R"({"appSetting": [0.5, 7]})", 0.1f, 20.0f, {}},
      {R"({"appSetting": "diff_v"})", 0.1f, 20.0f, {}},
      {R"([{"appSetting": {"diff_v": 1}}])", 0.1f, 20.0f, {}},
      {R"({"appSetting": {"diff_v": [1], "diff_i": "3"}})", 0.1f, 3.0f, {{id, "diff_v"}}},
      {R"({"appSetting": {"diff_v": 2, "diff_i": {"x": 1}}})", 2.0f, 20.0f, {{id, "diff_i"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.config);
    DcUnit u;
    const Json::Value config = Parse(c.config);
    bool result = false;
    ASSERT_NO_THROW(result = u.dev->InitV(u.parent.get(), DcUnit::kId, config));
    EXPECT_TRUE(result);
    EXPECT_FLOAT_EQ(u.dev->DiffV(), c.v);
    EXPECT_FLOAT_EQ(u.dev->DiffI(), c.i);
    std::vector<std::vector<std::string>> logged;
    for (const auto& l : u.ctl->logs) {
      EXPECT_EQ(l.format, rejected);
      logged.push_back(l.args);
    }
    EXPECT_EQ(logged, c.logged);
  }
}

TEST(DcValues, NothingAnswersBeforeTheFirstRound) {
  DcUnit u;
  for (const char* key : {"v", "i", "x", ""}) EXPECT_EQ(Refusal(*u.dev, key), "数据未就绪") << key;
}

TEST_F(FrozenClock, ValuesAnswerFor60SecondsAfterTheRound) {
  DcUnit u;
  u.Parse41(Block41(0, 0, 0, 53.5f, -4.75f));
  u.dev->RoundDone();
  EXPECT_EQ(u.dev->lastUpdate_, t0);
  EXPECT_EQ(u.dev->Get_Value(9, "v"), 53.5f);
  EXPECT_EQ(u.dev->Get_Value(0, "i"), -4.75f);
  for (const char* key : {"V", "", "I", "v ", "vi"}) EXPECT_EQ(Refusal(*u.dev, key), "数据未就绪") << key;
  host_clock::Advance(60);
  EXPECT_EQ(u.dev->Get_Value(0, "v"), 53.5f);
  host_clock::Advance(1);
  // The age test comes before the key test.
  for (const char* key : {"v", "i", "zz"}) EXPECT_EQ(Refusal(*u.dev, key), "数据已超时") << key;
  // A clock that went back counts as fresh; the next round refreshes.
  host_clock::Advance(-3600);
  EXPECT_EQ(u.dev->Get_Value(0, "v"), 53.5f);
  host_clock::Advance(3600 + 100);
  EXPECT_EQ(Refusal(*u.dev, "v"), "数据已超时");
  u.dev->RoundDone();
  EXPECT_EQ(u.dev->Get_Value(0, "i"), -4.75f);
}

TEST_F(FrozenClock, CacheRestoreCountsAsARound) {
  QPR2427K_DC source;
  const Bytes b41 = Block41(0, 0, 0, 230.0f, 1.5f);
  source.parse42_41(b41.data(), static_cast<int>(b41.size()));
  DcUnit u;
  ASSERT_EQ(u.dev->LoadFromCache(RecordBytes(source.Record()).data(), 177), 1);
  EXPECT_EQ(u.dev->Get_Value(0, "v"), 230.0f);
  EXPECT_EQ(u.dev->Get_Value(0, "i"), 1.5f);
  host_clock::Advance(60);
  EXPECT_EQ(u.dev->Get_Value(0, "i"), 1.5f);
  host_clock::Advance(1);
  EXPECT_EQ(Refusal(*u.dev, "i"), "数据已超时");
}
