// The MQTT exporter's broker thread on libmosquitto: connects (with back-off),
// polls the socket and the queue's eventfd, hands the queue's messages to the
// library as far as its bounds allow, and takes the broker's acknowledgements.
#pragma once
#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
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

  // What the library may hold for the broker: QoS 1 messages not yet
  // acknowledged, in number and bytes (topic and payload). Past them retained
  // topics wait with only their latest payload, and edges in their queue.
  static constexpr std::size_t kLibraryMessages = 500;
  static constexpr std::size_t kLibraryBytes = 2 << 20;

 private:
  // Whether Send() hands the availability topic over: as any other topic; not
  // yet (the run's end: everything else first); now, even if the previous
  // one is unacknowledged (the run's end: "offline" is the last word).
  enum class StatusGoes { kAsAny, kNotYet, kNow };
  struct Unacked {
    std::size_t bytes = 0;
    std::string topic;  // a retained topic; empty: an edge
  };

  using Clock = std::chrono::steady_clock;

  void Run();
  void Serve();
  void FinishRun();
  bool Connect();
  void Send(StatusGoes status = StatusGoes::kAsAny);
  // mosquitto_publish(), noting whether it wrote a QoS 0 message at once.
  int Publish(int* mid, const std::string& topic, const std::string& payload, int qos, bool retained);
  bool Handed(int rc, int mid, const std::string& topic, std::size_t bytes, int qos, bool retained);
  void Stalled(bool full);
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
  Clock::time_point edgeSince_;  // the last progress: a hand-over, an acknowledgement, a reconnect
  std::map<int, Unacked> unacked_;      // QoS 1 messages the library holds, by message id
  std::size_t unackedBytes_ = 0;
  std::set<std::string> inFlight_;      // retained topics with a QoS 1 message in unacked_
  std::multiset<int> qos0Pending_;      // QoS 0 message ids not yet written (ids wrap around)
  bool publishing_ = false;             // inside mosquitto_publish()
  bool writtenAtOnce_ = false;          // the message it hands over was written before it returned
  Clock::time_point lastAck_;           // an acknowledgement, a connect, or the first hand-over after none waited
  bool stalled_ = false;                // said: the broker acknowledges nothing, states wait
  unsigned long long replacedAtStall_ = 0;
  std::set<std::string> saidRefused_;   // topics the library refused, said once each
  bool saidDown_ = false;
  bool saidFull_ = false;               // the queue's overflow is said, not yet its count
  unsigned long long droppedSaid_ = 0;  // dropped edges counted in a line already
  std::chrono::milliseconds delay_;
  std::thread thread_;
};

}  // namespace runner
