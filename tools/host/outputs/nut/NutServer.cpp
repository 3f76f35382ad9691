// Sessions of the NUT server: one line at a time per connection, answered by
// NutProtocol from the model, with budgets in all and per client address. All
// of it runs on the server's own thread; observations reach it through an inbox.
#include "tools/host/outputs/nut/NutServer.h"

#include <fmt/format.h>
#include <sys/resource.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/lockfree/spsc_queue.hpp>
#include <deque>
#include <list>
#include <map>

#include "tools/host/outputs/nut/NutModel.h"
#include "tools/host/outputs/nut/NutProtocol.h"
#include "tools/host/stream/RunError.h"

namespace runner {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;

namespace {
// Clients yield the CPU to the poll loop (a higher nice value needs no
// privilege), but only a little: a shutdown client's requests (FSD) must be
// answered within its few seconds on a busy machine too, where a nice of 19
// left the thread waiting for seconds. Its work is small and bounded.
constexpr int kServerNice = 5;
constexpr unsigned char kModelQuery = 0x51;
constexpr std::chrono::seconds kLinger{2};
}  // namespace

// The server thread's state; the loop thread touches only the inbox's producer side.
struct NutServer::Shared {
  Shared(asio::io_context& io, NutSettings s, NutLimits l)
      : drain(io), settings(std::move(s)), limits(l), inbox(l.inbox) {
    models.emplace_back(settings.lowBatteryV);
    ups.push_back({settings.upsName, "DC power system (qpr2427k-host)", &models.back()});
  }
  // Several systems: one UPS each, named by its id; untagged observations are the line's.
  void Systems(const std::vector<SystemRef>& systems) {
    models.clear();
    ups.clear();
    for (const auto& s : systems) {
      models.emplace_back(settings.lowBatteryV);
      ups.push_back({s.id, fmt::format("DC power system {} at address {} (qpr2427k-host)", s.id, s.address),
                     &models.back()});
    }
    several = true;
  }
  void Drain() {
    inbox.consume_all([this](const Stamped& o) {
      if (!several) models.front().Observe(o);
      else if (o.system && o.system->index < models.size()) models[o.system->index].Observe(o);
    });
  }
  void DrainLater() {
    drain.expires_after(limits.drainEvery);
    drain.async_wait([this](const boost::system::error_code& ec) {
      if (ec || !open) return;
      Drain();
      DrainLater();
    });
  }

  std::list<tcp::acceptor> acceptors;
  asio::steady_timer drain;
  NutSettings settings;
  NutLimits limits;
  std::deque<NutModel> models;  // one per UPS; a deque keeps the UPS' pointers valid
  std::vector<NutUps> ups;
  bool several = false;
  boost::lockfree::spsc_queue<Stamped> inbox;  // loop thread in, server thread out
  bool open = true;                            // false once the server is closing
  std::list<NutClient*> clients;               // every open connection's state
  std::map<asio::ip::address, std::size_t> perAddress;
};

namespace {

class Session : public std::enable_shared_from_this<Session> {
 public:
  Session(tcp::socket socket, std::shared_ptr<NutServer::Shared> shared, asio::ip::address from)
      : stream_(std::move(socket)), shared_(std::move(shared)), from_(from) {
    client_.address = from.to_string();
    at_ = shared_->clients.insert(shared_->clients.end(), &client_);
    ++shared_->perAddress[from_];
  }
  ~Session() {
    shared_->clients.erase(at_);
    if (--shared_->perAddress[from_] == 0) shared_->perAddress.erase(from_);
  }

  // Reads up to the next whole line; a client that sends none within the idle
  // time is closed, and so is one whose line is too long.
  void Next() {
    const auto end = in_.find('\n');
    if (end != std::string::npos && end <= shared_->limits.lineBytes) {
      std::string line = in_.substr(0, end);
      in_.erase(0, end + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return Handle(line);
    }
    if (in_.size() > shared_->limits.lineBytes) return Send({"ERR INVALID-ARGUMENT\n", true});
    stream_.expires_after(shared_->limits.idle);
    stream_.async_read_some(asio::buffer(chunk_), [self = shared_from_this()](beast::error_code ec, std::size_t n) {
      if (ec) return self->Close();
      self->in_.append(self->chunk_, n);
      self->Next();
    });
  }

 private:
  void Handle(const std::string& line) {
    if (!shared_->open) return Close();
    shared_->Drain();  // the answer includes everything observed before it was asked
    NutContext ctx{shared_->ups, &shared_->settings.users, &shared_->clients, WallMillis()};
    NutReply reply = Answer(line, client_, ctx);
    if (reply.text.empty()) return Next();
    Send(std::move(reply));
  }

  void Send(NutReply reply) {
    out_ = std::move(reply.text);
    stream_.expires_after(shared_->limits.replyTime);
    asio::async_write(stream_, asio::buffer(out_),
                      [self = shared_from_this(), close = reply.close](beast::error_code ec, std::size_t) {
                        if (ec) return self->Close();
                        if (close) return self->Linger();
                        self->Next();
                      });
  }

  // After a last reply: the sending side is shut and what the client still
  // sends is read and dropped for a moment, so that closing with unread bytes
  // (a reset) does not destroy the reply before the client has read it.
  void Linger() {
    if (!lingering_) {
      lingering_ = true;
      beast::error_code ignored;
      stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
      stream_.expires_after(kLinger);  // once: a client that keeps sending is cut all the same
    }
    stream_.async_read_some(asio::buffer(chunk_), [self = shared_from_this()](beast::error_code ec, std::size_t) {
      if (ec) return self->Close();
      self->Linger();
    });
  }

  void Close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.close();
  }

  beast::tcp_stream stream_;
  std::shared_ptr<NutServer::Shared> shared_;
  const asio::ip::address from_;
  NutClient client_;
  std::list<NutClient*>::iterator at_;
  std::string in_, out_;
  char chunk_[512];
  bool lingering_ = false;
};

std::string Endpoint(const asio::ip::address& address, unsigned short port) {
  return fmt::format(address.is_v6() ? "[{}]:{}" : "{}:{}", address.to_string(), port);
}

void AcceptNext(const std::shared_ptr<NutServer::Shared>& shared, tcp::acceptor& at) {
  at.async_accept([shared, &at](beast::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !shared->open) return;
    if (ec) {
      // Out of descriptors: failing again at once would spin; try again a little later.
      auto retry = std::make_shared<asio::steady_timer>(at.get_executor(), std::chrono::milliseconds(100));
      return retry->async_wait([shared, &at, retry](beast::error_code e) {
        if (!e && shared->open) AcceptNext(shared, at);
      });
    }
    const auto from = socket.remote_endpoint(ec).address();
    // Beyond a budget the connection is closed at once: the protocol has no
    // greeting in which to say why, and a closed connection costs nothing.
    const auto count = shared->perAddress.find(from);
    const bool full = shared->clients.size() >= shared->limits.maxConnections ||
                      (count != shared->perAddress.end() && count->second >= shared->limits.perAddress);
    if (ec || full) socket.close(ec);
    else std::make_shared<Session>(std::move(socket), shared, from)->Next();
    AcceptNext(shared, at);
  });
}

}  // namespace

NutServer::NutServer(const std::vector<std::string>& addresses, unsigned short port, NutSettings settings,
                     NutLimits limits)
    : shared_(std::make_shared<Shared>(io_, std::move(settings), limits)) {
  upsName_ = shared_->settings.upsName;
  for (const auto& address : addresses) {
    beast::error_code ec;
    const tcp::endpoint at(asio::ip::make_address(address), port);
    auto& a = shared_->acceptors.emplace_back(io_);
    a.open(at.protocol(), ec);
    if (!ec) a.set_option(asio::socket_base::reuse_address(true), ec);
    // An IPv6 address serves IPv6 alone, so that "::" and "0.0.0.0" can both be named.
    if (!ec && at.address().is_v6()) a.set_option(asio::ip::v6_only(true), ec);
    if (!ec) a.bind(at, ec);
    if (!ec) a.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) throw RunError(fmt::format("cannot serve NUT on {}: {}", Endpoint(at.address(), port), ec.message()));
    port = a.local_endpoint().port();
    endpoints_.push_back(Endpoint(at.address(), port));
  }
  for (auto& a : shared_->acceptors) AcceptNext(shared_, a);
  shared_->DrainLater();
  thread_ = std::thread([this] {
    setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kServerNice);
    io_.run();
  });
}

NutServer::~NutServer() {
  asio::post(io_, [shared = shared_, this] {
    shared->open = false;
    shared->drain.cancel();
    for (auto& a : shared->acceptors) {
      beast::error_code ec;
      a.close(ec);
    }
    io_.stop();
  });
  thread_.join();
}

void NutServer::Systems(const std::vector<SystemRef>& systems) {
  names_.clear();
  for (const auto& s : systems) names_ += fmt::format("{}\"{}\"", names_.empty() ? "" : ", ", s.id);
  asio::post(io_, [shared = shared_, systems] { shared->Systems(systems); });
}

void NutServer::Observe(const Stamped& o) {
  // Only what the model reads crosses to the server thread: the plug-in's
  // many alarm calls, values and log lines stay here.
  bool wanted = std::holds_alternative<Published>(o.what) || std::holds_alternative<RoundEnded>(o.what) ||
                std::holds_alternative<HealthChanged>(o.what) || std::holds_alternative<AlarmChange>(o.what);
  bool& modelAsked = modelAsked_[o.system ? o.system->index : 0];
  if (const auto* c = std::get_if<CommandSent>(&o.what)) {
    modelAsked = c->cid2 == kModelQuery;
    wanted = modelAsked;
  } else if (std::holds_alternative<ReplyAccepted>(o.what) || std::holds_alternative<ReplyMissing>(o.what)) {
    wanted = modelAsked;
    modelAsked = false;
  }
  if (wanted) shared_->inbox.push(o);  // full: dropped, the next round's images replace what it held
}

}  // namespace runner
