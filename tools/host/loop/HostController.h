// The runner's controller: every host service the devices call becomes an
// observation on the runner's stream; work items go to the work thread, and
// what they save comes back to the loop thread.
#pragma once
#include <boost/asio/thread_pool.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "host/KLDController.h"
#include "tools/host/stream/Observation.h"

namespace runner {

class Link;

class HostController : public KLDController {
 public:
  // Runs a function on the loop thread (asio::post in the runner).
  using Post = std::function<void(std::function<void()>)>;
  // The system reports another number of units than the settings configure.
  using MismatchSink = std::function<void(const std::string& unitKind, unsigned reported, unsigned configured)>;

  // `system` (may be null) tags everything this controller's device says.
  explicit HostController(const ObservationBus& bus, const SystemRef* system = nullptr);

  void SetLink(Link* link) { link_ = link; }
  void SetWorkPool(boost::asio::thread_pool* pool) { pool_ = pool; }
  void SetLoopPost(Post post) { post_ = std::move(post); }
  void SetMismatchSink(MismatchSink sink) { mismatch_ = std::move(sink); }
  // The port device's children, whose positions the history observations carry.
  void SetChildren(const std::vector<std::shared_ptr<KLDVDevice>>& children);
  // Listen mode: the replies accepted until the next call are the remembered
  // ones of `file`, seen at `seen` (empty file: the line's own).
  void SetRemembered(std::string file, Millis seen) {
    rememberedFile_ = std::move(file);
    rememberedSeen_ = seen;
  }

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

 private:
  void Emit(Observation o) const { bus_.Emit(std::move(o), system_); }

  const ObservationBus& bus_;
  const SystemRef* system_;
  Link* link_ = nullptr;
  boost::asio::thread_pool* pool_ = nullptr;
  Post post_;
  MismatchSink mismatch_;
  std::map<const KLDVDevice*, unsigned> childIndex_;  // written before the work thread starts

  std::uint64_t commands_ = 0, publications_ = 0;
  unsigned char lastCid1_ = 0, lastCid2_ = 0;
  std::chrono::steady_clock::time_point lastCommandAt_;
  std::map<const KLDVDevice*, std::size_t> published_;
  std::string rememberedFile_;
  Millis rememberedSeen_ = 0;
};

}  // namespace runner
