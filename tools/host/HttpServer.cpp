// Beast sessions of the HTTP endpoint: one request at a time per connection,
// answered from the status model; an event-stream client gets each
// observation as a Server-Sent Event through a capped queue.
#include "tools/host/HttpServer.h"

#include <fmt/format.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <deque>
#include <vector>

#include "tools/host/EventsWriter.h"
#include "tools/host/RunError.h"
#include "tools/host/StatusPage.h"

namespace runner {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {
class Session;
}

struct HttpServer::Shared {
  Shared(asio::io_context& io, const StatusModel& m, HttpLimits l) : acceptor(io), retry(io), model(&m), limits(l) {}
  tcp::acceptor acceptor;
  asio::steady_timer retry;  // after a failed accept (out of descriptors), a pause before the next
  const StatusModel* model;  // null once the server is gone
  HttpLimits limits;
  std::size_t live = 0;
  unsigned long long dropped = 0;  // event-stream clients dropped for falling behind or not reading
  std::vector<std::shared_ptr<Session>> streams;  // held here between writes
  EventLog format;  // writes nowhere; formats event lines
};

namespace {

constexpr const char* kStreamHeader =
    "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n";

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, std::shared_ptr<HttpServer::Shared> shared)
      : stream_(std::move(socket)), shared_(std::move(shared)) {
    ++shared_->live;
  }
  ~Session() { --shared_->live; }

  void Start() { Read(); }
  // Answers 503 and closes: too many connections.
  void Refuse() {
    auto res = std::make_shared<http::response<http::string_body>>(http::status::service_unavailable, 11);
    res->set(http::field::retry_after, "1");
    Finish(res, "too many connections\n", false, true);
  }
  // One event for a stream client; false when the client is dropped.
  bool Push(const std::string& record) {
    if (!streaming_) return false;
    if (queue_.size() >= shared_->limits.eventQueue) {
      beast::error_code ec;
      stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
      stream_.close();
      streaming_ = false;
      return false;
    }
    queue_.push_back(record);
    if (queue_.size() == 1) WriteNext();
    return true;
  }

 private:
  void Read() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(shared_->limits.headerBytes));
    parser_->body_limit(shared_->limits.bodyBytes);
    stream_.expires_after(shared_->limits.requestTime);
    http::async_read(stream_, buffer_, *parser_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
      self->OnRead(ec);
    });
  }

  void OnRead(beast::error_code ec) {
    if (ec == http::error::end_of_stream || ec == beast::error::timeout || ec == asio::error::operation_aborted ||
        ec == asio::error::connection_reset || ec == asio::error::eof) {
      // A client that says nothing in time or goes away: the connection ends.
      beast::error_code ignored;
      stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
      return;
    }
    auto res = std::make_shared<http::response<http::string_body>>();
    res->version(11);
    if (ec == http::error::header_limit) return Error(http::status::request_header_fields_too_large, "header too large");
    if (ec == http::error::body_limit) return Error(http::status::payload_too_large, "body too large");
    if (ec) return Error(http::status::bad_request, "malformed request");
    const auto& req = parser_->get();
    const bool head = req.method() == http::verb::head;
    if (req.method() != http::verb::get && !head) {
      res->result(http::status::method_not_allowed);
      res->set(http::field::allow, "GET, HEAD");
      return Finish(res, "only GET and HEAD\n", head, true);
    }
    const bool keep = req.keep_alive();
    std::string target(req.target());
    target = target.substr(0, target.find('?'));
    const StatusModel* model = shared_->model;
    if (!model) return Error(http::status::service_unavailable, "stopping");
    if (target == "/api/v1/events") return StartStream(head);
    res->result(http::status::ok);
    if (target == "/metrics") {
      res->set(http::field::content_type, "text/plain; version=0.0.4; charset=utf-8");
      return Finish(res, model->Metrics(WallMillis()) + ServerMetrics(), head, !keep);
    }
    if (target == "/api/v1/status") {
      res->set(http::field::content_type, "application/json");
      res->set(http::field::cache_control, "no-store");
      return Finish(res, model->StatusJson(WallMillis()), head, !keep);
    }
    if (target == "/api/v1/chart") {
      res->set(http::field::content_type, "application/json");
      res->set(http::field::cache_control, "no-store");
      return Finish(res, model->ChartJson(), head, !keep);
    }
    if (target == "/" || target == "/index.html") {
      res->set(http::field::content_type, "text/html; charset=utf-8");
      return Finish(res, kStatusPage, head, !keep);
    }
    res->result(http::status::not_found);
    Finish(res, "not found\n", head, !keep);
  }

  // The endpoint's own figures, after the model's.
  std::string ServerMetrics() const {
    return fmt::format(
        "# HELP qpr2427k_http_connections open HTTP connections\n# TYPE qpr2427k_http_connections gauge\n"
        "qpr2427k_http_connections {}\n"
        "# HELP qpr2427k_http_event_streams event-stream clients\n# TYPE qpr2427k_http_event_streams gauge\n"
        "qpr2427k_http_event_streams {}\n"
        "# HELP qpr2427k_http_event_streams_dropped_total event-stream clients dropped for falling behind\n"
        "# TYPE qpr2427k_http_event_streams_dropped_total counter\nqpr2427k_http_event_streams_dropped_total {}\n",
        shared_->live, shared_->streams.size(), shared_->dropped);
  }

  void Error(http::status status, const char* why) {
    auto res = std::make_shared<http::response<http::string_body>>(status, 11);
    Finish(res, std::string(why) + "\n", false, true);
  }

  void Finish(const std::shared_ptr<http::response<http::string_body>>& res, std::string body, bool head, bool close) {
    res->set(http::field::server, "qpr2427k-host");
    if (res->find(http::field::content_type) == res->end()) res->set(http::field::content_type, "text/plain; charset=utf-8");
    res->body() = std::move(body);
    res->keep_alive(!close);
    res->prepare_payload();
    if (head) res->body().clear();  // the length said is the GET body's
    stream_.expires_after(shared_->limits.requestTime);
    http::async_write(stream_, *res, [self = shared_from_this(), res, close](beast::error_code ec, std::size_t) {
      beast::error_code ignored;
      if (ec || close) return void(self->stream_.socket().shutdown(tcp::socket::shutdown_both, ignored));
      self->Read();
    });
  }

  void StartStream(bool head) {
    stream_.expires_after(shared_->limits.requestTime);
    asio::async_write(stream_, asio::buffer(kStreamHeader, std::char_traits<char>::length(kStreamHeader)),
                      [self = shared_from_this(), head](beast::error_code ec, std::size_t) {
                        beast::error_code ignored;
                        if (ec || head || !self->shared_->model)
                          return void(self->stream_.socket().shutdown(tcp::socket::shutdown_both, ignored));
                        self->streaming_ = true;
                        self->shared_->streams.push_back(self);
                        if (!self->queue_.empty()) self->WriteNext();
                      });
  }

  void WriteNext() {
    stream_.expires_after(shared_->limits.requestTime);
    asio::async_write(stream_, asio::buffer(queue_.front()), [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) {
        self->streaming_ = false;  // dropped from the list at the next event
        self->queue_.clear();
        return;
      }
      self->queue_.pop_front();
      if (!self->queue_.empty()) self->WriteNext();
    });
  }

  beast::tcp_stream stream_;
  std::shared_ptr<HttpServer::Shared> shared_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::deque<std::string> queue_;
  bool streaming_ = false;
};

void AcceptNext(std::shared_ptr<HttpServer::Shared> shared);

}  // namespace

HttpServer::HttpServer(asio::io_context& io, const std::string& address, unsigned short port, const StatusModel& model,
                       HttpLimits limits)
    : shared_(std::make_shared<Shared>(io, model, limits)) {
  beast::error_code ec;
  const tcp::endpoint at(asio::ip::make_address(address), port);
  auto& a = shared_->acceptor;
  a.open(at.protocol(), ec);
  if (!ec) a.set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) a.bind(at, ec);
  if (!ec) a.listen(asio::socket_base::max_listen_connections, ec);
  if (ec) throw RunError(fmt::format("cannot serve HTTP on {}:{}: {}", address, port, ec.message()));
  Accept();
}

HttpServer::~HttpServer() {
  shared_->model = nullptr;
  shared_->streams.clear();
  shared_->retry.cancel();
  beast::error_code ec;
  shared_->acceptor.close(ec);
}

std::string HttpServer::Endpoint() const {
  const auto at = shared_->acceptor.local_endpoint();
  return fmt::format("{}:{}", at.address().to_string(), at.port());
}

void HttpServer::Accept() { AcceptNext(shared_); }

namespace {
void AcceptNext(std::shared_ptr<HttpServer::Shared> shared) {
  shared->acceptor.async_accept([shared](beast::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !shared->model) return;
    if (ec) {
      // Failing again at once would spin the loop: try again a little later.
      shared->retry.expires_after(std::chrono::milliseconds(100));
      return shared->retry.async_wait([shared](beast::error_code e) {
        if (!e && shared->model) AcceptNext(shared);
      });
    }
    // Beyond the cap a client is told 503; far beyond it, closed at once.
    if (shared->live >= 2 * shared->limits.maxConnections) {
      socket.close(ec);
    } else {
      auto s = std::make_shared<Session>(std::move(socket), shared);
      if (shared->live > shared->limits.maxConnections) s->Refuse();
      else s->Start();
    }
    AcceptNext(shared);
  });
}
}  // namespace

void HttpServer::Observe(const Stamped& o) {
  auto& streams = shared_->streams;
  if (streams.empty()) return;
  std::string records;
  for (const auto& fields : EventFields(o))
    records += fmt::format("event: {}\ndata: {}\n\n", fields.front().second.asString(), shared_->format.Line(fields));
  if (records.empty()) return;
  std::vector<std::shared_ptr<Session>> kept;
  for (auto& s : streams)
    if (s->Push(records)) kept.push_back(s);
    else ++shared_->dropped;
  streams.swap(kept);
}

}  // namespace runner
