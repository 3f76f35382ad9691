// The runner's controller: every host service the devices call becomes an
// event on the --events stream; alarms, images and saved history are kept for
// the round view and the cache file; work items go to the work thread.
#pragma once
#include <boost/asio/thread_pool.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "host/KLDController.h"
#include "tools/host/EventLog.h"

namespace runner {

class Link;

struct AlarmState {
  unsigned dataId = 0;
  std::string deviceType, key, code, name, text;
  int level = 0;
  bool active = false;
};

class HostController : public KLDController {
 public:
  using LineSink = std::function<void(const std::string&)>;

  HostController(EventLog& events, LineSink logSink);

  void SetLink(Link* link) { link_ = link; }
  void SetWorkPool(boost::asio::thread_pool* pool) { pool_ = pool; }

  void CheckThresholdBool(KLDVDevice& device, int level, const std::string& key,
                          const std::string& code, const std::string& name,
                          const std::string& text, bool active, unsigned short slot) override;
  void SendSP(KLDVDevice& device, int recordType, const unsigned char* data, unsigned int length,
              bool flag) override;
  void SaveDeviceHistory(KLDVDevice& device, const unsigned char* data, unsigned int length) override;
  void CheckThresholdWork(std::function<void()> work) override;
  bool DoBatchCheckThreshold(KLDVDevice& device, const std::vector<rule_value>& rules) override;
  void Log(const KLDVDevice& device, const char* format, const LogArg* args,
           std::size_t count) override;
  void SendBytes(KLDVDevice& device, const unsigned char* data, std::size_t length) override;
  void OnProtocolEvent(KLDVDevice& device, const ProtocolEvent& event) override;

  // Loop thread only.
  std::uint64_t commandsSent() const { return commands_; }
  std::uint64_t publications() const { return publications_; }
  // Unit and data code of the last command sent.
  unsigned char lastCid1() const { return lastCid1_; }
  unsigned char lastCid2() const { return lastCid2_; }
  std::chrono::steady_clock::time_point lastCommandAt() const { return lastCommandAt_; }
  // Length of the last image a device published (0: none yet).
  std::size_t PublishedLength(const KLDVDevice* device) const;
  // Every alarm reported so far, by device, key and text, in first-report order.
  std::vector<AlarmState> Alarms() const;

  // Any thread: the last history image a device saved.
  std::optional<std::vector<unsigned char>> LastSaved(const KLDVDevice* device) const;

 private:
  EventLog& events_;
  LineSink logSink_;
  Link* link_ = nullptr;
  boost::asio::thread_pool* pool_ = nullptr;

  std::uint64_t commands_ = 0, publications_ = 0;
  unsigned char lastCid1_ = 0, lastCid2_ = 0;
  std::chrono::steady_clock::time_point lastCommandAt_;
  std::map<const KLDVDevice*, std::size_t> published_;
  std::map<std::tuple<unsigned, std::string, std::string, std::string>, std::size_t> alarmIndex_;
  std::vector<AlarmState> alarms_;

  mutable std::mutex savedMutex_;
  std::map<const KLDVDevice*, std::vector<unsigned char>> saved_;
};

}  // namespace runner
