// The reference system's settings and replies, and the rig that polls it.
#include "bench/Reference.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstring>
#include <fmt/format.h>
#include <stdexcept>

#include "host/HostClock.h"
#include "host/PMBusProtocol.h"
#include "tests/support/Bytes.h"
#include "units/ac/AcAlarmRows.h"
#include "units/dc/SystemStatusTable.h"

namespace bench {

using testing_support::PutFloat;
namespace {

constexpr unsigned char kVersion = 0x21;
constexpr unsigned char kAddress = 1;
// Data flag of the analog replies: switch and alarm status changed, so the
// round asks for every status reply.
constexpr unsigned char kAllChanged = 0x11;
// Rectifier modules report three user-defined alarm bytes each.
constexpr unsigned char kModuleUserAlarms = 3;
constexpr unsigned char kDcUserParams = 5;

Reply Make(int step, unsigned char unit, std::vector<unsigned char> info) {
  Reply r{step, unit, std::move(info), {}, {}};
  const std::string text = yd1363::Encode(kVersion, kAddress, unit, 0x00, r.info.data(), r.info.size());
  r.frame.assign(text.begin(), text.end());
  const unsigned lenid = static_cast<unsigned>(2 * r.info.size());
  r.decoded = {kVersion, kAddress, unit, 0x00, static_cast<unsigned char>(lenid & 0xFF),
               static_cast<unsigned char>(lenid >> 8)};
  r.decoded.insert(r.decoded.end(), r.info.begin(), r.info.end());
  return r;
}

void Fill(std::vector<unsigned char>& out, std::size_t n, unsigned char v) { out.insert(out.end(), n, v); }

}  // namespace


Json::Value ReferenceSettings() {
  Json::Value s(Json::objectValue);
  s["data_id"] = kPortId;
  s["address"] = kAddress;
  for (unsigned id : kAcIds) {
    Json::Value ac(Json::objectValue);
    ac["data_id"] = id;
    s["acSetting"].append(ac);
  }
  Json::Value dc(Json::objectValue);
  dc["data_id"] = kDcId;
  s["dcSetting"].append(dc);
  s["rcSetting"]["data_id"] = kPortId;
  return s;
}

Reply ModelReply() {
  std::vector<unsigned char> info;
  const std::string name = kModel;
  info.insert(info.end(), name.begin(), name.end());
  Fill(info, 10 - name.size(), ' ');  // device name, 10 bytes
  info.push_back(1);                  // software version
  info.push_back(0);
  const std::string maker = "QPR Power Systems";
  info.insert(info.end(), maker.begin(), maker.end());
  Fill(info, 20 - maker.size(), ' ');
  return Make(14, 0x40, std::move(info));
}

std::vector<Reply> RoundReplies() {
  const unsigned char acUnits = static_cast<unsigned char>(std::size(kAcIds));
  std::vector<Reply> round;

  std::vector<unsigned char> i;  // 40/41: flag, units, per unit the channels and phase currents
  i = {kAllChanged, acUnits};
  for (unsigned u = 0; u < acUnits; ++u) {
    i.push_back(kAcChannels);
    for (int c = 0; c < kAcChannels; ++c) {
      for (float v : {230.5f + c, 229.5f + c, 231.0f - c, 50.0f}) PutFloat(i, v);
      i.push_back(0);  // no user-defined values
    }
    for (float v : {18.0f, 17.5f, 18.5f}) PutFloat(i, v);
  }
  round.push_back(Make(0, 0x40, i));

  i = {0x00, acUnits};  // 40/43: per unit two switch bytes and three user-defined bytes
  for (unsigned u = 0; u < acUnits; ++u) {
    i.insert(i.end(), {2, 0, 1, 3, 0, 0, 0});
  }
  round.push_back(Make(1, 0x40, i));

  i = {0x00, acUnits};  // 40/44: per channel four states, no extra, one user-defined byte
  for (unsigned u = 0; u < acUnits; ++u) {
    i.push_back(kAcChannels);
    for (int c = 0; c < kAcChannels; ++c) i.insert(i.end(), {0, 0, 0, 0, 0, 1, 0});
    i.insert(i.end(), {0, 0, 0});
  }
  round.push_back(Make(2, 0x40, i));

  i = {kAllChanged};  // 41/41: flag, system voltage, modules with their current
  PutFloat(i, 53.5f);
  i.push_back(kModules);
  for (int m = 0; m < kModules; ++m) {
    PutFloat(i, 12.0f + 0.25f * static_cast<float>(m));
    i.push_back(0);
  }
  round.push_back(Make(4, 0x41, i));

  i = {0x00, kModules};  // 41/43: three status bytes per module
  for (int m = 0; m < kModules; ++m) i.insert(i.end(), {0, 0, 0, 0});
  round.push_back(Make(5, 0x41, i));

  i = {0x00, kModules};  // 41/44: fault byte and three user-defined alarm bytes per module
  for (int m = 0; m < kModules; ++m) i.insert(i.end(), {0, kModuleUserAlarms, 0, 0, 0});
  round.push_back(Make(6, 0x41, i));

  i = {kAllChanged, 1};  // 42/41: voltage, current, batteries, loads, user-defined values
  PutFloat(i, 53.5f);
  PutFloat(i, 30.0f);
  i.push_back(kBatteries);
  for (int k = 0; k < kBatteries; ++k) PutFloat(i, -1.5f);
  i.push_back(kLoads);
  for (int k = 0; k < kLoads; ++k) PutFloat(i, 3.0f + static_cast<float>(k));
  i.push_back(kUserValues);
  for (int k = 0; k < kUserValues; ++k) PutFloat(i, 1.0f);
  round.push_back(Make(7, 0x42, i));

  i = {0x00, 1, 0, kFuses};  // 42/44: voltage state, fuse states, system-status bytes
  Fill(i, kFuses, 0);
  i.push_back(kStatusBytes);
  Fill(i, kStatusBytes, 0);
  round.push_back(Make(8, 0x42, i));

  i.clear();  // 40/46: five AC parameters, no user-defined ones
  for (float v : {280.0f, 180.0f, 52.0f, 48.0f, 0.0f}) PutFloat(i, v);
  i.push_back(0);
  round.push_back(Make(3, 0x40, i));

  i.clear();  // 42/46: two DC parameters and five user-defined ones
  PutFloat(i, 57.6f);
  PutFloat(i, 43.2f);
  i.push_back(kDcUserParams);
  for (int k = 0; k < kDcUserParams; ++k) PutFloat(i, 1.0f + static_cast<float>(k));
  round.push_back(Make(9, 0x42, i));
  return round;
}

std::uint64_t Rig::AlarmsPerRound() {
  using AcRows = units::ac::AcAlarmRows<tele_c_qpr2427k_ac, tele_c_qpr2427k_ac_channel>;
  const std::uint64_t ac = std::size(kAcIds) * (kAcChannels * std::size(AcRows::kChannel) + std::size(AcRows::kCurrent));
  const std::uint64_t dc = std::size(QPR2427K_DC::kVoltRows) + kFuses + dc::kStatusRows;
  const std::uint64_t rc = kModules * (1 + tele_c_qpr2427k_rc_channel::P41_44_SIZE());
  return ac + dc + rc;
}

Rig::Rig() : controller_(std::make_shared<CountingController>()), replies_(RoundReplies()) {
  // A frozen clock: values never time out and the time stamp costs the same every round.
  host_clock::Freeze(boost::posix_time::ptime(boost::gregorian::date(2024, 5, 1),
                                              boost::posix_time::hours(12)));
  port_ = std::make_shared<QPR2427K>();
  const Json::Value settings = ReferenceSettings();
  port_->Init(controller_, kPortId, settings);
  port_->SetReplyPause(std::chrono::microseconds(0));
  // The DC unit takes the model the port device knows when it is created, so
  // the model reply comes first (with no children yet, it ends an empty round).
  Reply model = ModelReply();
  if (port_->RefreshStatus() != 1 || port_->process(model.frame.data(), static_cast<unsigned>(model.frame.size())) != 1 ||
      port_->deviceModel_ != kModel)
    throw std::runtime_error("bench: the model reply was not taken");
  if (!port_->InitSetting(settings)) throw std::runtime_error("bench: the reference settings were refused");
  if (dc().ModelName() != kModel) throw std::runtime_error("bench: the DC unit does not hold the reference model");
  port_->dataReady_ = true;  // as the host sets it after the first round
}

Rig::~Rig() { host_clock::Release(); }

bool Rig::Round() {
  if (port_->RefreshStatus() != 1) return false;
  for (Reply& r : replies_) {
    if (port_->step_ != r.step) return false;
    if (port_->process(r.frame.data(), static_cast<unsigned>(r.frame.size())) != 1) return false;
  }
  return port_->step_ == 0 && !port_->IsProcessing();
}

bool Rig::RoundWithoutReceivePath() {
  if (port_->RefreshStatus() != 1) return false;
  for (Reply& r : replies_) {
    if (port_->step_ != r.step) return false;
    port_->CloseExchange();  // what the engine does before it hands a reply over
    port_->reply_ = r.decoded.data();
    port_->process_payload();
    port_->reply_ = nullptr;
  }
  return port_->step_ == 0 && !port_->IsProcessing();
}

void Rig::WarmUp(int rounds) {
  for (int k = 0; k < rounds; ++k)
    if (!Round()) throw std::runtime_error("bench: a warm-up round failed");
}

std::string Rig::CheckRound() {
  controller_->Clear();
  if (!Round()) return "the round did not run through its ten steps";
  const CountingController& c = *controller_;
  const std::uint64_t units = std::size(kAcIds) + 2;
  std::string why;
  const auto n = [](long count) { return static_cast<std::uint64_t>(count); };
  if (n(c.commands) != replies_.size()) why += fmt::format(" {} commands, not {};", c.commands, replies_.size());
  if (c.logs != 0) why += fmt::format(" {} log lines, not 0 (last: \"{}\");", c.logs, c.lastLog);
  if (n(c.published) != units || n(c.saved) != units)
    why += fmt::format(" {} published and {} saved, not {};", c.published, c.saved, units);
  if (n(c.alarms) != AlarmsPerRound()) why += fmt::format(" {} alarms, not {};", c.alarms, AlarmsPerRound());
  if (dc().Record().alert_p != kStatusBytes) why += " the DC unit did not take all status bytes;";
  return why;
}

}  // namespace bench
