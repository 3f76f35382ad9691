// The subagent's thread: net-snmp's agent library is not thread-safe, so every
// call into it (start, requests, notifications, reconnects, shutdown) is made
// here; observations arrive through a lock-free inbox drained between requests.
// Notifications made while no master is connected wait in a bounded backlog.
#include "tools/host/outputs/snmp/SnmpAgent.h"

#include <sys/select.h>

#include <boost/lockfree/spsc_queue.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

#include "tools/host/outputs/snmp/Oid.h"
#include "tools/host/outputs/snmp/SnmpModel.h"

// net-snmp's headers last: they define macros of common names.
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>
#include <net-snmp/agent/agent_callbacks.h>

namespace runner {

namespace {
constexpr const char* kAppName = "qpr2427k-host";
// How long the thread waits for the master at most before it drains the inbox.
constexpr long kWaitUs = 50 * 1000;
// The view is built anew after observations and at least this often (sensors turn stale with time).
constexpr Millis kViewFor = 1000;
// Notifications kept while no master is connected: the newest, sent once one is.
constexpr std::size_t kBacklog = 100;

bool Wanted(const Observation& o) {
  return std::holds_alternative<Published>(o) || std::holds_alternative<AlarmChange>(o) ||
         std::holds_alternative<HealthChanged>(o);
}

std::vector<oid> NetOid(const Oid& o) { return std::vector<oid>(o.begin(), o.end()); }
}  // namespace

// One power system's part of the subagent: its model, served in the SNMP
// context named by its id (the default context with one system).
struct Context {
  Context(const Oid& root, std::string id) : name(id), model(root, std::move(id)) {}
  const MibView& View();

  std::string name;
  SnmpModel model;
  MibView view;
  bool changed = true;
  Millis viewAt = 0;
};

struct SnmpAgent::Shared {
  explicit Shared(SnmpSettings s) : settings(std::move(s)), inbox(settings.inbox) {
    contexts.push_back(std::make_unique<Context>(Root(), ""));
  }
  Oid Root() const { return *ParseOid(settings.root); }
  void Run();
  void Drain();
  void Send(const SnmpNotification& n);
  void Flush();

  SnmpSettings settings;
  // Set before the thread starts; then the subagent thread's only, like
  // everything below but the inbox and the atomics.
  std::vector<std::unique_ptr<Context>> contexts;
  boost::lockfree::spsc_queue<Stamped> inbox;
  std::atomic<unsigned long long> dropped{0};
  std::atomic<bool> stop{false};
  std::string lastLog;
  bool started = false;  // init_snmp() has returned
  bool connected = false;  // an AgentX session with the master is open
  std::deque<SnmpNotification> backlog;  // made while no master was connected, not sent yet
  unsigned long long lost = 0;  // made while no master was connected, dropped as the oldest beyond kBacklog
};

namespace {

void SetValue(netsnmp_variable_list* var, const SnmpValue& v) {
  switch (v.type) {
    case SnmpValue::Type::Integer: {
      const long n = static_cast<long>(v.number);
      snmp_set_var_typed_value(var, ASN_INTEGER, &n, sizeof n);
      break;
    }
    case SnmpValue::Type::Gauge:
    case SnmpValue::Type::TimeTicks: {
      const u_long n = static_cast<u_long>(v.number);
      snmp_set_var_typed_value(var, v.type == SnmpValue::Type::Gauge ? ASN_GAUGE : ASN_TIMETICKS, &n, sizeof n);
      break;
    }
    case SnmpValue::Type::Octets:
      snmp_set_var_typed_value(var, ASN_OCTET_STR, v.octets.data(), v.octets.size());
      break;
    case SnmpValue::Type::Object: {
      const auto o = NetOid(v.object);
      snmp_set_var_typed_value(var, ASN_OBJECT_ID, o.data(), o.size() * sizeof(oid));
      break;
    }
  }
}

// One handler for each registered subtree, answering from the model's view.
int Handle(netsnmp_mib_handler* handler, netsnmp_handler_registration* reg, netsnmp_agent_request_info* info,
           netsnmp_request_info* requests) {
  const MibView& view = static_cast<Context*>(handler->myvoid)->View();
  const Oid base(reg->rootoid, reg->rootoid + reg->rootoid_len);
  for (netsnmp_request_info* r = requests; r; r = r->next) {
    if (r->processed) continue;
    netsnmp_variable_list* var = r->requestvb;
    const Oid asked(var->name, var->name + var->name_length);
    if (info->mode == MODE_GET) {
      const auto it = view.find(asked);
      if (it == view.end() || !StartsWith(asked, base)) netsnmp_set_request_error(info, r, SNMP_NOSUCHINSTANCE);
      else SetValue(var, it->second);
    } else if (info->mode == MODE_GETNEXT) {
      // Nothing after it in this subtree: the agent goes on to the next one.
      const auto it = asked < base ? view.lower_bound(base) : view.upper_bound(asked);
      if (it == view.end() || !StartsWith(it->first, base)) continue;
      const auto name = NetOid(it->first);
      snmp_set_var_objid(var, name.data(), name.size());
      SetValue(var, it->second);
    } else {
      netsnmp_set_request_error(info, r, SNMP_ERR_NOTWRITABLE);
    }
  }
  return SNMP_ERR_NOERROR;
}

void Register(Context* context, const char* name, const Oid& at) {
  const auto o = NetOid(at);
  netsnmp_handler_registration* reg = netsnmp_create_handler_registration(name, Handle, o.data(), o.size(), HANDLER_CAN_RONLY);
  reg->handler->myvoid = context;
  if (!context->name.empty()) reg->contextName = strdup(context->name.c_str());  // freed with the registration
  if (netsnmp_register_handler(reg) != MIB_REGISTERED_OK)
    std::fprintf(stderr, "snmp: cannot register %s (%s)%s%s\n", name, OidText(at).c_str(),
                 context->name.empty() ? "" : " in context ", context->name.c_str());
}

// Whose log lines and master sessions they are: net-snmp frees a callback's
// own argument at shutdown, so the callbacks are registered without one. Set
// and read on the subagent's thread only (net-snmp allows one agent in a process).
SnmpAgent::Shared* logTo = nullptr;

// The AgentX session with the master opened (INDEX_START) or closed (INDEX_STOP:
// the master went away or stopped answering pings).
int MasterSession(int, int minor, void*, void*) {
  if (logTo) logTo->connected = minor == SNMPD_CALLBACK_INDEX_START;
  return 0;
}

// net-snmp's log lines, said once each in a row ("cannot connect" repeats at every try).
int Log(int, int, void* server, void*) {
  SnmpAgent::Shared* shared = logTo;
  if (!shared) return 0;
  const auto* m = static_cast<const snmp_log_message*>(server);
  std::string text = m && m->msg ? m->msg : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == ':')) text.pop_back();
  // While net-snmp starts it looks for MIB files it has no use for here (the
  // subagent answers by number): of what it says then, only AgentX matters.
  const bool agentx = text.find("gentX") != std::string::npos || text.find("gentx") != std::string::npos;
  if (text.empty() || text == shared->lastLog || (!shared->started && !agentx)) return 0;
  shared->lastLog = text;
  std::fprintf(stderr, "snmp: %s\n", text.c_str());
  return 0;
}

}  // namespace

const MibView& Context::View() {
  const Millis now = WallMillis();
  if (changed || now - viewAt >= kViewFor) {
    view = model.View(now, static_cast<std::uint32_t>(netsnmp_get_agent_uptime()));
    viewAt = now;
    changed = false;
  }
  return view;
}

void SnmpAgent::Shared::Send(const SnmpNotification& n) {
  static const oid kSnmpTrapOid[] = {1, 3, 6, 1, 6, 3, 1, 1, 4, 1, 0};
  netsnmp_variable_list* vars = nullptr;
  const auto trap = NetOid(n.trap);
  snmp_varlist_add_variable(&vars, kSnmpTrapOid, OID_LENGTH(kSnmpTrapOid), ASN_OBJECT_ID,
                            reinterpret_cast<const u_char*>(trap.data()), trap.size() * sizeof(oid));
  for (const auto& [name, value] : n.varbinds) {
    const auto o = NetOid(name);
    netsnmp_variable_list* var = snmp_varlist_add_variable(&vars, o.data(), o.size(), ASN_NULL, nullptr, 0);
    if (var) SetValue(var, value);
  }
  send_v2trap(vars);
  snmp_free_varbind(vars);
}

// Sends the backlog, in the order its notifications were made, once a master is there.
void SnmpAgent::Shared::Flush() {
  if (!connected || backlog.empty()) return;
  std::fprintf(stderr, "snmp: master connected: sending %zu notifications made while it was away (%llu older ones dropped)\n",
               backlog.size(), lost);
  for (const auto& n : backlog) Send(n);
  backlog.clear();
  lost = 0;
}

void SnmpAgent::Shared::Drain() {
  Flush();
  std::vector<SnmpNotification> out;
  // With several systems each observation goes to its system's context; the line's to every one.
  inbox.consume_all([&](const Stamped& o) {
    for (std::size_t k = 0; k < contexts.size(); ++k) {
      if (o.system && contexts.size() > 1 && o.system->index != k) continue;
      contexts[k]->model.Observe(o, out);
      contexts[k]->changed = true;
    }
  });
  for (auto& n : out) {
    if (connected) {
      Send(n);
      continue;
    }
    if (backlog.size() == kBacklog) backlog.pop_front(), ++lost;
    backlog.push_back(std::move(n));
  }
}

void SnmpAgent::Shared::Run() {
  // A subagent of the master at the given socket, which it pings and
  // reconnects to; no configuration files, persistent state or signals of its own.
  netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
  netsnmp_ds_set_string(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_X_SOCKET, settings.agentx.c_str());
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_ALARM_DONT_USE_SIG, 1);
  snmp_disable_log();
  netsnmp_register_loghandler(NETSNMP_LOGHANDLER_CALLBACK, LOG_INFO);
  logTo = this;
  snmp_register_callback(SNMP_CALLBACK_LIBRARY, SNMP_CALLBACK_LOGGING, Log, nullptr);
  snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_START, MasterSession, nullptr);
  snmp_register_callback(SNMP_CALLBACK_APPLICATION, SNMPD_CALLBACK_INDEX_STOP, MasterSession, nullptr);
  init_agent(kAppName);
  // After init_agent(), which sets the agent's defaults.
  netsnmp_ds_set_int(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_AGENTX_PING_INTERVAL, static_cast<int>(settings.pingS));
  for (const auto& c : contexts) {
    Register(c.get(), "qprEntPhysicalTable", kEntPhysicalTable);
    Register(c.get(), "qprEntPhySensorTable", kEntPhySensorTable);
    Register(c.get(), "qpr2427kMIB", c->model.Root());
  }
  netsnmp_set_mib_directory("");  // no MIB files: requests and notifications go by number
  init_snmp(kAppName);
  started = true;

  while (!stop.load()) {
    int fds = 0, block = 0;
    fd_set readers;
    FD_ZERO(&readers);
    timeval wait{0, kWaitUs};
    snmp_select_info(&fds, &readers, &wait, &block);
    timeval alarm{};
    if (get_next_alarm_delay_time(&alarm) && timercmp(&alarm, &wait, <)) wait = alarm;
    if (wait.tv_sec > 0 || wait.tv_usec > kWaitUs) wait = {0, kWaitUs};
    const int n = select(fds, &readers, nullptr, nullptr, &wait);
    if (n > 0) snmp_read(&readers);
    else if (n == 0) snmp_timeout();
    run_alarms();
    netsnmp_check_outstanding_agent_requests();
    Drain();
  }
  Drain();
  if (!backlog.empty())
    std::fprintf(stderr, "snmp: %zu notifications not sent: no master connected (%llu older ones dropped)\n",
                 backlog.size(), lost);
  snmp_shutdown(kAppName);
  logTo = nullptr;
}

SnmpAgent::SnmpAgent(SnmpSettings settings) : shared_(std::make_shared<Shared>(std::move(settings))) {}

SnmpAgent::~SnmpAgent() { Finish(); }

void SnmpAgent::Systems(const std::vector<SystemRef>& systems) {
  if (thread_.joinable() || finished_) return;
  shared_->contexts.clear();
  for (const auto& s : systems) shared_->contexts.push_back(std::make_unique<Context>(shared_->Root(), s.id));
}

void SnmpAgent::Observe(const Stamped& o) {
  if (!thread_.joinable() && !finished_) thread_ = std::thread([shared = shared_] { shared->Run(); });
  if (!Wanted(o.what)) return;
  if (!shared_->inbox.push(o)) shared_->dropped.fetch_add(1, std::memory_order_relaxed);
}

void SnmpAgent::Finish() {
  finished_ = true;
  if (!thread_.joinable()) return;
  shared_->stop = true;
  thread_.join();
  if (const auto n = shared_->dropped.load())
    std::fprintf(stderr, "snmp: %llu observations dropped (the subagent fell behind)\n", n);
}

}  // namespace runner
