// AC value access (readiness, age, every key and error text) and configuration.
#include <gtest/gtest.h>

#include <limits>
#include <sstream>
#include <stdexcept>

#include "tests/ac/AcTestSupport.h"

namespace ac_test {
namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// The text of the out_of_range a query throws, or "" when it answers.
std::string ErrorOf(const QPR2427K_AC& u, const std::string& key) {
  try {
    u.Get_Value(0, key);
  } catch (const std::out_of_range& e) {
    return e.what();
  }
  return "";
}

class AcValues : public AcUnitTest {
 protected:
  // Two channels with distinct values, current status bytes 2, 0, 3.
  void Decode() {
    CaptureStdout();
    ASSERT_EQ(Parse41(Section41({{220.5f, 221.0f, 219.8f, 50.0f}, {110.0f, 111.0f, 112.0f, 60.0f}},
                                10.5f, 11.5f, 12.5f)),
              47);
    GetCapturedStdout();
    ASSERT_EQ(Parse44(Section44({{0, 0, 0, 0}, {0, 0, 0, 0}}, 2, 0, 3)), 18);
  }
};

TEST_F(AcValues, NothingAnswersBeforeTheFirstRoundOrRestore) {
  Decode();  // decoding alone does not make the data ready
  for (const char* key : {"ia", "ib_alert", "channel_0_a", "voltage", ""})
    EXPECT_EQ(ErrorOf(*unit, key), "数据未就绪") << key;
}

TEST_F(AcValues, ValuesAnswerForSixtySeconds) {
  Decode();
  unit->RoundDone();
  host_clock::Advance(60);
  EXPECT_EQ(unit->Get_Value(0, "ia"), 10.5f);
  host_clock::Advance(1);
  EXPECT_EQ(ErrorOf(*unit, "ia"), "数据已超时");
  EXPECT_EQ(ErrorOf(*unit, "voltage"), "数据已超时");  // age before key
  EXPECT_EQ(ErrorOf(*unit, "channel_9_a"), "数据已超时");

  // A clock set back gives a negative age, which passes.
  host_clock::Advance(-3600);
  EXPECT_EQ(unit->Get_Value(7, "ib"), 11.5f);

  // A restore counts as a round for the age.
  host_clock::Advance(3600 + 1000);
  EXPECT_EQ(ErrorOf(*unit, "ia"), "数据已超时");
  const units::HistoryImage& image = unit->HistoryImage();
  ASSERT_EQ(unit->LoadFromCache(image.data.get(), static_cast<int>(image.length)), 1);
  EXPECT_EQ(unit->Get_Value(0, "ic"), 12.5f);
}

TEST_F(AcValues, EveryKey) {
  Decode();
  unit->RoundDone();
  struct Case {
    const char* key;
    float value;        // when error is ""
    const char* error;  // the text thrown, or ""
  };
  const Case cases[] = {
      {"ia", 10.5f, ""},
      {"ib", 11.5f, ""},
      {"ic", 12.5f, ""},
      {"ia_alert", 2.0f, ""},
      {"ib_alert", 0.0f, ""},
      {"ic_alert", 3.0f, ""},
      {"channel_0_a", 220.5f, ""},
      {"channel_0_b", 221.0f, ""},
      {"channel_0_c", 219.8f, ""},
      {"channel_0_f", 50.0f, ""},
      {"channel_1_a", 110.0f, ""},
      {"channel_1_c", 112.0f, ""},
      {"channel_1_f", 60.0f, ""},
      {"channel_0_freq", 50.0f, ""},             // one character after the '_'
      {"channel_0_abc", 220.5f, ""},
      {"xx.channel_1_b", 111.0f, ""},            // searched, not matched whole
      {"channel_x_channel_01_b", 111.0f, ""},    // leftmost match; leading zero
      {"channel_2_a", 0, "通道参数越界"},
      {"channel_2147483647_a", 0, "通道参数越界"},
      {"channel_99999999999999999999_a", 0, "通道参数越界"},  // saturates, never wraps
      {"channel_4294967296_a", 0, "通道参数越界"},  // would wrap to 0 in 32 bits
      {"channel_0_x", 0, "数据未提供"},
      {"channel_0_ia", 0, "数据未提供"},
      {"channel_0_A", 0, "数据未提供"},
      {"channel_-1_a", 0, "数据未提供"},
      {"channel__a", 0, "数据未提供"},
      {"channel_0_", 0, "数据未提供"},
      {"channel_0_\n", 0, "数据未提供"},
      {"voltage", 0, "数据未提供"},
      {"IA", 0, "数据未提供"},
      {"ia ", 0, "数据未提供"},
      {"", 0, "数据未提供"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(ErrorOf(*unit, c.key), c.error);
    if (*c.error == '\0') {
      EXPECT_EQ(unit->Get_Value(0, c.key), c.value);
    }
  }
  // A key that holds a NUL is not "ia".
  EXPECT_EQ(ErrorOf(*unit, std::string("ia\0", 3)), "数据未提供");
}

TEST_F(AcValues, NoValueMarkersAnswerTheirReplacements) {
  Bytes s{1};
  PutU32(s, 0x33333333u), PutFloat(s, 1), PutFloat(s, 2), PutFloat(s, 3);
  s.push_back(0);
  PutU32(s, 0x44444444u), PutFloat(s, 0), PutFloat(s, 0);
  CaptureStdout();
  ASSERT_EQ(Parse41(s), 30);
  GetCapturedStdout();
  unit->RoundDone();
  EXPECT_EQ(unit->Get_Value(0, "channel_0_a"), 0.0f);
  EXPECT_EQ(unit->Get_Value(0, "ia"), -0.1f);
}

TEST_F(AcValues, NoChannelsMeansEveryChannelIsOutOfRange) {
  unit->RoundDone();
  EXPECT_EQ(ErrorOf(*unit, "channel_0_a"), "通道参数越界");
  EXPECT_EQ(unit->Get_Value(0, "ia"), 0.0f);
}

// Settings of one "acSetting" entry.
TEST_F(AcUnitTest, AppSettings) {
  struct Case {
    const char* json;
    float diffV, diffI;
    std::vector<std::string> rejected;  // keys logged as not a number
  };
  const Case cases[] = {
      {R"({"appSetting": {"diff_v": "5"}})", 5.0f, 20.0f, {}},
      {R"({"appSetting": {"diff_v": 5}})", 5.0f, 20.0f, {}},
      {R"({"appSetting": {"diff_v": 5.5, "diff_i": "2.25"}})", 5.5f, 2.25f, {}},
      {R"({"appSetting": {"diff_i": -1}})", 20.0f, -1.0f, {}},
      {R"({"appSetting": {"diff_v": "abc"}})", 0.0f, 20.0f, {}},  // text that is no number
      {R"({"appSetting": {"diff_v": true}})", 0.0f, 20.0f, {}},
      {R"({"appSetting": {"diff_v": null, "diff_i": 7}})", 20.0f, 7.0f, {}},
      {R"({"appSetting": [1, 2]})", 20.0f, 20.0f, {}},
      {R"({"appSetting": "diff_v"})", 20.0f, 20.0f, {}},
      {R"({"appSetting": null})", 20.0f, 20.0f, {}},
      {R"({"data_id": 3})", 20.0f, 20.0f, {}},
      {R"([1, 2])", 20.0f, 20.0f, {}},
      {R"({"appSetting": {"diff_v": [5], "diff_i": 3}})", 20.0f, 3.0f, {"diff_v"}},
      {R"({"appSetting": {"diff_v": 4, "diff_i": {"x": 1}}})", 4.0f, 20.0f, {"diff_i"}},
      {R"({"appSetting": {"diff_v": {}, "diff_i": []}})", 20.0f, 20.0f, {"diff_v", "diff_i"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    Json::Value config;
    std::istringstream in(c.json);
    ASSERT_TRUE(Json::parseFromStream(Json::CharReaderBuilder(), in, &config, nullptr));
    ctl->Clear();
    QPR2427K_AC u;
    bool ok = false;
    EXPECT_NO_THROW(ok = u.InitV(parent.get(), 31, config));
    EXPECT_TRUE(ok);
    EXPECT_EQ(u.DataId(), 31u);
    EXPECT_EQ(u.DiffV(), c.diffV);
    EXPECT_EQ(u.DiffI(), c.diffI);
    ASSERT_EQ(ctl->logs.size(), c.rejected.size());
    for (std::size_t k = 0; k < c.rejected.size(); ++k) {
      EXPECT_EQ(ctl->logs[k].format, "PMBusPowerAC:ProcotolError {} appSetting {} is not a number");
      EXPECT_EQ(ctl->logs[k].args, (std::vector<std::string>{"31", c.rejected[k]}));
    }
  }
}

}  // namespace
}  // namespace ac_test
