// Value queries after a round or a restore, as the host makes them.
#include "tools/host/loop/ValueQuery.h"

#include <fmt/format.h>

namespace runner {
namespace {

// Image sizes of the unit records this host shows: the AC record is 40 bytes
// plus 23 per channel, the rectifier record 65 bytes plus 14 per module.
constexpr std::size_t kAcRecord = 40, kAcChannel = 23, kRcRecord = 65, kRcModule = 14;
constexpr const char* kAcType = "qpr2427k-ac";
constexpr const char* kDcType = "qpr2427k-dc";
constexpr const char* kRcType = "qpr2427k-rc";
constexpr const char* kAcPhaseKeys[] = {"ia", "ib", "ic", "ia_alert", "ib_alert", "ic_alert"};
constexpr const char* kAcChannelKeys[] = {"a", "b", "c", "f"};
constexpr const char* kDcKeys[] = {"v", "i"};

}  // namespace

ValuesRead QueryValues(const std::vector<std::shared_ptr<KLDVDevice>>& children, long long round,
                       const std::function<std::size_t(const KLDVDevice*)>& imageLength) {
  ValuesRead out;
  out.round = round;
  const auto query = [&](const std::shared_ptr<KLDVDevice>& d, const std::string& key) {
    ValueRow r{d->DataId(), d->DeviceType(), key, false, 0.0f, {}};
    try {
      r.value = d->Get_Value(0, key);
      r.ok = true;
    } catch (const std::exception& ex) {
      r.error = ex.what();
    }
    out.rows.push_back(std::move(r));
  };
  for (const auto& d : children) {
    if (!d) continue;
    const std::size_t len = imageLength(d.get());
    if (d->DeviceType() == kAcType) {
      for (const char* k : kAcPhaseKeys) query(d, k);
      const std::size_t channels = len > kAcRecord ? (len - kAcRecord) / kAcChannel : 0;
      for (std::size_t ch = 0; ch < channels; ++ch)
        for (const char* x : kAcChannelKeys) query(d, fmt::format("channel_{}_{}", ch, x));
    } else if (d->DeviceType() == kDcType) {
      for (const char* k : kDcKeys) query(d, k);
    } else if (d->DeviceType() == kRcType) {
      out.rectifierModules.emplace_back(d->DataId(),
                                        static_cast<unsigned>(len >= kRcRecord ? (len - kRcRecord) / kRcModule : 0));
    }
  }
  return out;
}

}  // namespace runner
