// The MQTT exporter's broker thread. Retained topics go out again after every
// (re)connect, since a restarted broker may have lost them; alarm edges leave
// the queue only when the broker acknowledges them, and are handed to the
// library in order, at most kEdgeWindow unacknowledged (the library keeps those
// across a reconnect and sends them again before anything newer). What the
// library holds is bounded whatever the broker does: a retained topic is not
// handed over again while its last QoS 1 message is unacknowledged, all QoS 1
// messages unacknowledged stay within kLibraryMessages and kLibraryBytes, and
// QoS 0 states wait while the socket has not taken the last ones. What is
// handed over is written at once (no Nagle delay), a burst of it (a round's
// states) in as few TCP segments as it fits.
#include "tools/host/outputs/mqtt/MqttClient.h"

#include <fmt/format.h>
#include <mosquitto.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

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
constexpr unsigned kInFlight = 20;  // QoS 1 messages on the wire unacknowledged; the library queues the rest
// Nothing acknowledged this long while messages wait: the broker is said to stall.
constexpr milliseconds kStall{10000};
// At the run's end "offline" goes last, or this long before the end at the latest.
constexpr milliseconds kOfflineMargin{500};

// Holds the packets written while it lives in the kernel and sends them in as
// few segments as they fit: a round's states reach the broker in one segment
// (one wake-up for it) instead of one each, with no delay (TCP_NODELAY is on).
class Burst {
 public:
  Burst(mosquitto* m, bool several) : m_(m), fd_(several ? mosquitto_socket(m) : -1) { Cork(1); }
  ~Burst() {
    if (mosquitto_socket(m_) == fd_) Cork(0);  // not a descriptor the library has closed meanwhile
  }
  Burst(const Burst&) = delete;
  Burst& operator=(const Burst&) = delete;

 private:
  void Cork(int on) {
    if (fd_ >= 0) setsockopt(fd_, IPPROTO_TCP, TCP_CORK, &on, sizeof on);  // a failure only costs segments
  }
  mosquitto* const m_;
  const int fd_;
};

}  // namespace

MqttClient::MqttClient(MqttSettings settings, std::shared_ptr<MqttQueue> queue)
    : s_(std::move(settings)), topics_(s_), queue_(std::move(queue)), delay_(kFirstRetry) {
  mosquitto_lib_init();
  m_ = mosquitto_new(s_.clientId.c_str(), true, this);
  if (!m_) {
    const int e = errno;  // EINVAL: the client id is not an MQTT string
    mosquitto_lib_cleanup();
    throw std::runtime_error(fmt::format("cannot create the MQTT client: {}",
                                         e == EINVAL ? "the library refuses the client id" : std::strerror(e)));
  }
  const auto fail = [&](const std::string& what, int rc) {
    mosquitto_destroy(m_);
    mosquitto_lib_cleanup();
    throw std::runtime_error(
        fmt::format("{}: {}", what, rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc)));
  };
  mosquitto_int_option(m_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  // Without it a round's second state waits in the kernel (Nagle) for the
  // broker's TCP acknowledgement of the first, which the broker may delay by
  // up to 40 ms, having nothing to answer to a QoS 0 message.
  int rc = mosquitto_int_option(m_, MOSQ_OPT_TCP_NODELAY, 1);
  if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_max_inflight_messages_set(m_, kInFlight);
  if (rc != MOSQ_ERR_SUCCESS) fail("cannot create the MQTT client", rc);
  if (!s_.url.user.empty() &&
      (rc = mosquitto_username_pw_set(m_, s_.url.user.c_str(),
                                      s_.url.password ? s_.url.password->c_str() : nullptr)) != MOSQ_ERR_SUCCESS)
    fail("cannot give the MQTT client its user name", rc);
  if (s_.url.tls && (rc = mosquitto_tls_set(m_, s_.ca.empty() ? nullptr : s_.ca.c_str(),
                                            s_.ca.empty() ? "/etc/ssl/certs" : nullptr, nullptr, nullptr, nullptr)) !=
                        MOSQ_ERR_SUCCESS)
    fail("cannot set up TLS for MQTT with " + (s_.ca.empty() ? "/etc/ssl/certs" : s_.ca), rc);
  if ((rc = mosquitto_will_set(m_, topics_.status.c_str(), 7, "offline", 1, true)) != MOSQ_ERR_SUCCESS)
    fail("cannot set the MQTT will on " + topics_.status, rc);
  mosquitto_connect_callback_set(m_,
                                 [](mosquitto*, void* self, int rc) { static_cast<MqttClient*>(self)->Connected(rc); });
  mosquitto_publish_callback_set(
      m_, [](mosquitto*, void* self, int mid) { static_cast<MqttClient*>(self)->Acknowledged(mid); });
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
  edgeSince_ = lastAck_ = Clock::now();  // the library sends an unacknowledged message again itself
  qos0Pending_.clear();                   // the packets not written are gone with the old socket
  delay_ = kFirstRetry;
  Say(fmt::format("connected to {}:{}", s_.url.host, s_.url.port));
  saidDown_ = false;
  queue_->MarkAllDirty();  // a restarted broker has none of them
  queue_->Put(topics_.status, "online", 1, false);
}

// A QoS 1 message acknowledged, or a QoS 0 one written.
void MqttClient::Acknowledged(int mid) {
  if (const auto q = qos0Pending_.find(mid); q != qos0Pending_.end()) {
    qos0Pending_.erase(q);
    return;
  }
  // Inside mosquitto_publish() only writes report (acknowledgements are
  // read in mosquitto_loop_read()): the QoS 0 message being handed over,
  // written at once, before its id is known here.
  if (publishing_) {
    writtenAtOnce_ = true;
    return;
  }
  const auto u = unacked_.find(mid);
  if (u == unacked_.end()) return;
  unackedBytes_ -= u->second.bytes;
  if (!u->second.topic.empty()) inFlight_.erase(u->second.topic);
  unacked_.erase(u);
  lastAck_ = Clock::now();
  // Over once the library has let go of half of what it may hold, so that a
  // broker catching up at the bounds is said once, not at every acknowledgement.
  if (stalled_ && unacked_.size() <= kLibraryMessages / 2 && unackedBytes_ <= kLibraryBytes / 2) {
    stalled_ = false;
    Say(fmt::format("the broker acknowledges again; {} retained update(s) were replaced by newer ones meanwhile",
                    queue_->Replaced() - replacedAtStall_));
    queue_->Wake();  // what waited goes now
  }
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
  // "offline" goes last, once the broker has everything else, so that a
  // subscriber that sees it has seen the run's last states and edges.
  queue_->Put(topics_.status, "offline", 1, false);
  bool offline = false;  // handed to the library
  while (connected_ && Clock::now() < until) {
    const bool rest = queue_->DirtyExcept(topics_.status) == 0 && queue_->Counts().queued == 0 &&
                      unacked_.empty() && !mosquitto_want_write(m_);
    if (offline && rest) break;  // the broker has acknowledged everything
    const bool last = rest || Clock::now() > until - kOfflineMargin;
    Send(offline ? StatusGoes::kAsAny : last ? StatusGoes::kNow : StatusGoes::kNotYet);
    offline = offline || (last && !queue_->Dirty(topics_.status));
    pollfd fd{mosquitto_socket(m_), static_cast<short>(POLLIN | (mosquitto_want_write(m_) ? POLLOUT : 0)), 0};
    poll(&fd, 1, 50);
    if ((fd.revents & (POLLIN | POLLHUP | POLLERR)) && mosquitto_loop_read(m_, 1) != MOSQ_ERR_SUCCESS) break;
    if (mosquitto_socket(m_) >= 0 && mosquitto_want_write(m_) && mosquitto_loop_write(m_, 1) != MOSQ_ERR_SUCCESS) break;
  }
  if (stalled_)
    Say(fmt::format("the broker acknowledged nothing to the end: {} message(s) not acknowledged, {} retained "
                    "update(s) replaced by newer ones meanwhile",
                    unacked_.size(), queue_->Replaced() - replacedAtStall_));
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

void MqttClient::Send(StatusGoes status) {
  const bool backlog = mosquitto_want_write(m_);  // the socket has not taken the last packets yet
  std::size_t messages = unacked_.size(), bytes = unackedBytes_;
  bool full = false;
  const auto room = [&](std::size_t size) {
    if (messages >= kLibraryMessages || bytes + size > kLibraryBytes) return !(full = true);
    ++messages, bytes += size;
    return true;
  };
  auto out = queue_->TakeDirty([&](const std::string& topic, const MqttQueue::Retained& r) {
    const bool isStatus = topic == topics_.status;
    if (isStatus && status != StatusGoes::kAsAny) return status == StatusGoes::kNow;  // one past the bounds at most
    if (r.qos == 0) return !backlog;
    if (inFlight_.count(topic)) return false;
    return room(topic.size() + r.payload.size());
  });
  if (!edgeMids_.empty() && Clock::now() - edgeSince_ > kEdgeResend) edgeMids_.clear();  // hand them over again
  // Only as many as may go: copying what will wait anyway only holds up the loop thread.
  const std::size_t may =
      std::min(kEdgeWindow, edgeMids_.size() + (kLibraryMessages - std::min(messages, kLibraryMessages)));
  const std::vector<MqttQueue::Edge> edges = queue_->Edges(edgeMids_.size(), may);
  SayDropped(true);
  // Availability first, so subscribers see "online" before the states.
  std::stable_partition(out.begin(), out.end(), [&](const auto& p) { return p.first == topics_.status; });
  const Burst burst(m_, out.size() + edges.size() > 1);
  for (const auto& [topic, r] : out) {
    int mid = 0;
    const int rc = Publish(&mid, topic, r.payload, r.qos, true);
    Handed(rc, mid, topic, topic.size() + r.payload.size(), r.qos, true);
  }
  for (const auto& e : edges) {  // each system's edges on its own topic, all in one order
    const std::size_t size = e.topic.size() + e.payload.size();
    if (!room(size)) break;
    int mid = 0;
    const int rc = Publish(&mid, e.topic, e.payload, 1, false);
    if (!Handed(rc, mid, e.topic, size, 1, false)) break;
    edgeMids_.push_back(mid);
    edgeSince_ = Clock::now();
  }
  Stalled(full);
}

int MqttClient::Publish(int* mid, const std::string& topic, const std::string& payload, int qos, bool retained) {
  publishing_ = true;
  writtenAtOnce_ = false;
  const int rc = mosquitto_publish(m_, mid, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos,
                                   retained);
  publishing_ = false;
  return rc;
}

// Books a message handed to the library; says once per topic if it refused one.
bool MqttClient::Handed(int rc, int mid, const std::string& topic, std::size_t bytes, int qos, bool retained) {
  if (rc != MOSQ_ERR_SUCCESS) {
    if (rc != MOSQ_ERR_NO_CONN && saidRefused_.insert(topic).second)
      Say(fmt::format("cannot publish on {}: {}", topic, mosquitto_strerror(rc)));
    return false;
  }
  if (qos == 0) {
    if (!writtenAtOnce_) qos0Pending_.insert(mid);  // its write reports later, from the library's loop
    return true;
  }
  if (unacked_.empty()) lastAck_ = Clock::now();  // waiting starts now
  unacked_[mid] = {bytes, retained ? topic : std::string()};
  unackedBytes_ += bytes;
  if (retained) inFlight_.insert(topic);
  return true;
}

// Once when the broker stops acknowledging (or the library's bounds are
// reached); the count of what was replaced meanwhile once it has caught up
// (in Acknowledged()).
void MqttClient::Stalled(bool full) {
  if (stalled_ || unacked_.empty() || !(full || Clock::now() - lastAck_ > kStall)) return;
  stalled_ = true;
  replacedAtStall_ = queue_->Replaced();
  Say(full ? fmt::format("{} message(s) ({} bytes) wait for the broker's acknowledgement, as many as the client "
                         "holds; newer states wait with only the latest of each kept",
                         unacked_.size(), unackedBytes_)
           : fmt::format("the broker has acknowledged nothing for {} s ({} message(s) wait); newer states wait with "
                         "only the latest of each kept",
                         std::chrono::duration_cast<std::chrono::seconds>(kStall).count(), unacked_.size()));
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
    Say(fmt::format("the queue of {} alarm changes is full; newer ones are dropped and counted",
                    MqttQueue::kEdgeLimit));
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
