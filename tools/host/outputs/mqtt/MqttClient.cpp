// The MQTT exporter's broker thread. Retained topics go out again after every
// (re)connect, since a restarted broker may have lost them; alarm edges leave
// the queue only when the broker acknowledges them, and are handed to the
// library in order, at most kEdgeWindow unacknowledged (the library keeps those
// across a reconnect and sends them again before anything newer).
#include "tools/host/outputs/mqtt/MqttClient.h"

#include <fmt/format.h>
#include <mosquitto.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace runner {
namespace {

using std::chrono::milliseconds;
constexpr milliseconds kFirstRetry{500}, kMaxRetry{5000}, kFinishWait{2000};
// An edge not acknowledged this long after a reconnect is handed over again.
constexpr milliseconds kEdgeResend{5000};
constexpr std::size_t kEdgeWindow = 64;
constexpr int kKeepAliveS = 30;

}  // namespace

MqttClient::MqttClient(MqttSettings settings, std::shared_ptr<MqttQueue> queue)
    : s_(std::move(settings)), topics_(s_), queue_(std::move(queue)), delay_(kFirstRetry) {
  mosquitto_lib_init();
  m_ = mosquitto_new(s_.clientId.c_str(), true, this);
  if (!m_) {
    mosquitto_lib_cleanup();
    throw std::runtime_error("cannot create the MQTT client");
  }
  mosquitto_int_option(m_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  if (!s_.url.user.empty())
    mosquitto_username_pw_set(m_, s_.url.user.c_str(), s_.url.password ? s_.url.password->c_str() : nullptr);
  if (s_.url.tls && mosquitto_tls_set(m_, s_.ca.empty() ? nullptr : s_.ca.c_str(),
                                      s_.ca.empty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr,
                                      nullptr) != MOSQ_ERR_SUCCESS) {
    mosquitto_destroy(m_);
    mosquitto_lib_cleanup();
    throw std::runtime_error("cannot set up TLS for MQTT with " + (s_.ca.empty() ? "/etc/ssl/certs" : s_.ca));
  }
  mosquitto_will_set(m_, topics_.status.c_str(), 7, "offline", 1, true);
  mosquitto_connect_callback_set(m_, [](mosquitto*, void* self, int rc) { static_cast<MqttClient*>(self)->Connected(rc); });
  mosquitto_publish_callback_set(m_,
                                 [](mosquitto*, void* self, int mid) { static_cast<MqttClient*>(self)->Acknowledged(mid); });
  queue_->Put(topics_.status, "online", 1, false);
  thread_ = std::thread([this] { Run(); });
}

MqttClient::~MqttClient() {
  queue_->Stop();
  if (thread_.joinable()) thread_.join();
  mosquitto_destroy(m_);
  mosquitto_lib_cleanup();
}

bool MqttClient::Finish() {
  queue_->Stop();
  // It says "offline", sends what it can for up to 2 s and disconnects; a
  // connection attempt to a host that does not answer can take minutes, and
  // the run does not wait for it.
  if (queue_->WaitDone(kFinishWait + milliseconds(1000))) return true;
  thread_.detach();
  return false;
}

void MqttClient::Say(const std::string& line) { std::fprintf(stderr, "qpr2427k-host: mqtt: %s\n", line.c_str()); }

void MqttClient::Connected(int rc) {
  if (rc != 0) {
    Lost(fmt::format("the broker refused the connection: {}", mosquitto_connack_string(rc)));
    return;
  }
  connected_ = true;
  edgeSince_ = Clock::now();  // the library sends an unacknowledged edge again itself
  delay_ = kFirstRetry;
  Say(fmt::format("connected to {}:{}", s_.url.host, s_.url.port));
  saidDown_ = false;
  queue_->MarkAllDirty();  // a restarted broker has none of them
  queue_->Put(topics_.status, "online", 1, false);
}

void MqttClient::Acknowledged(int mid) {
  retainedMids_.erase(mid);
  const auto at = std::find(edgeMids_.begin(), edgeMids_.end(), mid);
  if (at == edgeMids_.end()) return;  // not an edge
  const auto index = at - edgeMids_.begin();
  edgeMids_.erase(at);
  edgeSince_ = Clock::now();
  queue_->EraseEdge(static_cast<std::size_t>(index));
}

void MqttClient::Run() {
  Serve();
  FinishRun();
  queue_->Done();
}

void MqttClient::Serve() {
  while (!queue_->Stopping()) {
    if (mosquitto_socket(m_) < 0 && !Connect()) {
      WaitRetry();
      continue;
    }
    if (connected_) Send();
    pollfd fds[2] = {{mosquitto_socket(m_), static_cast<short>(POLLIN | (mosquitto_want_write(m_) ? POLLOUT : 0)), 0},
                     {queue_->WakeFd(), POLLIN, 0}};
    if (poll(fds, 2, 1000) < 0 && errno != EINTR) Lost(std::strerror(errno));
    if (fds[1].revents & POLLIN) queue_->TakeWake();
    int rc = MOSQ_ERR_SUCCESS;
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) rc = mosquitto_loop_read(m_, 1);
    if (rc == MOSQ_ERR_SUCCESS && mosquitto_socket(m_) >= 0 && mosquitto_want_write(m_))
      rc = mosquitto_loop_write(m_, 1);
    if (rc == MOSQ_ERR_SUCCESS && mosquitto_socket(m_) >= 0) rc = mosquitto_loop_misc(m_);
    if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(m_) < 0) {
      Lost(rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
      WaitRetry();
    }
  }
}

// The run is over: say "offline" ourselves (a clean disconnect sends no will).
// Away now: one last try, so that the alarm edges still queued go out.
void MqttClient::FinishRun() {
  const auto until = Clock::now() + kFinishWait;
  if (!connected_ && (mosquitto_socket(m_) >= 0 || Connect())) {
    while (!connected_ && mosquitto_socket(m_) >= 0 && Clock::now() < until) {
      pollfd fd{mosquitto_socket(m_), static_cast<short>(POLLIN | (mosquitto_want_write(m_) ? POLLOUT : 0)), 0};
      poll(&fd, 1, 50);
      if ((fd.revents & (POLLIN | POLLHUP | POLLERR)) && mosquitto_loop_read(m_, 1) != MOSQ_ERR_SUCCESS) break;
      if (mosquitto_socket(m_) >= 0 && mosquitto_want_write(m_)) mosquitto_loop_write(m_, 1);
    }
  }
  if (!connected_) {
    const auto count = queue_->Counts();
    if (count.queued || count.dropped)
      Say(fmt::format("the broker did not come back: {} alarm change(s) not delivered", count.queued + count.dropped));
    return;
  }
  queue_->Put(topics_.status, "offline", 1, false);
  bool queued = false;  // everything handed to the library
  while (connected_ && Clock::now() < until) {
    Send();
    if (!queued) queued = !queue_->Dirty(topics_.status) && queue_->Counts().queued == 0;
    // Done when the broker has acknowledged everything (the library holds
    // back QoS 1 messages past its in-flight limit until then).
    if (queued && edgeMids_.empty() && retainedMids_.empty() && !mosquitto_want_write(m_)) break;
    pollfd fd{mosquitto_socket(m_), static_cast<short>(POLLIN | (mosquitto_want_write(m_) ? POLLOUT : 0)), 0};
    poll(&fd, 1, 50);
    if ((fd.revents & (POLLIN | POLLHUP | POLLERR)) && mosquitto_loop_read(m_, 1) != MOSQ_ERR_SUCCESS) break;
    if (mosquitto_socket(m_) >= 0 && mosquitto_want_write(m_) && mosquitto_loop_write(m_, 1) != MOSQ_ERR_SUCCESS) break;
  }
  if (mosquitto_socket(m_) >= 0) {
    mosquitto_disconnect(m_);
    mosquitto_loop_write(m_, 1);
  }
}

bool MqttClient::Connect() {
  connected_ = false;
  // Blocking, on this thread only; the poll loop never waits for it.
  const int rc = mosquitto_connect(m_, s_.url.host.c_str(), static_cast<int>(s_.url.port), kKeepAliveS);
  if (rc == MOSQ_ERR_SUCCESS) return true;
  Lost(rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
  return false;
}

void MqttClient::Send() {
  auto out = queue_->TakeDirty();
  if (!edgeMids_.empty() && Clock::now() - edgeSince_ > kEdgeResend) edgeMids_.clear();  // hand them over again
  const std::vector<std::string> edges = queue_->Edges(edgeMids_.size(), kEdgeWindow);
  SayDropped(true);
  // Availability first, so subscribers see "online" before the states.
  std::stable_partition(out.begin(), out.end(), [&](const auto& p) { return p.first == topics_.status; });
  for (const auto& [topic, r] : out) {
    int mid = 0;
    if (mosquitto_publish(m_, &mid, topic.c_str(), static_cast<int>(r.payload.size()), r.payload.data(), r.qos,
                          true) == MOSQ_ERR_SUCCESS &&
        r.qos > 0)
      retainedMids_.insert(mid);
  }
  for (const auto& e : edges) {
    int mid = 0;
    if (mosquitto_publish(m_, &mid, topics_.edges.c_str(), static_cast<int>(e.size()), e.data(), 1, false) !=
        MOSQ_ERR_SUCCESS)
      break;
    edgeMids_.push_back(mid);
    edgeSince_ = Clock::now();
  }
}

void MqttClient::Lost(const std::string& why) {
  const bool was = connected_;
  connected_ = false;  // the library has closed the socket, or will on its next read
  if (was) {
    Say(fmt::format("connection to {}:{} lost ({}); retrying", s_.url.host, s_.url.port, why));
    saidDown_ = true;
  } else if (!saidDown_) {
    Say(fmt::format("cannot connect to {}:{} ({}); polling goes on, retrying", s_.url.host, s_.url.port, why));
    saidDown_ = true;
  }
}

// Once when the queue of edges overflows, and the count once it has room again.
void MqttClient::SayDropped(bool connectedNow) {
  const auto count = queue_->Counts();
  if (count.dropped == droppedSaid_) return;
  if (connectedNow && count.queued < MqttQueue::kEdgeLimit) {
    Say(fmt::format("{} alarm change(s) dropped while the queue of {} was full", count.dropped - droppedSaid_,
                    MqttQueue::kEdgeLimit));
    droppedSaid_ = count.dropped;
    saidFull_ = false;
  } else if (!saidFull_) {
    Say(fmt::format("the queue of {} alarm changes is full; newer ones are dropped and counted", MqttQueue::kEdgeLimit));
    saidFull_ = true;
  }
}

void MqttClient::WaitRetry() {
  // Sleeps the back-off unless the run ends first.
  const auto until = Clock::now() + delay_;
  delay_ = std::min(delay_ * 2, kMaxRetry);
  while (Clock::now() < until) {
    if (queue_->Stopping()) return;
    pollfd fd{queue_->WakeFd(), POLLIN, 0};
    const auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now()).count();
    poll(&fd, 1, static_cast<int>(std::max<long long>(1, left)));
    queue_->TakeWake();
    SayDropped(false);
  }
}

}  // namespace runner
