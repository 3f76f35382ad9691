// Fuzz target for the DC distribution unit: a run of decoder calls and cache
// restores on one unit, with round ends and value queries in between.
//
// Input: a list of operations, each an op byte, a length byte and that many
// bytes (the block, or the cache image). Op bits: 0-1 pick parse42_41,
// parse42_44 or LoadFromCache (3 is LoadFromCache too); 2 ends a round
// afterwards; 3 passes a negative length; 4 moves the clock 30 s on; 5 adds
// 256 to the length; 6 queries values afterwards.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "units/dc/QPR2427K_DC.h"

namespace {

constexpr std::size_t kRecord = sizeof(tele_c_qpr2427k_dc);
constexpr std::size_t kStampAt = offsetof(tele_c_qpr2427k_dc, ttime);

using fuzzing::Check;

std::vector<unsigned char> RecordBytes(const QPR2427K_DC& u) {
  const auto* p = reinterpret_cast<const unsigned char*>(&u.Record());
  return std::vector<unsigned char>(p, p + kRecord);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::SilenceTrace();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzzing::Host host;
  // One unit per model (the extension rows of the status table or not), kept
  // for the whole run: making one builds its 161 alarm texts.
  static const std::shared_ptr<QPR2427K_DC> units[2] = {std::make_shared<QPR2427K_DC>("QPR-24KV"),
                                                        std::make_shared<QPR2427K_DC>("QPR-36KM")};
  static const Json::Value kConfig(Json::objectValue);
  static const unsigned char kZeroRecord[kRecord] = {};
  fuzzing::StartClock();
  host.controller->Clear();
  fuzzing::Input in(data, size);
  const std::shared_ptr<QPR2427K_DC>& unit = units[in.Byte() & 1];
  // Back to a new unit: a zero record (as constructed), configured, not ready.
  Check(unit->LoadFromCache(kZeroRecord, static_cast<int>(kRecord)) == 1, "zero record refused");
  unit->InitV(host.parent.get(), 0x0A0B0C0D, kConfig);
  fuzzing::ForgetHistory(*unit);

  std::vector<unsigned char> restored;
  for (int ops = 0; !in.empty() && ops < 64; ++ops) {
    const std::uint8_t op = in.Byte();
    const std::size_t want = in.Byte() + ((op & 0x20) ? 256u : 0u);
    std::vector<unsigned char> bytes = in.Bytes(want);
    const int len = (op & 0x08) ? -1 - static_cast<int>(bytes.size()) : static_cast<int>(bytes.size());
    const std::vector<unsigned char> before = RecordBytes(*unit);
    int r = 0;
    switch (op & 3) {
      case 0:
        r = unit->parse42_41(bytes.data(), len);
        // v, i and three counts at least; an over-limit user count takes the whole rest.
        Check(r == -1 || (r >= 11 && r <= len) || (r == len && unit->Record().p_count > 4), "parse42_41 result");
        break;
      case 1:
        r = unit->parse42_44(bytes.data(), len);
        Check(r == -1 || (r >= 3 && r <= len), "parse42_44 result");
        break;
      default: {
        const bool wasReady = unit->dataReady_;
        r = unit->LoadFromCache(bytes.data(), len);
        Check(r == (len == static_cast<int>(kRecord) ? 1 : 0), "LoadFromCache takes exactly one record");
        if (r == 1) {
          Check(RecordBytes(*unit) == bytes, "restored bytes");
          // A restored record answers at once.
          Check(fuzzing::Query(*unit, "v") && fuzzing::Query(*unit, "i"), "restored record answers");
        } else {
          Check(RecordBytes(*unit) == before && unit->dataReady_ == wasReady, "refused image changed the unit");
        }
        break;
      }
    }
    if (r == -1) Check(RecordBytes(*unit) == before, "a refused block changed the record");
    restored = (op & 3) >= 2 && r == 1 ? bytes : std::vector<unsigned char>{};
    if (op & 0x10) host_clock::Advance(30);
    if (op & 0x04) {
      unit->RoundDone();
      const fuzzing::Controller::Images& im = host.controller->Of(*unit);
      Check(im.recordType == 5028, "record type");
      Check(im.published == RecordBytes(*unit), "published image is the record");
      Check(im.saved == im.published, "saved image differs from the published one");
      if (!restored.empty()) Check(fuzzing::SameExcept(im.published, restored, kStampAt, kRecord), "round after restore");
      restored.clear();
    }
    if (op & 0x40) {
      const bool fresh = unit->dataReady_ &&
                         host_clock::ElapsedSeconds(unit->lastUpdate_, host_clock::LocalSecondClock()) < 61;
      Check(fuzzing::Query(*unit, "v") == fresh && fuzzing::Query(*unit, "i") == fresh, "v and i answer");
      Check(!fuzzing::Query(*unit, "V") && !fuzzing::Query(*unit, ""), "unknown keys throw");
    }
  }
  return 0;
}
