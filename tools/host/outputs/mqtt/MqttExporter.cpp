// The MQTT exporter on libmosquitto. The loop thread formats each message and
// queues it; a thread of its own connects (with back-off), polls the socket
// and an eventfd, and publishes. Retained topics keep only their latest
// payload and go out again after every (re)connect, since a restarted broker
// may have lost them; alarm edges keep their order in a bounded queue, leave
// it only when the broker acknowledges them, and are handed to the library
// in order, at most kEdgeWindow unacknowledged (the library keeps those
// across a reconnect and sends them again before anything newer).
#include "tools/host/outputs/mqtt/MqttExporter.h"

#include <fmt/format.h>
#include <mosquitto.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "tools/host/stream/EventJson.h"

namespace runner {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
constexpr milliseconds kFirstRetry{500}, kMaxRetry{5000}, kFinishWait{2000};
// An edge not acknowledged this long after a reconnect is handed over again.
constexpr milliseconds kEdgeResend{5000};
constexpr std::size_t kEdgeWindow = 64;
constexpr int kKeepAliveS = 30;

// What a value key measures, for Home Assistant. A key starting with '*'
// matches every key ending with the rest ("*_f": each channel's frequency).
struct ValueKind {
  const char* key;
  const char* deviceClass;  // null: none
  const char* unit;
  bool measurement;
};
constexpr ValueKind kValueKinds[] = {
    {"*_alert", nullptr, nullptr, false},  // a status code
    {"*_f", "frequency", "Hz", true},      {"*_a", "voltage", "V", true},
    {"*_b", "voltage", "V", true},         {"*_c", "voltage", "V", true},
    {"ia", "current", "A", true},          {"ib", "current", "A", true},
    {"ic", "current", "A", true},          {"i", "current", "A", true},
    {"v", "voltage", "V", true},           {"modules", nullptr, nullptr, true},
};

const ValueKind* KindOf(const std::string& key) {
  for (const auto& k : kValueKinds) {
    const std::string match = k.key;
    if (match[0] == '*' ? key.size() >= match.size() && key.compare(key.size() - match.size() + 1, std::string::npos,
                                                                   match, 1, std::string::npos) == 0
                        : key == match)
      return &k;
  }
  return nullptr;
}

// A topic level or discovery id: letters, digits, '-' and '_' only.
std::string Level(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_') c = '_';
  return out;
}

// An alarm's topic level: its key and a hash of its text (texts may be in any
// script, so they are not spelled out; FNV-1a keeps the level the same across runs).
std::string AlarmLevel(const AlarmCall& a) {
  std::uint32_t h = 2166136261u;
  for (unsigned char c : a.text) h = (h ^ c) * 16777619u;
  return fmt::format("{}-{:08x}", Level(a.key), h);
}

std::string Text(const Json::Value& v) {
  static const std::unique_ptr<Json::StreamWriter> writer = [] {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["precision"] = 9;
    b["emitUTF8"] = true;
    return std::unique_ptr<Json::StreamWriter>(b.newStreamWriter());
  }();
  std::ostringstream s;
  writer->write(v, &s);
  return s.str();
}

// Zero- or space-padded text from the hex of a reply's info.
std::string PaddedText(const std::string& hex, std::size_t from, std::size_t bytes) {
  std::string out;
  for (std::size_t k = from; k < from + bytes && 2 * k + 1 < hex.size(); ++k) {
    const char c = static_cast<char>(std::stoi(hex.substr(2 * k, 2), nullptr, 16));
    if (c == '\0') break;
    out += c;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

struct UnitId {
  unsigned dataId = 0;
  std::string deviceType;
};

}  // namespace

std::string DefaultSite() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || !name[0]) return "site";
  return Level(name);
}

struct MqttExporter::Impl {
  explicit Impl(MqttSettings settings);
  ~Impl();

  // Loop thread: formatting.
  void Put(const std::string& topic, Json::Value payload, int qos = 1, bool wakeUp = true);
  void Edge(Json::Value payload);
  void Wake();
  std::string UnitLevel(const UnitId& u) const { return Level(fmt::format("{}-{}", u.deviceType, u.dataId)); }
  std::string Node(const UnitId& u) const { return Level(fmt::format("{}_{}_{}", s.prefix, s.site, UnitLevel(u))); }
  Json::Value Device(const UnitId& u) const;
  void SensorConfig(const UnitId& u, const std::string& key);
  void AlarmConfig(const AlarmCall& a);
  std::string AlarmTopic(const AlarmCall& a) const {
    return fmt::format("{}/alarm/{}/{}", base, UnitLevel({a.dataId, a.deviceType}), AlarmLevel(a));
  }
  Json::Value AlarmState(const AlarmCall& a, bool active, Millis since, Millis t) const;
  void Values(const ValuesRead& v, Millis t);

  // Broker thread.
  void Run();
  void Serve();
  bool Connect();
  void Send();
  void Lost(const std::string& why);
  void Say(const std::string& line) { std::fprintf(stderr, "qpr2427k-host: mqtt: %s\n", line.c_str()); }
  void WaitRetry();
  void SayDropped(bool connectedNow);

  const MqttSettings s;
  const std::string base, status;
  mosquitto* m = nullptr;
  int wake = -1;

  // Shared, under mu.
  struct Retained {
    std::string payload;
    int qos = 1;
    bool dirty = true;
  };
  std::mutex mu;
  std::map<std::string, Retained> retained;
  std::deque<std::string> edges;  // payloads, oldest first
  unsigned long long dropped = 0;  // edges past the limit, in all
  bool stop = false, done = false;  // done: Run() has returned
  std::condition_variable ended;

  // Loop thread only.
  unsigned char lastCid1 = 0, lastCid2 = 0;
  std::string maker, model, version;
  Millis roundT = 0;
  double roundMs = 0;
  std::map<std::string, std::pair<UnitId, std::set<std::string>>> units;  // level: unit, keys configured
  std::map<std::string, AlarmCall> alarms;                                  // topic: first call seen
  unsigned long long edgeSeq = 0;

  // Broker thread only.
  bool connected = false;
  std::deque<int> edgeMids;     // the edges handed to the library, not yet acknowledged, oldest first
  std::set<int> retainedMids;   // retained QoS 1 messages not yet acknowledged
  Clock::time_point edgeSince;  // the last progress: a hand-over, an acknowledgement, a reconnect
  bool saidDown = false;
  bool saidFull = false;             // the queue's overflow is said, not yet its count
  unsigned long long droppedSaid = 0;  // dropped edges counted in a line already
  milliseconds delay = kFirstRetry;
  std::thread thread;
};

MqttExporter::Impl::Impl(MqttSettings settings)
    : s(std::move(settings)), base(s.prefix + "/" + s.site), status(base + "/status") {
  mosquitto_lib_init();
  m = mosquitto_new(s.clientId.c_str(), true, this);
  wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (!m || wake < 0) throw std::runtime_error("cannot create the MQTT client");
  mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  if (!s.url.user.empty())
    mosquitto_username_pw_set(m, s.url.user.c_str(), s.url.password ? s.url.password->c_str() : nullptr);
  if (s.url.tls &&
      mosquitto_tls_set(m, s.ca.empty() ? nullptr : s.ca.c_str(), s.ca.empty() ? "/etc/ssl/certs" : nullptr, nullptr,
                        nullptr, nullptr) != MOSQ_ERR_SUCCESS)
    throw std::runtime_error("cannot set up TLS for MQTT with " + (s.ca.empty() ? "/etc/ssl/certs" : s.ca));
  mosquitto_will_set(m, status.c_str(), 7, "offline", 1, true);
  mosquitto_connect_callback_set(m, [](mosquitto*, void* self, int rc) {
    auto* i = static_cast<Impl*>(self);
    if (rc != 0) {
      i->Lost(fmt::format("the broker refused the connection: {}", mosquitto_connack_string(rc)));
      return;
    }
    i->connected = true;
    i->edgeSince = Clock::now();  // the library sends an unacknowledged edge again itself
    i->delay = kFirstRetry;
    i->Say(fmt::format("connected to {}:{}", i->s.url.host, i->s.url.port));
    i->saidDown = false;
    std::lock_guard<std::mutex> lock(i->mu);
    for (auto& r : i->retained) r.second.dirty = true;  // a restarted broker has none of them
    i->retained[i->status] = {"online", 1, true};
  });
  mosquitto_publish_callback_set(m, [](mosquitto*, void* self, int mid) {
    auto* i = static_cast<Impl*>(self);
    i->retainedMids.erase(mid);
    const auto at = std::find(i->edgeMids.begin(), i->edgeMids.end(), mid);
    if (at == i->edgeMids.end()) return;  // not an edge
    const auto index = at - i->edgeMids.begin();
    i->edgeMids.erase(at);
    i->edgeSince = Clock::now();
    std::lock_guard<std::mutex> lock(i->mu);
    i->edges.erase(i->edges.begin() + index);
  });
  retained[status] = {"online", 1, true};
  thread = std::thread([this] { Run(); });
}

MqttExporter::Impl::~Impl() {
  {
    std::lock_guard<std::mutex> lock(mu);
    stop = true;
  }
  Wake();
  if (thread.joinable()) thread.join();
  if (m) mosquitto_destroy(m);
  if (wake >= 0) close(wake);
  mosquitto_lib_cleanup();
}

void MqttExporter::Impl::Wake() {
  const std::uint64_t one = 1;
  if (write(wake, &one, sizeof one) < 0) { /* the counter is full: the thread is awake anyway */
  }
}

void MqttExporter::Impl::Put(const std::string& topic, Json::Value payload, int qos, bool wakeUp) {
  std::string text = Text(payload);
  {
    std::lock_guard<std::mutex> lock(mu);
    Retained& r = retained[topic];
    r.payload = std::move(text);
    r.qos = qos;
    r.dirty = true;
  }
  if (wakeUp) Wake();
}

void MqttExporter::Impl::Edge(Json::Value payload) {
  payload["seq"] = static_cast<Json::UInt64>(++edgeSeq);
  std::string text = Text(payload);
  {
    std::lock_guard<std::mutex> lock(mu);
    if (edges.size() >= kEdgeLimit) {
      ++dropped;  // said by the broker thread
    } else {
      edges.push_back(std::move(text));
    }
  }
  Wake();
}

Json::Value MqttExporter::Impl::Device(const UnitId& u) const {
  Json::Value d;
  d["identifiers"].append(Node(u));
  d["name"] = fmt::format("{} {} {}", s.site, u.deviceType, u.dataId);
  if (!maker.empty()) d["manufacturer"] = maker;
  if (!model.empty()) d["model"] = model;
  if (!version.empty()) d["sw_version"] = version;
  return d;
}

void MqttExporter::Impl::SensorConfig(const UnitId& u, const std::string& key) {
  Json::Value c;
  const std::string node = Node(u);
  c["name"] = key;
  c["unique_id"] = node + "_" + Level(key);
  c["state_topic"] = fmt::format("{}/unit/{}/state", base, UnitLevel(u));
  c["value_template"] = fmt::format("{{{{ value_json['values']['{}'] }}}}", key);
  if (const ValueKind* k = KindOf(key)) {
    if (k->deviceClass) c["device_class"] = k->deviceClass;
    if (k->unit) c["unit_of_measurement"] = k->unit;
    if (k->measurement) c["state_class"] = "measurement";
  }
  c["availability_topic"] = status;
  c["payload_available"] = "online";
  c["payload_not_available"] = "offline";
  c["device"] = Device(u);
  Put(fmt::format("homeassistant/sensor/{}/{}/config", node, Level(key)), c);
}

void MqttExporter::Impl::AlarmConfig(const AlarmCall& a) {
  const UnitId u{a.dataId, a.deviceType};
  const std::string node = Node(u), object = AlarmLevel(a);
  Json::Value c;
  c["name"] = a.name.empty() ? a.key : a.name + (a.text.empty() ? "" : " " + a.text);
  c["unique_id"] = node + "_alarm_" + object;
  c["state_topic"] = AlarmTopic(a);
  c["value_template"] = "{{ 'ON' if value_json.active else 'OFF' }}";
  c["json_attributes_topic"] = AlarmTopic(a);
  c["device_class"] = "problem";
  c["availability_topic"] = status;
  c["payload_available"] = "online";
  c["payload_not_available"] = "offline";
  c["device"] = Device(u);
  Put(fmt::format("homeassistant/binary_sensor/{}/{}/config", node, object), c);
}

Json::Value MqttExporter::Impl::AlarmState(const AlarmCall& a, bool active, Millis since, Millis t) const {
  Json::Value v = AlarmObject(a);
  v["active"] = active;
  v["since"] = active ? Json::Value(static_cast<Json::Int64>(since)) : Json::Value();
  v["t"] = static_cast<Json::Int64>(t);
  return v;
}

void MqttExporter::Impl::Values(const ValuesRead& v, Millis t) {
  std::map<std::string, Json::Value> states;  // unit level: state
  const auto state = [&](const UnitId& u) -> Json::Value& {
    const std::string level = UnitLevel(u);
    units.emplace(level, std::make_pair(u, std::set<std::string>()));
    Json::Value& st = states[level];
    if (st.isNull()) {
      st["data_id"] = u.dataId;
      st["device_type"] = u.deviceType;
      st["round"] = static_cast<Json::Int64>(v.round);
      st["t"] = static_cast<Json::Int64>(v.round ? roundT : t);
      // How old the oldest reply behind these values is: the round's length
      // plus the time since it ended (values restored from a cache: unknown).
      st["age_ms"] = v.round ? Json::Value(static_cast<Json::Int64>(t - roundT + static_cast<Millis>(roundMs)))
                             : Json::Value();
      st["values"] = Json::Value(Json::objectValue);
    }
    return st;
  };
  const auto value = [&](const UnitId& u, const std::string& key, Json::Value x) {
    state(u)["values"][key] = std::move(x);
    auto& keys = units[UnitLevel(u)].second;
    if (keys.insert(key).second) SensorConfig(u, key);
  };
  for (const auto& r : v.rows) {
    const UnitId u{r.dataId, r.deviceType};
    value(u, r.key, r.ok ? Number(r.value) : Json::Value());
    if (!r.ok) state(u)["errors"][r.key] = r.error;
  }
  for (const auto& [id, count] : v.rectifierModules) value({id, "qpr2427k-rc"}, "modules", count);
  for (auto& [level, st] : states) Put(fmt::format("{}/unit/{}/state", base, level), std::move(st), 0, false);
  Wake();  // once for the round's states
}

void MqttExporter::Impl::Run() {
  Serve();
  std::lock_guard<std::mutex> lock(mu);
  done = true;
  ended.notify_all();
}

void MqttExporter::Impl::Serve() {
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mu);
      if (stop) break;
    }
    if (mosquitto_socket(m) < 0 && !Connect()) {
      WaitRetry();
      continue;
    }
    if (connected) Send();
    pollfd fds[2] = {{mosquitto_socket(m), static_cast<short>(POLLIN | (mosquitto_want_write(m) ? POLLOUT : 0)), 0},
                     {wake, POLLIN, 0}};
    if (poll(fds, 2, 1000) < 0 && errno != EINTR) Lost(std::strerror(errno));
    if (fds[1].revents & POLLIN) {
      std::uint64_t n = 0;
      if (read(wake, &n, sizeof n) < 0) { /* nothing to take */
      }
    }
    int rc = MOSQ_ERR_SUCCESS;
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) rc = mosquitto_loop_read(m, 1);
    if (rc == MOSQ_ERR_SUCCESS && mosquitto_socket(m) >= 0 && mosquitto_want_write(m)) rc = mosquitto_loop_write(m, 1);
    if (rc == MOSQ_ERR_SUCCESS && mosquitto_socket(m) >= 0) rc = mosquitto_loop_misc(m);
    if (rc != MOSQ_ERR_SUCCESS || mosquitto_socket(m) < 0) {
      Lost(rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
      WaitRetry();
    }
  }
  // The run is over: say "offline" ourselves (a clean disconnect sends no will).
  // Away now: one last try, so that the alarm edges still queued go out.
  const auto until = Clock::now() + kFinishWait;
  if (!connected && (mosquitto_socket(m) >= 0 || Connect())) {
    while (!connected && mosquitto_socket(m) >= 0 && Clock::now() < until) {
      pollfd fd{mosquitto_socket(m), static_cast<short>(POLLIN | (mosquitto_want_write(m) ? POLLOUT : 0)), 0};
      poll(&fd, 1, 50);
      if ((fd.revents & (POLLIN | POLLHUP | POLLERR)) && mosquitto_loop_read(m, 1) != MOSQ_ERR_SUCCESS) break;
      if (mosquitto_socket(m) >= 0 && mosquitto_want_write(m)) mosquitto_loop_write(m, 1);
    }
  }
  if (!connected) {
    std::lock_guard<std::mutex> lock(mu);
    if (!edges.empty() || dropped)
      Say(fmt::format("the broker did not come back: {} alarm change(s) not delivered", edges.size() + dropped));
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mu);
    retained[status] = {"offline", 1, true};
  }
  bool queued = false;  // everything handed to the library
  while (connected && Clock::now() < until) {
    Send();
    if (!queued) {
      std::lock_guard<std::mutex> lock(mu);
      queued = !retained[status].dirty && edges.empty();
    }
    // Done when the broker has acknowledged everything (the library holds
    // back QoS 1 messages past its in-flight limit until then).
    if (queued && edgeMids.empty() && retainedMids.empty() && !mosquitto_want_write(m)) break;
    pollfd fd{mosquitto_socket(m), static_cast<short>(POLLIN | (mosquitto_want_write(m) ? POLLOUT : 0)), 0};
    poll(&fd, 1, 50);
    if ((fd.revents & (POLLIN | POLLHUP | POLLERR)) && mosquitto_loop_read(m, 1) != MOSQ_ERR_SUCCESS) break;
    if (mosquitto_socket(m) >= 0 && mosquitto_want_write(m) && mosquitto_loop_write(m, 1) != MOSQ_ERR_SUCCESS) break;
  }
  if (mosquitto_socket(m) >= 0) {
    mosquitto_disconnect(m);
    mosquitto_loop_write(m, 1);
  }
}

bool MqttExporter::Impl::Connect() {
  connected = false;
  // Blocking, on this thread only; the poll loop never waits for it.
  const int rc = mosquitto_connect(m, s.url.host.c_str(), static_cast<int>(s.url.port), kKeepAliveS);
  if (rc == MOSQ_ERR_SUCCESS) return true;
  Lost(rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
  return false;
}

void MqttExporter::Impl::Send() {
  std::vector<std::pair<std::string, Retained>> out;
  std::vector<std::string> edge;
  {
    std::lock_guard<std::mutex> lock(mu);
    for (auto& [topic, r] : retained)
      if (r.dirty) {
        out.emplace_back(topic, r);
        r.dirty = false;
      }
    if (!edgeMids.empty() && Clock::now() - edgeSince > kEdgeResend) edgeMids.clear();  // hand them over again
    for (std::size_t k = edgeMids.size(); k < edges.size() && k < kEdgeWindow; ++k) edge.push_back(edges[k]);
  }
  SayDropped(true);
  // Availability first, so subscribers see "online" before the states.
  std::stable_partition(out.begin(), out.end(), [&](const auto& p) { return p.first == status; });
  for (const auto& [topic, r] : out) {
    int mid = 0;
    if (mosquitto_publish(m, &mid, topic.c_str(), static_cast<int>(r.payload.size()), r.payload.data(), r.qos, true) ==
            MOSQ_ERR_SUCCESS &&
        r.qos > 0)
      retainedMids.insert(mid);
  }
  const std::string topic = base + "/edges";
  for (const auto& e : edge) {
    int mid = 0;
    if (mosquitto_publish(m, &mid, topic.c_str(), static_cast<int>(e.size()), e.data(), 1, false) != MOSQ_ERR_SUCCESS)
      break;
    edgeMids.push_back(mid);
    edgeSince = Clock::now();
  }
}

void MqttExporter::Impl::Lost(const std::string& why) {
  const bool was = connected;
  connected = false;  // the library has closed the socket, or will on its next read
  if (was) {
    Say(fmt::format("connection to {}:{} lost ({}); retrying", s.url.host, s.url.port, why));
    saidDown = true;
  } else if (!saidDown) {
    Say(fmt::format("cannot connect to {}:{} ({}); polling goes on, retrying", s.url.host, s.url.port, why));
    saidDown = true;
  }
}

// Once when the queue of edges overflows, and the count once it has room again.
void MqttExporter::Impl::SayDropped(bool connectedNow) {
  unsigned long long total = 0;
  std::size_t queued = 0;
  {
    std::lock_guard<std::mutex> lock(mu);
    total = dropped, queued = edges.size();
  }
  if (total == droppedSaid) return;
  if (connectedNow && queued < kEdgeLimit) {
    Say(fmt::format("{} alarm change(s) dropped while the queue of {} was full", total - droppedSaid, kEdgeLimit));
    droppedSaid = total;
    saidFull = false;
  } else if (!saidFull) {
    Say(fmt::format("the queue of {} alarm changes is full; newer ones are dropped and counted", kEdgeLimit));
    saidFull = true;
  }
}

void MqttExporter::Impl::WaitRetry() {
  // Sleeps the back-off unless the run ends first.
  const auto until = Clock::now() + delay;
  delay = std::min(delay * 2, kMaxRetry);
  while (Clock::now() < until) {
    {
      std::lock_guard<std::mutex> lock(mu);
      if (stop) return;
    }
    pollfd fd{wake, POLLIN, 0};
    const auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now()).count();
    poll(&fd, 1, static_cast<int>(std::max<long long>(1, left)));
    std::uint64_t n = 0;
    if (read(wake, &n, sizeof n) < 0) { /* nothing to take */
    }
    SayDropped(false);
  }
}

MqttExporter::MqttExporter(MqttSettings settings) : impl_(std::make_unique<Impl>(std::move(settings))) {}
MqttExporter::~MqttExporter() = default;

void MqttExporter::Observe(const Stamped& o) {
  if (!impl_) return;  // finished
  Impl& i = *impl_;
  if (const auto* c = std::get_if<CommandSent>(&o.what)) {
    i.lastCid1 = c->cid1, i.lastCid2 = c->cid2;
  } else if (const auto* r = std::get_if<ReplyAccepted>(&o.what)) {
    // The model reply: 10 bytes of name, the version's 2 bytes, 20 bytes of maker.
    if (i.lastCid2 != 0x51 || r->cid1 != i.lastCid1 || r->info.size() < 64) return;
    i.model = PaddedText(r->info, 0, 10);
    i.version = fmt::format("{}.{}", std::stoi(r->info.substr(20, 2), nullptr, 16),
                            std::stoi(r->info.substr(22, 2), nullptr, 16));
    i.maker = PaddedText(r->info, 12, 20);
    for (const auto& [level, unit] : i.units)  // devices named before the model came
      for (const auto& key : unit.second) i.SensorConfig(unit.first, key);
    for (const auto& [topic, a] : i.alarms) i.AlarmConfig(a);
  } else if (const auto* e = std::get_if<RoundEnded>(&o.what)) {
    i.roundT = o.t, i.roundMs = e->ms;
  } else if (const auto* v = std::get_if<ValuesRead>(&o.what)) {
    i.Values(*v, o.t);
  } else if (const auto* a = std::get_if<AlarmCall>(&o.what)) {
    const std::string topic = i.AlarmTopic(*a);
    if (i.alarms.count(topic)) return;
    i.alarms.emplace(topic, *a);
    i.AlarmConfig(*a);
    // Its state from the first call; an edge (below) follows if it is active.
    i.Put(topic, i.AlarmState(*a, false, 0, o.t));
  } else if (const auto* ch = std::get_if<AlarmChange>(&o.what)) {
    Json::Value st = i.AlarmState(ch->alarm, ch->raised, ch->since, o.t);
    i.Put(i.AlarmTopic(ch->alarm), st);
    st["change"] = ch->raised ? "raised" : "cleared";
    i.Edge(std::move(st));
  } else if (const auto* h = std::get_if<HealthChanged>(&o.what)) {
    Json::Value v;
    v["state"] = HealthName(h->state);
    v["previous"] = HealthName(h->previous);
    v["message"] = h->message;
    v["t"] = static_cast<Json::Int64>(o.t);
    i.Put(i.base + "/health", v);
  }
}

void MqttExporter::Finish() {
  if (!impl_) return;
  {
    std::unique_lock<std::mutex> lock(impl_->mu);
    impl_->stop = true;
  }
  impl_->Wake();
  // It says "offline", sends what it can for up to 2 s and disconnects; a
  // connection attempt to a host that does not answer can take minutes, and
  // the run does not wait for it: the exporter is then left to the exit.
  std::unique_lock<std::mutex> lock(impl_->mu);
  const bool ended = impl_->ended.wait_for(lock, kFinishWait + milliseconds(1000), [&] { return impl_->done; });
  lock.unlock();
  if (ended) {
    impl_.reset();
  } else {
    impl_->thread.detach();
    (void)impl_.release();  // still in use by its thread until the process ends
  }
}

}  // namespace runner
