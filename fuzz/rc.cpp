// Fuzz target for the rectifier unit: a run of decoder calls (its three
// replies and the two parameter replies) and cache restores on one unit, with
// round ends and value queries in between.
//
// Input: a list of operations, each an op byte, a length byte and that many
// bytes (the payload, or the cache image). Op bits: 0-2 pick parse41_41,
// parse41_43, parse41_44, parse40_46, parse42_46 or LoadFromCache (6 and 7 too);
// 3 passes a negative length; 4 moves the clock 30 s on; 5 adds 256 to the
// length; 6 ends a round afterwards; 7 queries a value afterwards.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "units/rc/QPR2427K_RC.h"

namespace {

constexpr std::size_t kRecord = sizeof(tele_c_qpr2427k_rc);
constexpr std::size_t kModule = sizeof(tele_c_qpr2427k_rc_channel);
constexpr std::size_t kStampAt = offsetof(tele_c_qpr2427k_rc, ttime);

using fuzzing::Check;

std::vector<unsigned char> RecordBytes(const QPR2427K_RC& u) {
  std::vector<unsigned char> out(kRecord + kModule * u.Modules().size());
  std::memcpy(out.data(), &u.Record(), kRecord);
  if (!u.Modules().empty())
    std::memcpy(out.data() + kRecord, static_cast<const void*>(u.Modules().data()), kModule * u.Modules().size());
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fuzzing::SilenceTrace();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static fuzzing::Host host;
  static const auto unit = std::make_shared<QPR2427K_RC>();
  static const Json::Value kConfig(Json::objectValue);
  static const unsigned char kZeroRecord[kRecord] = {};
  fuzzing::StartClock();
  host.controller->Clear();
  fuzzing::Input in(data, size);
  // Back to a new unit: a zero record with no modules, configured, not ready.
  Check(unit->LoadFromCache(kZeroRecord, static_cast<int>(kRecord)) == 1 && unit->Modules().empty(),
        "zero record refused");
  unit->InitV(host.parent.get(), 0x11223344, kConfig);
  fuzzing::ForgetHistory(*unit);

  std::vector<unsigned char> restored;
  for (int ops = 0; !in.empty() && ops < 64; ++ops) {
    const std::uint8_t op = in.Byte();
    const std::size_t want = in.Byte() + ((op & 0x20) ? 256u : 0u);
    std::vector<unsigned char> bytes = in.Bytes(want);
    const int len = (op & 0x08) ? -1 - static_cast<int>(bytes.size()) : static_cast<int>(bytes.size());
    int r = 0;
    switch (op & 7) {
      case 0:
        r = unit->parse41_41(bytes.data(), len);
        Check(r == -1 || (r >= 6 && r <= len), "parse41_41 result");
        break;
      case 1:
        r = unit->parse41_43(bytes.data(), len);
        Check(r == -1 || (r >= 2 && r <= len), "parse41_43 result");
        break;
      case 2:
        r = unit->parse41_44(bytes.data(), len);
        // 0: the reply lists more modules than the unit knows.
        Check(r == -1 || r == 0 || (r >= 2 && r <= len), "parse41_44 result");
        break;
      case 3:
        r = unit->parse40_46(bytes.data(), len);
        // User-defined values are neither read nor held to len.
        Check(r == -1 || (r >= 21 && (r <= len || bytes[20] != 0)), "parse40_46 result");
        break;
      case 4:
        r = unit->parse42_46(bytes.data(), len);
        Check(r == -1 || (r >= 9 && (r <= len || unit->Record().dc_param_p != 5)), "parse42_46 result");
        break;
      default: {
        const bool wasReady = unit->dataReady_;
        r = unit->LoadFromCache(bytes.data(), len);
        Check(r == 0 || r == 1, "LoadFromCache result");
        if (r == 1) {
          Check(len > 0 && static_cast<std::size_t>(len) == kRecord + kModule * unit->Modules().size(),
                "restored length");
          Check(RecordBytes(*unit) == bytes, "restored bytes");
          Check(unit->dataReady_, "restore makes the data ready");
        } else {
          Check(unit->dataReady_ == wasReady, "refused restore changed readiness");
        }
        break;
      }
    }
    Check(unit->Modules().size() == unit->Record().channel_count, "module list and count");
    restored = (op & 7) >= 5 && r == 1 ? bytes : std::vector<unsigned char>{};
    if (op & 0x10) host_clock::Advance(30);
    if (op & 0x40) {
      unit->RoundDone();
      const fuzzing::Controller::Images& im = host.controller->Of(*unit);
      Check(im.recordType == 5027, "record type");
      Check(im.published == RecordBytes(*unit), "published image is the record and modules");
      Check(im.saved == im.published, "saved image differs from the published one");
      if (!restored.empty()) Check(fuzzing::SameExcept(im.published, restored, kStampAt, kRecord), "round after restore");
      restored.clear();
    }
    // The rectifier answers no key.
    if (op & 0x80) Check(!fuzzing::Query(*unit, "v"), "rectifier answered a key");
  }
  return 0;
}
