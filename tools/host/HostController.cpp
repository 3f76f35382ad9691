// Host services of the runner: events, alarm table, images, work thread.
#include "tools/host/HostController.h"

#include <boost/asio/post.hpp>

#include "host/KLDVDevice.h"
#include "host/PMBusProtocol.h"
#include "tools/host/Links.h"

namespace runner {
namespace {

std::string HexByte(unsigned char b) { return EventLog::Hex(&b, 1); }

}  // namespace

HostController::HostController(EventLog& events, LineSink logSink)
    : events_(events), logSink_(std::move(logSink)) {}

void HostController::CheckThresholdBool(KLDVDevice& device, int level, const std::string& key,
                                        const std::string& code, const std::string& name,
                                        const std::string& text, bool active, unsigned short slot) {
  events_.Write({{"event", "alarm"},
                 {"data_id", device.DataId()},
                 {"device_type", device.DeviceType()},
                 {"level", level},
                 {"key", key},
                 {"code", code},
                 {"name", name},
                 {"text", text},
                 {"active", active},
                 {"slot", slot}});

  const auto id = std::make_tuple(device.DataId(), device.DeviceType(), key, text);
  auto it = alarmIndex_.find(id);
  if (it == alarmIndex_.end()) {
    it = alarmIndex_.emplace(id, alarms_.size()).first;
    alarms_.push_back({device.DataId(), device.DeviceType(), key, code, name, text, level, active});
  }
  AlarmState& a = alarms_[it->second];
  a.code = code;
  a.name = name;
  a.level = level;
  a.active = active;
}

void HostController::SendSP(KLDVDevice& device, int recordType, const unsigned char* data,
                            unsigned int length, bool) {
  ++publications_;
  published_[&device] = length;
  events_.Write({{"event", "publish"},
                 {"data_id", device.DataId()},
                 {"record_type", recordType},
                 {"image", EventLog::Hex(data, length)}});
}

void HostController::SaveDeviceHistory(KLDVDevice& device, const unsigned char* data,
                                       unsigned int length) {
  {
    std::lock_guard<std::mutex> lock(savedMutex_);
    saved_[&device].assign(data, data + length);
  }
  events_.Write({{"event", "history"}, {"data_id", device.DataId()}, {"image", EventLog::Hex(data, length)}});
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
  const std::string line = Format(format, args, count);
  events_.Write({{"event", "log"}, {"data_id", device.DataId()}, {"message", line}});
  if (logSink_) logSink_(line);
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
  events_.Write({{"event", "command"},
                 {"cid1", HexByte(lastCid1_)},
                 {"cid2", HexByte(lastCid2_)},
                 {"info", decoded ? EventLog::Hex(d.info.data(), d.info.size()) : std::string()},
                 {"frame", frame}});
  if (link_) link_->Write(data, length);
}

void HostController::OnProtocolEvent(KLDVDevice&, const ProtocolEvent& event) {
  switch (event.kind) {
    case ProtocolEvent::Kind::Reply:
      events_.Write({{"event", "reply"},
                     {"cid1", HexByte(event.cid1)},
                     {"rtn", HexByte(event.rtn)},
                     {"info", EventLog::Hex(event.info, event.info ? event.infoLen : 0)},
                     {"frame", std::string(event.frame)}});
      break;
    case ProtocolEvent::Kind::Rejected:
      events_.Write({{"event", "rejected"}, {"reason", std::string(event.reason)}});
      break;
    case ProtocolEvent::Kind::Timeout:
      events_.Write({{"event", "timeout"}});
      break;
  }
}

std::size_t HostController::PublishedLength(const KLDVDevice* device) const {
  const auto it = published_.find(device);
  return it == published_.end() ? 0 : it->second;
}

std::vector<AlarmState> HostController::Alarms() const { return alarms_; }

std::optional<std::vector<unsigned char>> HostController::LastSaved(const KLDVDevice* device) const {
  std::lock_guard<std::mutex> lock(savedMutex_);
  const auto it = saved_.find(device);
  if (it == saved_.end()) return std::nullopt;
  return it->second;
}

}  // namespace runner
