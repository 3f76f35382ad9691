// The MQTT exporter's broker thread on libmosquitto: connects (with back-off),
// polls the socket and the queue's eventfd, hands the queue's messages to the
// library and takes the broker's acknowledgements.
#pragma once
#include <chrono>
#include <deque>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include "tools/host/outputs/mqtt/MqttQueue.h"
#include "tools/host/outputs/mqtt/MqttSettings.h"

struct mosquitto;

namespace runner {

class MqttClient {
 public:
  // Starts the thread; throws if the client cannot be made.
  MqttClient(MqttSettings settings, std::shared_ptr<MqttQueue> queue);
  ~MqttClient();  // stops and joins the thread
  MqttClient(const MqttClient&) = delete;
  MqttClient& operator=(const MqttClient&) = delete;

  // Ends the run: "offline", what is queued for up to kFinishWait, a disconnect.
  // False if the thread did not return in time (a connection attempt that
  // hangs): the thread is then detached and this object must be left to it.
  bool Finish();

 private:
  using Clock = std::chrono::steady_clock;

  void Run();
  void Serve();
  void FinishRun();
  bool Connect();
  void Send();
  void Lost(const std::string& why);
  void Say(const std::string& line);
  void WaitRetry();
  void SayDropped(bool connectedNow);
  void Connected(int rc);
  void Acknowledged(int mid);

  const MqttSettings s_;
  const MqttTopics topics_;
  const std::shared_ptr<MqttQueue> queue_;
  mosquitto* m_ = nullptr;

  // The thread's own.
  bool connected_ = false;
  std::deque<int> edgeMids_;     // the edges handed to the library, not yet acknowledged, oldest first
  std::set<int> retainedMids_;   // retained QoS 1 messages not yet acknowledged
  Clock::time_point edgeSince_;  // the last progress: a hand-over, an acknowledgement, a reconnect
  bool saidDown_ = false;
  bool saidFull_ = false;               // the queue's overflow is said, not yet its count
  unsigned long long droppedSaid_ = 0;  // dropped edges counted in a line already
  std::chrono::milliseconds delay_;
  std::thread thread_;
};

}  // namespace runner
