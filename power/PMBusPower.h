// The power-system port device: owns the AC, DC and rectifier children, runs
// the polling cycle on one serial line and routes every reply to its decoders.
#pragma once
#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "host/HostClock.h"
#include "host/PMBusProtocol.h"
#include "host/json.h"

namespace power {

// Polling steps (values of step_), in the order a full round runs them.
constexpr int kStepAcAnalog = 0;
constexpr int kStepAcSwitch = 1;
constexpr int kStepAcAlarm = 2;
constexpr int kStepRcAnalog = 4;
constexpr int kStepRcSwitch = 5;
constexpr int kStepRcAlarm = 6;
constexpr int kStepDcAnalog = 7;
constexpr int kStepDcAlarm = 8;
constexpr int kStepAcParam = 3;
constexpr int kStepDcParam = 9;
constexpr int kStepModel = 14;

// Whether a command carries the one group info byte.
enum class GroupInfo : std::uint8_t { None, Always, IfVersion21 };
// Whose decoders take a step's reply.
enum class ReplyOwner : std::uint8_t { Port, AcUnits, Rectifier, DcUnits };

struct StepRow {
  int step;                // value of step_ while the command awaits its reply
  std::uint8_t unit;       // unit code sent (CID1)
  std::uint8_t data;       // data code sent (CID2)
  GroupInfo info;          // group info byte sent or not
  std::uint8_t replyUnit;  // unit code the reply must carry
  ReplyOwner owner;        // who decodes the reply
};

inline constexpr StepRow kStepTable[] = {
    {kStepModel, 0x40, 0x51, GroupInfo::None, 0x40, ReplyOwner::Port},
    {kStepAcAnalog, 0x40, 0x41, GroupInfo::Always, 0x40, ReplyOwner::AcUnits},
    {kStepAcSwitch, 0x40, 0x43, GroupInfo::Always, 0x40, ReplyOwner::AcUnits},
    {kStepAcAlarm, 0x40, 0x44, GroupInfo::Always, 0x40, ReplyOwner::AcUnits},
    {kStepRcAnalog, 0x41, 0x41, GroupInfo::None, 0x41, ReplyOwner::Rectifier},
    {kStepRcSwitch, 0x41, 0x43, GroupInfo::None, 0x41, ReplyOwner::Rectifier},
    {kStepRcAlarm, 0x41, 0x44, GroupInfo::None, 0x41, ReplyOwner::Rectifier},
    {kStepDcAnalog, 0x42, 0x41, GroupInfo::IfVersion21, 0x42, ReplyOwner::DcUnits},
    {kStepDcAlarm, 0x42, 0x44, GroupInfo::IfVersion21, 0x42, ReplyOwner::DcUnits},
    {kStepAcParam, 0x40, 0x46, GroupInfo::None, 0x40, ReplyOwner::Rectifier},
    {kStepDcParam, 0x42, 0x46, GroupInfo::None, 0x42, ReplyOwner::Rectifier},
};

inline constexpr const StepRow* FindStep(int step) {
  for (const StepRow& row : kStepTable)
    if (row.step == step) return &row;
  return nullptr;
}

// Data flag bits of the analog replies.
constexpr unsigned char kSwitchChanged = 0x10;
constexpr unsigned char kAlarmChanged = 0x01;
// Bytes of the model reply that hold the model name.
constexpr int kModelFieldLength = 20;
// No frame carries a longer info field (LENID is 12 bits of hex characters).
constexpr int kMaxInfoLength = 0xFFF / 2;

}  // namespace power

template <typename AC, typename DC, typename RC>
class PMBusPower : public PMBusProtocol {
 public:
  // The info byte of the group commands: all units of the group.
  static constexpr unsigned char commandGroup_ = 0xFF;

  explicit PMBusPower(std::vector<std::string> supportedModels)
      : supportedModels_(std::move(supportedModels)) {}
  ~PMBusPower() override = default;

  // The port device keeps no record of its own: every image is accepted.
  int LoadFromCache(const unsigned char*, int) override { return 1; }
  using PMBusProtocol::LoadFromCache;

  bool InitSetting(const Json::Value& settings) override;
  std::shared_ptr<KLDVDevice> GetChildVDevice(unsigned dataId) override;
  std::vector<std::shared_ptr<KLDVDevice>> GetAllChildVDevices() override;
  int RefreshStatus() override;
  int process_payload() override;

  std::vector<std::shared_ptr<AC>> acDevices_;
  std::vector<std::shared_ptr<DC>> dcDevices_;
  std::shared_ptr<RC> rcDevice_;
  unsigned char acDataFlag_ = 0;
  unsigned char rcDataFlag_ = 0;
  bool detectPending_ = true;
  std::string deviceModel_;
  std::vector<std::string> supportedModels_;

 private:
  static const Json::Value& Member(const Json::Value& v, const char* key) {
    return v.isObject() ? v[key] : Json::Value::nullSingleton();
  }
  bool ReadChildId(const Json::Value& element, const std::string& where, unsigned& id) const;
  template <typename Child>
  bool ConfigureChild(Child& child, unsigned id, const Json::Value& element,
                      const std::string& where);
  template <typename Child, typename Make>
  bool AddChildren(const Json::Value& list, const char* key,
                   std::vector<std::shared_ptr<Child>>& children, Make make);

  bool HasDecoder(const power::StepRow& row) const;
  // Sends the command of a step and makes it the current step; returns 1.
  int Send(int step);
  // Moves on to the first step of each stage that has someone to decode it;
  // each returns what process_payload() returns (0 when the round ended).
  int StartRound();
  int StartRectifier();
  int AfterRectifier();
  int StartParameters();
  int EndRound();
  // A reply that cannot be used: the step is repeated; a refused first reply
  // of a round resets the exchange.
  int Refuse();

  // Hands each child its section of a group reply, from `start` on. Returns the
  // end offset of the last section (the consumed total), or -1 when a child
  // refused its section. A child that claims more bytes than remain ends the
  // distribution, and the offset it claimed (beyond `length`) is returned.
  template <typename Child, typename Parse>
  static std::int64_t DecodeGroup(const std::vector<std::shared_ptr<Child>>& children, Parse parse,
                                  const unsigned char* info, int start, int length);

  int OnModel(const unsigned char* info, int length);
  int OnAcAnalog(const unsigned char* info, int length);
  int OnAcSwitch(const unsigned char* info, int length);
  int OnAcAlarm(const unsigned char* info, int length);
  int OnRcAnalog(const unsigned char* info, int length);
  int OnRcSwitch(const unsigned char* info, int length);
  int OnRcAlarm(const unsigned char* info, int length);
  int OnDcGroup(const unsigned char* info, int length, bool analog);
  int OnAcParam(const unsigned char* info, int length);
  int OnDcParam(const unsigned char* info, int length);
};

// ---------------------------------------------------------------- settings

template <typename AC, typename DC, typename RC>
bool PMBusPower<AC, DC, RC>::ReadChildId(const Json::Value& element, const std::string& where,
                                         unsigned& id) const {
  const Json::Value& v = Member(element, "data_id");
  if (v.isNull()) {
    id = 0;
    return true;
  }
  if (!v.isUInt()) {
    InfoLog("PMBusPower:ProcotolError {} setting {}.data_id is not an unsigned number", DataId(),
            where);
    return false;
  }
  id = v.asUInt();
  return true;
}

template <typename AC, typename DC, typename RC>
template <typename Child>
bool PMBusPower<AC, DC, RC>::ConfigureChild(Child& child, unsigned id, const Json::Value& element,
                                            const std::string& where) {
  // A unit's own settings may hold values the JSON library cannot convert;
  // that must not escape into the host.
  try {
    child.InitV(this, id, element);
    return true;
  } catch (const std::exception& e) {
    InfoLog("PMBusPower:ProcotolError {} setting {} cannot be used: {}", DataId(), where,
            e.what());
    return false;
  }
}

template <typename AC, typename DC, typename RC>
template <typename Child, typename Make>
bool PMBusPower<AC, DC, RC>::AddChildren(const Json::Value& list, const char* key,
                                         std::vector<std::shared_ptr<Child>>& children,
                                         Make make) {
  if (!list.isArray()) return true;
  for (Json::ArrayIndex k = 0; k < list.size(); ++k) {
    const Json::Value& element = list[k];
    const std::string where = std::string(key) + "[" + std::to_string(k) + "]";
    unsigned id = 0;
    if (!ReadChildId(element, where, id)) return false;
    std::shared_ptr<Child> child = make();
    // A child whose configuration threw never took its id or controller: it is not kept.
    if (!ConfigureChild(*child, id, element, where)) return false;
    children.push_back(std::move(child));
  }
  return true;
}

template <typename AC, typename DC, typename RC>
bool PMBusPower<AC, DC, RC>::InitSetting(const Json::Value& settings) {
  if (!PMBusProtocol::InitSetting(settings)) return false;
  if (!AddChildren(Member(settings, "acSetting"), "acSetting", acDevices_,
                   [] { return std::make_shared<AC>(); }))
    return false;
  // DC units take the model name known now (empty before the first model reply).
  if (!AddChildren(Member(settings, "dcSetting"), "dcSetting", dcDevices_,
                   [this] { return std::make_shared<DC>(deviceModel_); }))
    return false;
  const Json::Value& rc = Member(settings, "rcSetting");
  if (rc.isNull()) return false;
  auto child = std::make_shared<RC>();
  // The rectifier stands for the whole system and carries the port device's id.
  if (!ConfigureChild(*child, DataId(), rc, "rcSetting")) return false;
  rcDevice_ = std::move(child);
  return true;
}

template <typename AC, typename DC, typename RC>
std::shared_ptr<KLDVDevice> PMBusPower<AC, DC, RC>::GetChildVDevice(unsigned dataId) {
  for (const auto& ac : acDevices_)
    if (ac->DataId() == dataId) return ac;
  for (const auto& dc : dcDevices_)
    if (dc->DataId() == dataId) return dc;
  return {};
}

template <typename AC, typename DC, typename RC>
std::vector<std::shared_ptr<KLDVDevice>> PMBusPower<AC, DC, RC>::GetAllChildVDevices() {
  std::vector<std::shared_ptr<KLDVDevice>> all;
  all.reserve(acDevices_.size() + dcDevices_.size() + 1);
  all.insert(all.end(), acDevices_.begin(), acDevices_.end());
  all.insert(all.end(), dcDevices_.begin(), dcDevices_.end());
  all.push_back(rcDevice_);
  return all;
}

// ---------------------------------------------------------------- cycle

template <typename AC, typename DC, typename RC>
bool PMBusPower<AC, DC, RC>::HasDecoder(const power::StepRow& row) const {
  switch (row.owner) {
    case power::ReplyOwner::AcUnits: return !acDevices_.empty();
    case power::ReplyOwner::DcUnits: return !dcDevices_.empty();
    case power::ReplyOwner::Rectifier: return rcDevice_ != nullptr;
    case power::ReplyOwner::Port: break;
  }
  return true;
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::Send(int step) {
  const power::StepRow* row = power::FindStep(step);
  if (!row) return 1;
  step_ = step;
  const bool group = row->info == power::GroupInfo::Always ||
                     (row->info == power::GroupInfo::IfVersion21 && version_ == 0x21);
  if (group)
    write_pmbus_cmd(row->unit, row->data, &commandGroup_, 1);
  else
    write_pmbus_cmd(row->unit, row->data);
  return 1;
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::StartRound() {
  return acDevices_.empty() ? StartRectifier() : Send(power::kStepAcAnalog);
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::StartRectifier() {
  return rcDevice_ ? Send(power::kStepRcAnalog) : AfterRectifier();
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::AfterRectifier() {
  return dcDevices_.empty() ? EndRound() : Send(power::kStepDcAnalog);
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::StartParameters() {
  // Both parameter replies are decoded by the rectifier.
  if (!rcDevice_) return EndRound();
  return Send(acDevices_.empty() ? power::kStepDcParam : power::kStepAcParam);
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::EndRound() {
  for (const auto& ac : acDevices_) ac->RoundDone();
  for (const auto& dc : dcDevices_) dc->RoundDone();
  if (rcDevice_) rcDevice_->RoundDone();
  step_ = power::kStepAcAnalog;
  Reset();
  return 0;
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::Refuse() {
  if (step_ != power::kStepAcAnalog) return 1;
  Reset();
  return 0;
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::RefreshStatus() {
  if (PMBusProtocol::RefreshStatus() == 0) return 0;
  const std::int64_t elapsed =
      host_clock::ElapsedSeconds(lastUpdate_, host_clock::LocalSecondClock());
  if (elapsed < 2 && !detectPending_) {
    pollState_ = 0;
    return 0;
  }
  if (detectPending_) return Send(power::kStepModel);
  const power::StepRow* row = power::FindStep(step_);
  if (!row || row->owner == power::ReplyOwner::Port) return 1;
  // A round starts, or a step whose decoders are gone starts the round over.
  if (step_ == power::kStepAcAnalog || !HasDecoder(*row)) return StartRound();
  // Repeats the command whose reply was refused or never came.
  return Send(step_);
}

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
int PMBusPower<AC, DC, RC>::process_payload() {
  PauseBeforeReply();
  const power::StepRow* row = power::FindStep(step_);
  if (!row || !reply_) return 1;
  if (reply_[2] != row->replyUnit || !HasDecoder(*row)) return Refuse();
  const unsigned word = reply_[4] | static_cast<unsigned>(reply_[5]) << 8;
  const int length = std::min(static_cast<int>(word / 2), power::kMaxInfoLength);
  const unsigned char* info = reply_ + 6;
  switch (step_) {
    case power::kStepModel: return OnModel(info, length);
    case power::kStepAcAnalog: return OnAcAnalog(info, length);
    case power::kStepAcSwitch: return OnAcSwitch(info, length);
    case power::kStepAcAlarm: return OnAcAlarm(info, length);
    case power::kStepRcAnalog: return OnRcAnalog(info, length);
    case power::kStepRcSwitch: return OnRcSwitch(info, length);
    case power::kStepRcAlarm: return OnRcAlarm(info, length);
    case power::kStepDcAnalog: return OnDcGroup(info, length, true);
    case power::kStepDcAlarm: return OnDcGroup(info, length, false);
    case power::kStepAcParam: return OnAcParam(info, length);
    case power::kStepDcParam: return OnDcParam(info, length);
    default: return 1;
  }
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::OnModel(const unsigned char* info, int length) {
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
  return StartRound();
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::OnAcAnalog(const unsigned char* info, int length) {
  if (length < 2) return Refuse();  // no data flag and unit count
  acDataFlag_ = info[0];
  if (info[1] != acDevices_.size()) {
    InfoLog("PMBusPower:ProcotolError {} read ac_number is {}, configured ac_number is {}",
            DataId(), info[1], acDevices_.size());
    Reset();
    return 0;
  }
  const std::int64_t consumed = DecodeGroup(acDevices_, &AC::parse40_41, info, 2, length);
  if (consumed < 0) return 1;
  if (consumed != length) {
    InfoLog("PMBusPower:ProcotolError {} parse 40_41 overflow memory boundary", DataId());
    return 1;
  }
  if (!dataReady_ || (acDataFlag_ & power::kSwitchChanged)) return Send(power::kStepAcSwitch);
  if (acDataFlag_ & power::kAlarmChanged) return Send(power::kStepAcAlarm);
  return StartRectifier();
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::OnAcSwitch(const unsigned char* info, int length) {
  if (length - 2 > 0) {
    const std::int64_t consumed = DecodeGroup(acDevices_, &AC::parse40_43, info, 2, length);
    if (consumed < 0) return 1;
    if (consumed != length) {
      InfoLog("PMBusPower:ProcotolError {} parse 40_43 overflow memory boundary", DataId());
      return 1;
    }
  }
  if (!dataReady_ || (acDataFlag_ & power::kAlarmChanged)) return Send(power::kStepAcAlarm);
  return StartRectifier();
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::OnAcAlarm(const unsigned char* info, int length) {
  if (DecodeGroup(acDevices_, &AC::parse40_44, info, 2, length) != length) return 1;
  return StartRectifier();
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::OnRcAnalog(const unsigned char* info, int length) {
  if (length < 1) return Refuse();  // no data flag
  rcDataFlag_ = info[0];
  if (rcDevice_->parse41_41(info, length) != length) {
    InfoLog("PMBusPower:ProcotolError {} parse p41_41 overflow memory boundary", DataId());
    return 1;
  }
  if (!dataReady_ || (rcDataFlag_ & power::kSwitchChanged)) return Send(power::kStepRcSwitch);
  if (rcDataFlag_ & power::kAlarmChanged) return Send(power::kStepRcAlarm);
  return AfterRectifier();
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::OnRcSwitch(const unsigned char* info, int length) {
  if (rcDevice_->parse41_43(info, length) != length) {
    InfoLog("PMBusPower:ProcotolError {} parse p41_43 overflow memory boundary", DataId());
    return 1;
  }
  if (!dataReady_ || (rcDataFlag_ & power::kAlarmChanged)) return Send(power::kStepRcAlarm);
  return AfterRectifier();
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::OnRcAlarm(const unsigned char* info, int length) {
  if (rcDevice_->parse41_44(info, length) != length) {
    InfoLog("PMBusPower:ProcotolError {} parse p41_44 overflow memory boundary", DataId());
    return 1;
  }
  return AfterRectifier();
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::OnDcGroup(const unsigned char* info, int length, bool analog) {
  if (length < 2) return Refuse();  // no data flag and unit count
  const unsigned char flag = info[0];
  const unsigned char count = info[1];
  if (count != dcDevices_.size()) {
    InfoLog("PMBusPower:ProcotolError {} read dc_number is {}, configured dc_number is {}",
            DataId(), count, dcDevices_.size());
    return 1;
  }
  std::int64_t consumed;
  if (analog) {
    // With more than three units the sections start at the count byte.
    consumed = DecodeGroup(dcDevices_, &DC::parse42_41, info, count <= 3 ? 2 : 1, length);
  } else {
    consumed = DecodeGroup(dcDevices_, &DC::parse42_44, info, 2, length);
  }
  if (consumed < 0) return 1;
  // Sections shorter than the reply are accepted; an overrun is reported and polling goes on.
  if (consumed > length) {
    if (analog)
      InfoLog("PMBusPower:ProcotolError {} parse 42_41 overflow memory boundary", DataId());
    else
      InfoLog("PMBusPower:ProcotolError {} parse 42_44 overflow memory boundary", DataId());
  }
  if (analog && (!dataReady_ || (flag & (power::kSwitchChanged | power::kAlarmChanged))))
    return Send(power::kStepDcAlarm);
  return StartParameters();
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::OnAcParam(const unsigned char* info, int length) {
  const int r = rcDevice_->parse40_46(info, length);
  if (r < 0) return 1;
  if (r > length)
    InfoLog("PMBusPower:ProcotolError {} parse 40_46 overflow memory boundary", DataId());
  return Send(power::kStepDcParam);
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::OnDcParam(const unsigned char* info, int length) {
  const int r = rcDevice_->parse42_46(info, length);
  if (r < 0) return 1;
  if (r > length)
    InfoLog("PMBusPower:ProcotolError {} parse 42_46 overflow memory boundary", DataId());
  return EndRound();
}
