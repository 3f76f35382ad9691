// The reply handlers of the polling cycle: each hands a reply's info field to
// the children that decode it and says whether the cycle goes on.
#pragma once
#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "power/PMBusPower.h"

template <typename AC, typename DC, typename RC>
template <typename Child, typename Parse>
std::int64_t PMBusPower<AC, DC, RC>::DecodeGroup(
    const std::vector<std::shared_ptr<Child>>& children, Parse parse, const unsigned char* info,
    int start, int length) {
  if (start > length) return start;  // the reply ends before the first section
  int pos = start;
  for (const auto& child : children) {
    const int r = ((*child).*parse)(info + pos, length - pos);
    if (r < 0) return -1;
    if (r > length - pos) return static_cast<std::int64_t>(pos) + r;
    pos += r;
  }
  return pos;
}

template <typename AC, typename DC, typename RC>
power::Verdict PMBusPower<AC, DC, RC>::Exactly(std::int64_t used, int length,
                                               const char* mismatch) const {
  if (used == length) return power::Verdict::Next;
  if (mismatch) InfoLog(mismatch, DataId());
  return power::Verdict::Hold;
}

template <typename AC, typename DC, typename RC>
power::Verdict PMBusPower<AC, DC, RC>::AtMost(std::int64_t used, int length,
                                              const char* overrun) const {
  if (used < 0) return power::Verdict::Hold;
  // Shorter than the reply is accepted; an overrun is reported and polling goes on.
  if (used > length) InfoLog(overrun, DataId());
  return power::Verdict::Next;
}

template <typename AC, typename DC, typename RC>
power::Verdict PMBusPower<AC, DC, RC>::OnModel(const unsigned char* info, int length) {
  // The model name is the field up to its first zero byte or space.
  const unsigned char* end = info + std::min(length, power::kModelFieldLength);
  const unsigned char* stop =
      std::find_if(info, end, [](unsigned char c) { return c == 0 || c == ' '; });
  deviceModel_.assign(reinterpret_cast<const char*>(info), static_cast<std::size_t>(stop - info));
  if (std::find(supportedModels_.begin(), supportedModels_.end(), deviceModel_) ==
      supportedModels_.end()) {
    CheckThresholdBool(3, "device_model", "70319", "设备配置检测",
                       "本驱动类型:" + deviceType_ + " 检测型号:" + deviceModel_, true, 0);
  }
  detectPending_ = false;
  return power::Verdict::Next;
}

template <typename AC, typename DC, typename RC>
power::Verdict PMBusPower<AC, DC, RC>::OnAcAnalog(const unsigned char* info, int length) {
  if (length < 2) return power::Verdict::Refuse;  // no data flag and unit count
  acDataFlag_ = info[0];
  if (info[1] != acDevices_.size()) {
    InfoLog("PMBusPower:ProcotolError {} read ac_number is {}, configured ac_number is {}",
            DataId(), info[1], acDevices_.size());
    return power::Verdict::Refuse;
  }
  const std::int64_t used = DecodeGroup(acDevices_, &AC::parse40_41, info, 2, length);
  if (used < 0) return power::Verdict::Hold;
  return Exactly(used, length, "PMBusPower:ProcotolError {} parse 40_41 overflow memory boundary");
}

template <typename AC, typename DC, typename RC>
power::Verdict PMBusPower<AC, DC, RC>::OnAcSwitch(const unsigned char* info, int length) {
  // A reply with no more than the flag and count bytes carries no sections.
  if (length - 2 <= 0) return power::Verdict::Next;
  const std::int64_t used = DecodeGroup(acDevices_, &AC::parse40_43, info, 2, length);
  if (used < 0) return power::Verdict::Hold;
  return Exactly(used, length, "PMBusPower:ProcotolError {} parse 40_43 overflow memory boundary");
}

template <typename AC, typename DC, typename RC>
power::Verdict PMBusPower<AC, DC, RC>::OnAcAlarm(const unsigned char* info, int length) {
  return Exactly(DecodeGroup(acDevices_, &AC::parse40_44, info, 2, length), length, nullptr);
}

template <typename AC, typename DC, typename RC>
power::Verdict PMBusPower<AC, DC, RC>::OnRcAnalog(const unsigned char* info, int length) {
  if (length < 1) return power::Verdict::Refuse;  // no data flag
  rcDataFlag_ = info[0];
  return Exactly(rcDevice_->parse41_41(info, length), length,
                 "PMBusPower:ProcotolError {} parse p41_41 overflow memory boundary");
}

template <typename AC, typename DC, typename RC>
template <const typename PMBusPower<AC, DC, RC>::RcReply& R>
power::Verdict PMBusPower<AC, DC, RC>::OnRcReply(const unsigned char* info, int length) {
  const std::int64_t used = ((*rcDevice_).*R.parse)(info, length);
  return R.whole ? Exactly(used, length, R.mismatch) : AtMost(used, length, R.mismatch);
}

template <typename AC, typename DC, typename RC>
bool PMBusPower<AC, DC, RC>::DcCountMatches(const unsigned char* info) const {
  if (info[1] == dcDevices_.size()) return true;
  InfoLog("PMBusPower:ProcotolError {} read dc_number is {}, configured dc_number is {}",
          DataId(), info[1], dcDevices_.size());
  return false;
}

template <typename AC, typename DC, typename RC>
power::Verdict PMBusPower<AC, DC, RC>::OnDcAnalog(const unsigned char* info, int length) {
  if (length < 2) return power::Verdict::Refuse;  // no data flag and unit count
  if (!DcCountMatches(info)) return power::Verdict::Refuse;
  // With more than three units the sections start at the count byte.
  const int start = info[1] <= 3 ? 2 : 1;
  return AtMost(DecodeGroup(dcDevices_, &DC::parse42_41, info, start, length), length,
                "PMBusPower:ProcotolError {} parse 42_41 overflow memory boundary");
}

template <typename AC, typename DC, typename RC>
power::Verdict PMBusPower<AC, DC, RC>::OnDcAlarm(const unsigned char* info, int length) {
  if (length < 2) return power::Verdict::Refuse;  // no data flag and unit count
  if (!DcCountMatches(info)) return power::Verdict::Refuse;
  return AtMost(DecodeGroup(dcDevices_, &DC::parse42_44, info, 2, length), length,
                "PMBusPower:ProcotolError {} parse 42_44 overflow memory boundary");
}

