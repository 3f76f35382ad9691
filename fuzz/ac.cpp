// Fuzz target for the AC distribution unit: a run of decoder calls and cache
// restores on one unit, with round ends and value queries in between.
//
// Input: a list of operations, each an op byte, a length byte and that many
// bytes (the section, or the cache image). Op bits: 0-1 pick parse40_41,
// parse40_43, parse40_44 or LoadFromCache; 2 ends a round afterwards; 3 passes
// a negative length; 4 moves the clock 30 s on; 5 adds 256 to the length; 6
// queries values afterwards (the next byte picks a channel number).
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "units/ac/QPR2427K_AC.h"

namespace {

constexpr std::size_t kRecord = sizeof(tele_c_qpr2427k_ac);
constexpr std::size_t kChannel = sizeof(tele_c_qpr2427k_ac_channel);
constexpr std::size_t kStampAt = offsetof(tele_c_qpr2427k_ac, ttime);

using fuzzing::Check;

std::vector<unsigned char> RecordBytes(const QPR2427K_AC& u) {
  std::vector<unsigned char> out(kRecord + kChannel * u.Channels().size());
  std::memcpy(out.data(), &u.Record(), kRecord);
  if (!u.Channels().empty())
    std::memcpy(out.data() + kRecord, u.Channels().data(), kChannel * u.Channels().size());
  return out;
}

void QueryValues(const QPR2427K_AC& u, unsigned char channel, bool fresh) {
  static const char* const kKeys[] = {"ia", "ib", "ic", "ia_alert", "ib_alert", "ic_alert"};
  for (const char* key : kKeys) Check(fuzzing::Query(u, key) == fresh, "record key answer");
  const std::size_t n = u.Channels().size();
  for (const char item : {'a', 'b', 'c', 'f', 'x'}) {
    const std::string key = "channel_" + std::to_string(channel) + "_" + item;
    const bool expected = fresh && channel < n && item != 'x';
    Check(fuzzing::Query(u, key) == expected, "channel key answer");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::SilenceTrace();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzzing::Host host;
  static const Json::Value kConfig(Json::objectValue);
  fuzzing::StartClock();
  host.controller->Clear();
  fuzzing::Input in(data, size);
  // A new unit for every input: nothing empties a unit's channel list again.
  auto unit = std::make_shared<QPR2427K_AC>();
  unit->InitV(host.parent.get(), 0x01020304, kConfig);

  std::vector<unsigned char> restored;  // the image of the last restore, until a decoder runs
  for (int ops = 0; !in.empty() && ops < 64; ++ops) {
    const std::uint8_t op = in.Byte();
    const std::size_t want = in.Byte() + ((op & 0x20) ? 256u : 0u);
    std::vector<unsigned char> bytes = in.Bytes(want);
    const int len = (op & 0x08) ? -1 - static_cast<int>(bytes.size()) : static_cast<int>(bytes.size());
    const std::vector<unsigned char> before = RecordBytes(*unit);
    int r = 0;
    switch (op & 3) {
      case 0:
        r = unit->parse40_41(bytes.data(), len);
        // A used section holds the count, its channels and the three currents.
        Check(r == -1 || (r >= 13 && r <= len), "parse40_41 result");
        if (r >= 0) Check(unit->Record().channel_count == bytes[0], "channel count of a used section");
        break;
      case 1:
        r = unit->parse40_43(bytes.data(), len);
        // Only a skipped user-defined part may reach beyond len.
        Check(r == -1 || (r >= 2 && (r <= len || unit->Record().p43 != 3)), "parse40_43 result");
        break;
      case 2:
        r = unit->parse40_44(bytes.data(), len);
        Check(r == -1 || (r >= 4 && r <= len), "parse40_44 result");
        break;
      case 3: {
        const bool wasReady = unit->dataReady_;
        r = unit->LoadFromCache(bytes.data(), len);
        Check(r == 0 || r == 1, "LoadFromCache result");
        if (r == 1) {
          Check(len > 0 && static_cast<std::size_t>(len) == kRecord + kChannel * unit->Channels().size(),
                "restored length");
          Check(RecordBytes(*unit) == bytes, "restored bytes");
          Check(unit->dataReady_, "restore makes the data ready");
        } else {
          Check(unit->dataReady_ == wasReady, "refused restore changed readiness");
          if (len <= static_cast<int>(kRecord)) Check(RecordBytes(*unit) == before, "short image changed the record");
        }
        break;
      }
    }
    Check(unit->Channels().size() == unit->Record().channel_count, "channel list and count");
    if ((op & 3) == 3) {
      restored = r == 1 ? bytes : std::vector<unsigned char>{};
    } else {
      restored.clear();
    }
    if (op & 0x10) host_clock::Advance(30);
    if (op & 0x04) {
      unit->RoundDone();
      const fuzzing::Controller::Images& im = host.controller->Of(*unit);
      Check(im.recordType == 5026, "record type");
      Check(im.published.size() == kRecord + kChannel * unit->Channels().size(), "image length");
      Check(im.saved == im.published, "saved image differs from the published one");
      if (!restored.empty()) Check(fuzzing::SameExcept(im.published, restored, kStampAt, kRecord), "round after restore");
      restored.clear();
    }
    if (op & 0x40) {
      const bool fresh = unit->dataReady_ &&
                         host_clock::ElapsedSeconds(unit->lastUpdate_, host_clock::LocalSecondClock()) < 61;
      QueryValues(*unit, in.Byte(), fresh);
    }
  }
  return 0;
}
