// Beast sessions of the HTTP endpoint: one request at a time per connection,
// answered from the status model; an event-stream client gets what the status
// page follows as Server-Sent Events through a capped queue. Requests and
// streams have budgets of their own, in all and per client address. All of it
// runs on the server's own thread; observations reach it through an inbox.
#include "tools/host/outputs/http/HttpServer.h"

#include <fmt/format.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/lockfree/spsc_queue.hpp>
#include <malloc.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <deque>
#include <list>
#include <map>
#include <string_view>
#include <vector>

#include "tools/host/catalogue/Catalogue.h"
#include "tools/host/stream/EventJson.h"
#include "tools/host/stream/RunError.h"
#include "tools/host/outputs/http/SiteModel.h"
#include "tools/host/outputs/http/StatusPage.h"

namespace runner {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {
class Session;
// Requests yield the CPU to the poll loop: under a flood of them the loop still
// gets a core at once (a higher nice value needs no privilege).
constexpr int kServerNice = 19;

// What neither the model nor the stream needs (but an alarm's first report,
// which the model keeps): these never reach the server thread.
bool Unused(const Observation& o) {
  return std::holds_alternative<AlarmCall>(o) ||
         std::holds_alternative<HistorySaved>(o) || std::holds_alternative<LogLine>(o) ||
         std::holds_alternative<Diagnosis>(o) || std::holds_alternative<Notice>(o);
}

// The event stream carries what the status page follows, and nothing else (a
// phone's data plan pays for each byte): rounds, alarms raised and cleared,
// health, and each published image as `readings`, its values in the order of
// the unit's `readings` in /api/v1/status. Commands, replies, each alarm call
// and the images' bytes stay out. Empty for what the stream leaves out.
std::string StreamText(const Stamped& o) {
  std::string text;
  if (std::holds_alternative<RoundEnded>(o.what) || std::holds_alternative<AlarmChange>(o.what) ||
      std::holds_alternative<HealthChanged>(o.what)) {
    for (const auto& fields : EventFields(o))
      text += fmt::format("event: {}\ndata: {}\n\n", fields.front().second.asString(), EventLine(fields));
  } else if (const auto* p = std::get_if<Published>(&o.what)) {
    const catalogue::Record* record = catalogue::RecordOfType(p->recordType);
    if (!record) return text;
    text = fmt::format("event: readings\ndata: {{\"event\":\"readings\",\"device_type\":\"{}\",\"data_id\":{},\"t\":{},",
                       record->deviceType, p->dataId, o.t);
    // On a line of several systems, the one it is of, named as in the other events.
    if (o.system) {
      Json::Value system(Json::objectValue);
      system["address"] = o.system->address;
      system["name"] = o.system->name;
      system["id"] = o.system->id;
      Json::StreamWriterBuilder b;
      b["indentation"] = "";
      text += "\"system\":" + Json::writeString(b, system) + ",";
    }
    text += "\"values\":[";
    bool first = true;
    for (const auto& r : catalogue::Decode(*record, p->image.data(), p->image.size())) {
      if (!first) text += ',';
      first = false;
      const float v = static_cast<float>(r.value);
      if (r.field->encoding == catalogue::Encoding::Byte) text += fmt::format("{}", static_cast<unsigned>(r.value));
      else if (std::isfinite(v)) text += fmt::format("{}", v);  // the float's shortest text, as the status has it
      else text += "null";
    }
    text += "]}\n\n";
  }
  return text;
}
}  // namespace

// The server thread's state; the loop thread touches only the inbox's
// producer side and the atomics.
struct HttpServer::Shared {
  Shared(asio::io_context& io, std::string site, HttpLimits l)
      : drain(io), trim(io), model(std::move(site)), limits(l), inbox(l.inbox) {}
  // The inbox into the model and to every stream client, in order.
  void Drain();
  void DrainLater();
  // What a connection takes of the budgets. A request's connection is let in
  // within both of its limits; a stream moves from the requests' budget to
  // the streams' if there is room there.
  enum class Kind { kRefused, kRequest, kStream };
  bool Admit(const asio::ip::address& from);
  bool ToStream(const asio::ip::address& from);
  void Release(const asio::ip::address& from, Kind kind);
  // A stream whose write failed leaves the list; one that timed out counts as dropped.
  void EndStream(const Session* s, bool stalled);

  struct Listener {
    explicit Listener(asio::io_context& io) : acceptor(io), retry(io) {}
    tcp::acceptor acceptor;
    asio::steady_timer retry;  // after a failed accept (out of descriptors), a pause before the next
  };
  std::list<Listener> listeners;
  asio::steady_timer drain;
  asio::steady_timer trim;  // gives freed memory back to the system once a crowd of clients has gone
  SiteModel model;
  bool open = true;  // false once the server is closing
  HttpLimits limits;
  boost::lockfree::spsc_queue<Stamped> inbox;  // loop thread in, server thread out
  std::atomic<unsigned long long> inboxDropped{0};
  std::size_t live = 0;                // open connections, refused ones too
  std::size_t requests = 0, streamCount = 0;  // of them, within the requests' and the streams' budget
  std::size_t peak = 0;                // most connections open since the last trim
  struct Counts {
    std::size_t requests = 0, streams = 0;
  };
  std::map<asio::ip::address, Counts> clients;  // per client address, while it has any
  unsigned long long dropped = 0;  // event-stream clients dropped for falling behind or not reading
  std::vector<std::shared_ptr<Session>> streams;  // held here between writes
};

namespace {

constexpr const char* kStreamHeader =
    "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n";

// Whether a header block holds a folded line (one starting with a space or a
// tab): Beast's parser joins those silently, and a proxy before the runner may
// read them otherwise.
bool Folded(std::string_view head) { return head.find("\n ") != head.npos || head.find("\n\t") != head.npos; }

using Kind = HttpServer::Shared::Kind;

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, std::shared_ptr<HttpServer::Shared> shared, asio::ip::address from, Kind kind)
      : stream_(std::move(socket)), shared_(std::move(shared)), from_(from), kind_(kind) {
    ++shared_->live;
    shared_->peak = std::max(shared_->peak, shared_->live);
  }
  ~Session() { shared_->Release(from_, kind_); }

  void Start() { Read(); }
  // Answers 503 and closes: too many connections.
  void Refuse() {
    auto res = std::make_shared<http::response<http::string_body>>(http::status::service_unavailable, 11);
    res->set(http::field::retry_after, "1");
    Finish(res, "too many connections\n", false, true);
  }
  // One event for a stream client (the records are shared by every client);
  // false when the client is dropped.
  bool Push(const std::shared_ptr<const std::string>& records) {
    if (!streaming_) return false;
    if (queue_.size() >= shared_->limits.eventQueue) {
      beast::error_code ec;
      stream_.socket().shutdown(tcp::socket::shutdown_both, ec);
      stream_.close();
      streaming_ = false;
      return false;
    }
    queue_.push_back(records);
    if (queue_.size() == 1) WriteNext();
    return true;
  }

 private:
  // The whole request must arrive within the request time, however slowly its
  // bytes come. Its header block is read first, to be checked for folded
  // lines, then parsed from the buffer.
  void Read() {
    stream_.expires_after(shared_->limits.requestTime);
    ReadHead();
  }

  void ReadHead() {
    const std::string_view seen(static_cast<const char*>(buffer_.data().data()), buffer_.size());
    const auto end = std::min(seen.find("\r\n\r\n"), seen.find("\n\n"));
    if (end == seen.npos && seen.size() <= shared_->limits.headerBytes) {
      return stream_.async_read_some(buffer_.prepare(2048), [self = shared_from_this()](beast::error_code ec, std::size_t n) {
        self->buffer_.commit(n);
        if (ec) return self->OnRead(ec);
        self->ReadHead();
      });
    }
    if (end != seen.npos && Folded(seen.substr(0, end + 1))) return Error(http::status::bad_request, "folded header line");
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(shared_->limits.headerBytes));
    parser_->body_limit(shared_->limits.bodyBytes);
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
    if (!shared_->open) return Error(http::status::service_unavailable, "stopping");
    shared_->Drain();  // the answer includes everything observed before it was asked
    const SiteModel* model = &shared_->model;
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
        "# HELP qpr2427k_http_event_streams_dropped_total event-stream clients dropped for falling behind or taking nothing\n"
        "# TYPE qpr2427k_http_event_streams_dropped_total counter\nqpr2427k_http_event_streams_dropped_total {}\n"
        "# HELP qpr2427k_http_observations_dropped_total observations lost because the endpoint fell behind\n"
        "# TYPE qpr2427k_http_observations_dropped_total counter\nqpr2427k_http_observations_dropped_total {}\n",
        shared_->live, shared_->streams.size(), shared_->dropped, shared_->inboxDropped.load());
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
    if (!head) {
      if (!shared_->ToStream(from_)) {
        auto res = std::make_shared<http::response<http::string_body>>(http::status::service_unavailable, 11);
        res->set(http::field::retry_after, "5");
        return Finish(res, "too many event streams\n", false, true);
      }
      kind_ = Kind::kStream;
      // What the client does not take waits in the queue, where it is counted, not in the kernel.
      beast::error_code ignored;
      stream_.socket().set_option(asio::socket_base::send_buffer_size(shared_->limits.streamSendBuffer), ignored);
    }
    stream_.expires_after(shared_->limits.streamStall);
    asio::async_write(stream_, asio::buffer(kStreamHeader, std::char_traits<char>::length(kStreamHeader)),
                      [self = shared_from_this(), head](beast::error_code ec, std::size_t) {
                        beast::error_code ignored;
                        if (ec || head || !self->shared_->open)
                          return void(self->stream_.socket().shutdown(tcp::socket::shutdown_both, ignored));
                        self->streaming_ = true;
                        self->shared_->streams.push_back(self);
                        if (!self->queue_.empty()) self->WriteNext();
                      });
  }

  // Each write must be taken within the stall time: a client that takes
  // nothing that long is dropped (the stream closes it on the timeout).
  void WriteNext() {
    stream_.expires_after(shared_->limits.streamStall);
    asio::async_write(stream_, asio::buffer(*queue_.front()), [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) {
        self->streaming_ = false;
        self->queue_.clear();
        return self->shared_->EndStream(self.get(), ec == beast::error::timeout);
      }
      self->queue_.pop_front();
      if (!self->queue_.empty()) self->WriteNext();
    });
  }

  beast::tcp_stream stream_;
  std::shared_ptr<HttpServer::Shared> shared_;
  const asio::ip::address from_;
  Kind kind_;
  beast::flat_buffer buffer_;
  std::optional<http::request_parser<http::string_body>> parser_;
  std::deque<std::shared_ptr<const std::string>> queue_;
  bool streaming_ = false;
};

void AcceptNext(std::shared_ptr<HttpServer::Shared> shared, HttpServer::Shared::Listener& at);

std::string Endpoint(const asio::ip::address& address, unsigned short port) {
  return fmt::format(address.is_v6() ? "[{}]:{}" : "{}:{}", address.to_string(), port);
}

}  // namespace

HttpServer::HttpServer(const std::vector<std::string>& addresses, unsigned short port, std::string site,
                       HttpLimits limits)
    : shared_(std::make_shared<Shared>(io_, std::move(site), limits)) {
  for (const auto& address : addresses) {
    beast::error_code ec;
    const tcp::endpoint at(asio::ip::make_address(address), port);
    auto& a = shared_->listeners.emplace_back(io_).acceptor;
    a.open(at.protocol(), ec);
    if (!ec) a.set_option(asio::socket_base::reuse_address(true), ec);
    // An IPv6 address serves IPv6 alone, so that "::" and "0.0.0.0" can both be named.
    if (!ec && at.address().is_v6()) a.set_option(asio::ip::v6_only(true), ec);
    if (!ec) a.bind(at, ec);
    if (!ec) a.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) throw RunError(fmt::format("cannot serve HTTP on {}: {}", Endpoint(at.address(), port), ec.message()));
    port = a.local_endpoint().port();
    endpoints_.push_back(Endpoint(at.address(), port));
  }
  for (auto& l : shared_->listeners) AcceptNext(shared_, l);
  shared_->DrainLater();
  thread_ = std::thread([this] {
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kServerNice);
    io_.run();
  });
}

HttpServer::~HttpServer() {
  // On the server thread: stop accepting and answering, close the streams, and
  // let the thread end with the work it has; pending sessions go with io_.
  asio::post(io_, [shared = shared_, this] {
    shared->open = false;
    shared->streams.clear();
    shared->drain.cancel();
    shared->trim.cancel();
    for (auto& l : shared->listeners) {
      beast::error_code ec;
      l.retry.cancel();
      l.acceptor.close(ec);
    }
    io_.stop();
  });
  thread_.join();
}

namespace {
void AcceptNext(std::shared_ptr<HttpServer::Shared> shared, HttpServer::Shared::Listener& at) {
  at.acceptor.async_accept([shared, &at](beast::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !shared->open) return;
    if (ec) {
      // Failing again at once would spin the loop: try again a little later.
      at.retry.expires_after(std::chrono::milliseconds(100));
      return at.retry.async_wait([shared, &at](beast::error_code e) {
        if (!e && shared->open) AcceptNext(shared, at);
      });
    }
    const auto from = socket.remote_endpoint(ec).address();
    // Beyond a budget a client is told 503; far beyond them all, closed at once.
    const auto& l = shared->limits;
    if (ec || shared->live >= 2 * l.maxConnections + l.maxStreams) {
      socket.close(ec);
    } else if (shared->Admit(from)) {
      std::make_shared<Session>(std::move(socket), shared, from, Kind::kRequest)->Start();
    } else {
      std::make_shared<Session>(std::move(socket), shared, from, Kind::kRefused)->Refuse();
    }
    AcceptNext(shared, at);
  });
}

}  // namespace

void HttpServer::Observe(const Stamped& o) {
  bool firstReport = false;
  if (const auto* a = std::get_if<AlarmCall>(&o.what))
    firstReport = alarmsSeen_.emplace(a->dataId, a->deviceType, a->key, a->text).second;
  if (!firstReport && Unused(o.what)) return;
  if (!shared_->inbox.push(o)) shared_->inboxDropped.fetch_add(1, std::memory_order_relaxed);
}

void HttpServer::Expect(const std::vector<SystemRef>& systems) {
  asio::post(io_, [shared = shared_, systems] { shared->model.Expect(systems); });
}

bool HttpServer::Shared::Admit(const asio::ip::address& from) {
  auto& c = clients[from];
  if (requests >= limits.maxConnections || c.requests >= limits.perAddress) {
    if (c.requests == 0 && c.streams == 0) clients.erase(from);
    return false;
  }
  ++requests;
  ++c.requests;
  return true;
}

bool HttpServer::Shared::ToStream(const asio::ip::address& from) {
  auto& c = clients[from];
  if (streamCount >= limits.maxStreams || c.streams >= limits.streamsPerAddress) return false;
  --requests;
  --c.requests;
  ++streamCount;
  ++c.streams;
  return true;
}

void HttpServer::Shared::Release(const asio::ip::address& from, Kind kind) {
  --live;
  if (kind != Kind::kRefused) {
    auto& c = clients[from];
    if (kind == Kind::kRequest) --requests, --c.requests;
    else --streamCount, --c.streams;
    if (c.requests == 0 && c.streams == 0) clients.erase(from);
  }
  // The buffers of streams and of a crowd of clients are freed into the server
  // thread's glibc arena, which keeps them, in pieces it does not give back
  // by itself: once a stream has ended, or most of a crowd has gone, they are
  // trimmed a second later (once for any that end within that second).
  if (open && (kind == Kind::kStream || (peak >= limits.perAddress && live * 4 <= peak))) {
    peak = live;
    trim.expires_after(std::chrono::seconds(1));
    trim.async_wait([this](beast::error_code ec) {
      if (ec || !open) return;
#ifdef __GLIBC__
      malloc_trim(0);
#endif
      peak = live;
    });
  }
}

void HttpServer::Shared::EndStream(const Session* s, bool stalled) {
  const auto it = std::find_if(streams.begin(), streams.end(), [s](const auto& p) { return p.get() == s; });
  if (it == streams.end()) return;  // already dropped for falling behind
  if (stalled) ++dropped;
  streams.erase(it);
}

void HttpServer::Shared::Drain() {
  inbox.consume_all([this](const Stamped& o) {
    model.Observe(o);
    if (streams.empty()) return;
    std::string text = StreamText(o);
    if (text.empty()) return;
    const auto records = std::make_shared<const std::string>(std::move(text));
    std::vector<std::shared_ptr<Session>> kept;
    for (auto& s : streams)
      if (s->Push(records)) kept.push_back(s);
      else ++dropped;
    streams.swap(kept);
  });
}

void HttpServer::Shared::DrainLater() {
  drain.expires_after(limits.drainEvery);
  drain.async_wait([this](beast::error_code ec) {
    if (ec || !open) return;
    Drain();
    DrainLater();
  });
}

}  // namespace runner
