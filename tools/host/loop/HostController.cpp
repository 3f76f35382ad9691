// Host services of the runner: observations, images, the work thread.
#include "tools/host/loop/HostController.h"

#include <boost/asio/post.hpp>
#include <cstring>

#include "host/KLDVDevice.h"
#include "host/PMBusProtocol.h"
#include "tools/host/stream/EventJson.h"
#include "tools/host/line/Links.h"

namespace runner {
namespace {

// The port device's log lines for a unit count that differs from the settings.
struct MismatchFormat {
  const char* format;
  const char* unitKind;
};
constexpr MismatchFormat kMismatch[] = {
    {"PMBusPower:ProcotolError {} read ac_number is {}, configured ac_number is {}", "AC"},
    {"PMBusPower:ProcotolError {} read dc_number is {}, configured dc_number is {}", "DC"},
};

}  // namespace

HostController::HostController(const ObservationBus& bus, const SystemRef* system) : bus_(bus), system_(system) {}

void HostController::SetChildren(const std::vector<std::shared_ptr<KLDVDevice>>& children) {
  childIndex_.clear();
  for (std::size_t k = 0; k < children.size(); ++k)
    if (children[k]) childIndex_[children[k].get()] = static_cast<unsigned>(k);
}

void HostController::CheckThresholdBool(KLDVDevice& device, int level, const std::string& key,
                                        const std::string& code, const std::string& name,
                                        const std::string& text, bool active, unsigned short slot) {
  Emit(AlarmCall{device.DataId(), device.DeviceType(), level, key, code, name, text, active, slot});
}

void HostController::SendSP(KLDVDevice& device, int recordType, const unsigned char* data,
                            unsigned int length, bool) {
  ++publications_;
  published_[&device] = length;
  Emit(Published{device.DataId(), recordType, std::vector<unsigned char>(data, data + length)});
}

void HostController::SaveDeviceHistory(KLDVDevice& device, const unsigned char* data,
                                       unsigned int length) {
  // Called on the work thread: stamped here, observed on the loop thread.
  const auto at = childIndex_.find(&device);
  Stamped s{WallMillis(),
            HistorySaved{device.DataId(), at == childIndex_.end() ? 0u : at->second, device.DeviceType(),
                         std::vector<unsigned char>(data, data + length)},
            system_};
  if (post_) post_([this, s = std::move(s)] { bus_.Emit(s); });
  else bus_.Emit(std::move(s));
}

void HostController::CheckThresholdWork(std::function<void()> work) {
  if (!work) return;
  if (pool_) boost::asio::post(*pool_, std::move(work));
  else work();
}

bool HostController::DoBatchCheckThreshold(KLDVDevice&, const std::vector<rule_value>&) {
  return false;  // the runner keeps no threshold rules of its own
}

void HostController::Log(const KLDVDevice& device, const char* format, const LogArg* args,
                         std::size_t count) {
  Emit(LogLine{device.DataId(), Format(format, args, count)});
  if (!mismatch_ || !format || count != 3) return;
  for (const auto& m : kMismatch)
    if (std::strcmp(format, m.format) == 0 && args[1].kind != LogArg::Kind::Text && args[2].kind != LogArg::Kind::Text)
      mismatch_(m.unitKind, static_cast<unsigned>(std::stoul(args[1].ToString())),
                static_cast<unsigned>(std::stoul(args[2].ToString())));
}

void HostController::SendBytes(KLDVDevice&, const unsigned char* data, std::size_t length) {
  ++commands_;
  lastCommandAt_ = std::chrono::steady_clock::now();
  std::string frame(reinterpret_cast<const char*>(data), length);
  while (!frame.empty() && frame.back() == '\r') frame.pop_back();
  yd1363::Decoded d;
  const bool decoded = frame.size() > 1 && yd1363::Decode(frame.data() + 1, frame.size() - 1, d).empty();
  lastCid1_ = decoded ? d.cid1 : 0;
  lastCid2_ = decoded ? d.cid2 : 0;
  Emit(CommandSent{lastCid1_, lastCid2_, decoded ? Hex(d.info.data(), d.info.size()) : std::string(),
                        std::move(frame)});
  if (link_) link_->Write(data, length);
}

void HostController::OnProtocolEvent(KLDVDevice&, const ProtocolEvent& event) {
  switch (event.kind) {
    case ProtocolEvent::Kind::Reply:
      Emit(ReplyAccepted{event.cid1, event.rtn, Hex(event.info, event.info ? event.infoLen : 0),
                         std::string(event.frame), rememberedFile_, rememberedFile_.empty() ? 0 : rememberedSeen_});
      break;
    case ProtocolEvent::Kind::Rejected:
      Emit(FrameRejected{std::string(event.reason)});
      break;
    case ProtocolEvent::Kind::Timeout:
      Emit(ReplyMissing{});
      break;
  }
}

std::size_t HostController::PublishedLength(const KLDVDevice* device) const {
  const auto it = published_.find(device);
  return it == published_.end() ? 0 : it->second;
}

}  // namespace runner
