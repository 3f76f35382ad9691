// The polling cycle: the step table (one row a command, in the order a round
// asks them) and the one loop that sends, dispatches and moves on over it.
#pragma once
#include <algorithm>
#include <cstdint>
#include <iterator>

#include "host/HostClock.h"
#include "power/PMBusPower.h"

// The model query comes first and is asked once; the other rows run in round
// order. A reply's handler decides whether the cycle goes on; the next step is
// then the first later row the round asks, and after the last one the round ends.
template <typename AC, typename DC, typename RC>
const typename PMBusPower<AC, DC, RC>::Step PMBusPower<AC, DC, RC>::kSteps[] = {
    // step                unit  data  group info                     reply  decoded by         also needs                  asked                  mask  handler                     refusal
    {power::kStepModel,    0x40, 0x51, power::GroupInfo::None,        0x40, power::Units::Port, 0,                          power::Ask::BeforeRounds, 0,    &PMBusPower::OnModel,    power::Refusal::Repeat},
    {power::kStepAcAnalog, 0x40, 0x41, power::GroupInfo::Always,      0x40, power::Units::Ac,   0,                          power::Ask::Always,    0,    &PMBusPower::OnAcAnalog, power::Refusal::Restart},
    {power::kStepAcSwitch, 0x40, 0x43, power::GroupInfo::Always,      0x40, power::Units::Ac,   0,                          power::Ask::AcFlag,    0x10, &PMBusPower::OnAcSwitch, power::Refusal::Repeat},
    {power::kStepAcAlarm,  0x40, 0x44, power::GroupInfo::Always,      0x40, power::Units::Ac,   0,                          power::Ask::AcFlag,    0x01, &PMBusPower::OnAcAlarm,  power::Refusal::Repeat},
    {power::kStepRcAnalog, 0x41, 0x41, power::GroupInfo::None,        0x41, power::Units::Rc,   0,                          power::Ask::Always,    0,    &PMBusPower::OnRcAnalog, power::Refusal::Repeat},
    {power::kStepRcSwitch, 0x41, 0x43, power::GroupInfo::None,        0x41, power::Units::Rc,   0,                          power::Ask::RcFlag,    0x10, &PMBusPower::template OnRcReply<PMBusPower::kRcSwitch>, power::Refusal::Repeat},
    {power::kStepRcAlarm,  0x41, 0x44, power::GroupInfo::None,        0x41, power::Units::Rc,   0,                          power::Ask::RcFlag,    0x01, &PMBusPower::template OnRcReply<PMBusPower::kRcAlarm>,  power::Refusal::Repeat},
    {power::kStepDcAnalog, 0x42, 0x41, power::GroupInfo::IfVersion21, 0x42, power::Units::Dc,   0,                          power::Ask::Always,    0,    &PMBusPower::OnDcAnalog, power::Refusal::Repeat},
    {power::kStepDcAlarm,  0x42, 0x44, power::GroupInfo::IfVersion21, 0x42, power::Units::Dc,   0,                          power::Ask::ReplyFlag, 0x11, &PMBusPower::OnDcAlarm,  power::Refusal::Repeat},
    {power::kStepAcParam,  0x40, 0x46, power::GroupInfo::None,        0x40, power::Units::Rc,   power::Ac | power::Dc,      power::Ask::Always,    0,    &PMBusPower::template OnRcReply<PMBusPower::kAcParam>,  power::Refusal::Repeat},
    {power::kStepDcParam,  0x42, 0x46, power::GroupInfo::None,        0x42, power::Units::Rc,   power::Dc,                  power::Ask::Always,    0,    &PMBusPower::template OnRcReply<PMBusPower::kDcParam>,  power::Refusal::Repeat},
};

template <typename AC, typename DC, typename RC>
const typename PMBusPower<AC, DC, RC>::Step* PMBusPower<AC, DC, RC>::FindStep(int step) {
  for (const Step& row : kSteps)
    if (row.step == step) return &row;
  return nullptr;
}

template <typename AC, typename DC, typename RC>
bool PMBusPower<AC, DC, RC>::Configured(unsigned units) const {
  return (!(units & power::Ac) || !acDevices_.empty()) &&
         (!(units & power::Dc) || !dcDevices_.empty()) && (!(units & power::Rc) || rcDevice_);
}

template <typename AC, typename DC, typename RC>
bool PMBusPower<AC, DC, RC>::HasDecoder(const Step& row) const {
  return Configured(row.owner);
}

template <typename AC, typename DC, typename RC>
bool PMBusPower<AC, DC, RC>::Asked(const Step& row, unsigned char replyFlag) const {
  if (!Configured(row.owner | row.needs)) return false;
  switch (row.ask) {
    case power::Ask::BeforeRounds: return false;
    case power::Ask::Always: return true;
    case power::Ask::AcFlag: return !dataReady_ || (acDataFlag_ & row.mask);
    case power::Ask::RcFlag: return !dataReady_ || (rcDataFlag_ & row.mask);
    case power::Ask::ReplyFlag: return !dataReady_ || (replyFlag & row.mask);
  }
  return false;
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::Send(const Step& row) {
  step_ = row.step;
  const bool group = row.info == power::GroupInfo::Always ||
                     (row.info == power::GroupInfo::IfVersion21 && version_ == 0x21);
  if (group)
    write_pmbus_cmd(row.unit, row.data, &commandGroup_, 1);
  else
    write_pmbus_cmd(row.unit, row.data);
  return 1;
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::SendFirstFrom(const Step* from, unsigned char replyFlag) {
  for (const Step* row = from; row != std::end(kSteps); ++row)
    if (Asked(*row, replyFlag)) return Send(*row);
  return EndRound();
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::StartRound() {
  return SendFirstFrom(std::begin(kSteps), 0);
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
int PMBusPower<AC, DC, RC>::RefreshStatus() {
  if (PMBusProtocol::RefreshStatus() == 0) return 0;
  const std::int64_t elapsed =
      host_clock::ElapsedSeconds(lastUpdate_, host_clock::LocalSecondClock());
  if (elapsed < 2 && !detectPending_) {
    pollState_ = 0;
    return 0;
  }
  if (detectPending_) return Send(*FindStep(power::kStepModel));
  const Step* row = FindStep(step_);
  if (!row || row->owner == power::Units::Port) return 1;
  // A round starts, or a step whose decoders are gone starts the round over.
  if (step_ == power::kStepAcAnalog || !HasDecoder(*row)) return StartRound();
  // Repeats the command whose reply was refused or never came.
  return Send(*row);
}

template <typename AC, typename DC, typename RC>
int PMBusPower<AC, DC, RC>::process_payload() {
  PauseBeforeReply();
  const Step* row = FindStep(step_);
  if (!row || !reply_) return 1;
  power::Verdict verdict = power::Verdict::Refuse;
  unsigned char flag = 0;
  if (reply_[2] == row->replyUnit && HasDecoder(*row)) {
    const unsigned word = reply_[4] | static_cast<unsigned>(reply_[5]) << 8;
    const int length = std::min(static_cast<int>(word / 2), power::kMaxInfoLength);
    const unsigned char* info = reply_ + 6;
    verdict = (this->*row->decode)(info, length);
    if (length > 0) flag = info[0];
  }
  switch (verdict) {
    case power::Verdict::Next: return SendFirstFrom(row + 1, flag);
    case power::Verdict::Hold: return 1;
    case power::Verdict::Refuse: break;
  }
  if (row->refusal == power::Refusal::Repeat) return 1;
  Reset();
  return 0;
}
