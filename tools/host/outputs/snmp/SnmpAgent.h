// The SNMP output (--snmp-agentx): an AgentX subagent on net-snmp's agent
// library, which serves the ENTITY-MIB, ENTITY-SENSOR-MIB and QPR2427K-MIB
// instances of SnmpModel and sends its notifications through the master.
#pragma once
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/host/stream/Observation.h"

namespace runner {

struct SnmpSettings {
  std::string agentx;  // the master's AgentX socket: a path, or tcp:HOST:PORT
  std::string root;    // the QPR2427K-MIB's subtree, dotted
  unsigned pingS = 2;  // how often the master is asked whether it is there
  std::size_t inbox = 16384;  // observations the subagent may fall behind the loop (then dropped, counted)
};

class SnmpAgent : public Observer {
 public:
  // The subagent's thread starts with the first observation; it connects to
  // the master and keeps connecting while the master is absent or after it restarts.
  explicit SnmpAgent(SnmpSettings settings);
  ~SnmpAgent() override;
  // Several systems on the line, before the first observation: each is
  // served in the SNMP context named by its id.
  void Systems(const std::vector<SystemRef>& systems);
  // Loop thread: the observations the model needs go to a lock-free inbox,
  // which the subagent's thread drains between its own requests.
  void Observe(const Stamped& o) override;
  void Finish() override;

  struct Shared;

 private:
  std::shared_ptr<Shared> shared_;
  std::thread thread_;
  bool finished_ = false;
};

}  // namespace runner
