// The runner's NUT server (--nut): answers upsc, upsmon and other clients of
// the NUT network protocol about the plant, as a UPS, on a thread and
// io_context of its own, with bounded connections (in all and per client
// address), line length and idle time, so that no client ever stands between
// the poll loop and a reply.
#pragma once
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tools/host/outputs/nut/NutUsers.h"
#include "tools/host/stream/Observation.h"

namespace runner {

struct NutSettings {
  std::string upsName = "qpr2427k";
  std::vector<NutUser> users;
  std::optional<double> lowBatteryV;  // none: the plant's DC low-voltage limit
};

struct NutLimits {
  std::size_t maxConnections = 64;  // in all; beyond, a new connection is closed at once
  std::size_t perAddress = 16;      // from one client address
  std::size_t lineBytes = 512;      // a longer line is answered ERR INVALID-ARGUMENT and closed
  std::chrono::milliseconds idle{120000};      // a client that sends no line this long is closed
  std::chrono::milliseconds replyTime{10000};  // a reply must be taken within this
  std::size_t inbox = 16384;  // observations the server may fall behind the loop (then dropped)
  std::chrono::milliseconds drainEvery{50};
};

class NutServer : public Observer {
 public:
  // Listens at once on every address (throws RunError when it cannot), then
  // serves from its own thread. With port 0 the first address's port, chosen
  // by the system, serves the others too.
  NutServer(const std::vector<std::string>& addresses, unsigned short port, NutSettings settings, NutLimits limits = {});
  // Closes every connection and ends the thread.
  ~NutServer() override;
  // Loop thread: what the model needs goes to a lock-free inbox, which the
  // server thread drains before every answer and every drainEvery.
  void Observe(const Stamped& o) override;
  // A run with several systems: one UPS per system, named by its id, instead
  // of the configured one. Before the run starts.
  void Systems(const std::vector<SystemRef>& systems);
  // The UPS names served, quoted: "\"qpr2427k\"", or "\"hall-a\", \"hall-b\"".
  std::string Names() const { return names_.empty() ? "\"" + upsName_ + "\"" : names_; }
  // Where it listens, "ADDRESS:PORT" each ("[ADDRESS]:PORT" for IPv6).
  const std::vector<std::string>& Endpoints() const { return endpoints_; }

  struct Shared;

 private:
  boost::asio::io_context io_;
  std::shared_ptr<Shared> shared_;
  std::map<unsigned, bool> modelAsked_;  // loop thread, by system: the next reply answers the model query
  std::string upsName_, names_;
  std::vector<std::string> endpoints_;
  std::thread thread_;
};

}  // namespace runner
