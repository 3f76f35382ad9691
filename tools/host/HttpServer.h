// The runner's HTTP endpoint (--http): /metrics, /api/v1/status, the
// /api/v1/events stream and the status page, served by Boost.Beast on the
// poll loop's own io_context with bounded connections, sizes and times.
#pragma once
#include <boost/asio/io_context.hpp>
#include <chrono>
#include <memory>
#include <string>

#include "tools/host/Observation.h"
#include "tools/host/StatusModel.h"

namespace runner {

struct HttpLimits {
  std::size_t maxConnections = 64;          // beyond this a client gets 503
  std::size_t headerBytes = 8192;           // beyond this: 431
  std::size_t bodyBytes = 4096;             // beyond this: 413
  std::chrono::milliseconds requestTime{5000};  // a request must arrive within this, a reply be taken within this
  std::size_t eventQueue = 4096;            // events a stream client may fall behind before it is dropped
};

class HttpServer : public Observer {
 public:
  // Listens at once; throws RunError when it cannot.
  HttpServer(boost::asio::io_context& io, const std::string& address, unsigned short port, const StatusModel& model,
             HttpLimits limits = {});
  ~HttpServer() override;
  // Each observation goes to the event-stream clients.
  void Observe(const Stamped& o) override;
  // Where it listens, "ADDRESS:PORT".
  std::string Endpoint() const;

  struct Shared;

 private:
  void Accept();
  std::shared_ptr<Shared> shared_;
};

}  // namespace runner
