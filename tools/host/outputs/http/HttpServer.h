// The runner's HTTP endpoint (--http): /metrics, /api/v1/status, the
// /api/v1/events stream and the status page, served by Boost.Beast with
// bounded connections (in all and per client address), sizes and times on a
// thread and io_context of its own, so that no request ever stands between the
// poll loop and a reply.
#pragma once
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "tools/host/stream/Observation.h"

namespace runner {

struct HttpLimits {
  std::size_t maxConnections = 64;          // requests' connections in all; beyond this a client gets 503
  std::size_t perAddress = 8;               // requests' connections from one client address; beyond: 503
  std::size_t maxStreams = 32;              // event streams in all, a budget apart from the requests'
  std::size_t streamsPerAddress = 8;        // event streams from one client address
  std::chrono::milliseconds streamStall{5000};  // a stream client that takes nothing this long is dropped
  int streamSendBuffer = 16384;             // SO_SNDBUF of a stream socket: the kernel holds little for it
  std::size_t headerBytes = 8192;           // beyond this: 431
  std::size_t bodyBytes = 4096;             // beyond this: 413
  std::chrono::milliseconds requestTime{5000};  // a request must arrive within this, a reply be taken within this
  std::size_t eventQueue = 4096;            // events a stream client may fall behind before it is dropped
  std::size_t inbox = 16384;                // observations the server may fall behind the loop (then dropped, counted)
  std::chrono::milliseconds drainEvery{50};  // how often observations reach the model and stream clients unasked
};

class HttpServer : public Observer {
 public:
  // Listens at once on every address (throws RunError when it cannot), then
  // serves from its own thread. With port 0 the first address's port, chosen
  // by the system, serves the others too. The status model of the site lives
  // on that thread.
  HttpServer(const std::vector<std::string>& addresses, unsigned short port, std::string site, HttpLimits limits = {});
  // Closes every connection and ends the thread.
  ~HttpServer() override;
  // Loop thread: a copy of each observation the model or a stream client needs
  // goes to a lock-free inbox, which the server thread drains before every
  // answer and every drainEvery: the loop neither waits for the server nor
  // wakes it.
  void Observe(const Stamped& o) override;
  // Loop thread: the power systems of a shared line, so that each has its
  // place in every answer from the start (a run with one system calls none).
  void Expect(const std::vector<SystemRef>& systems);
  // Where it listens, "ADDRESS:PORT" each ("[ADDRESS]:PORT" for IPv6).
  const std::vector<std::string>& Endpoints() const { return endpoints_; }

  struct Shared;

 private:
  boost::asio::io_context io_;
  std::shared_ptr<Shared> shared_;
  // Loop thread: every alarm seen, so that the model hears of each one once
  // (its metric exists from its first report, active or not).
  std::set<std::tuple<unsigned, std::string, std::string, std::string>> alarmsSeen_;
  std::vector<std::string> endpoints_;
  std::thread thread_;
};

}  // namespace runner
