// The runner's session: the host's side of the polling cycle on Boost.Asio.
// A poll timer asks RefreshStatus() while no reply is awaited, bytes read go
// to process(), a reply that does not come in time goes to process_error(),
// and a round end (the children published) sets the port device's readiness
// and last update, then queries and shows the values.
#include "tools/host/Runner.h"

#include <dlfcn.h>
#include <fmt/format.h>

#include <boost/asio.hpp>
#include <boost/date_time/posix_time/posix_time.hpp>
#include <cmath>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>

#include "host/HostClock.h"
#include "host/KLDSPDevice.h"
#include "host/PMBusProtocol.h"
#include "plugin/KLDSPDeviceProvider.h"
#include "plugin/Provider.h"
#include "tools/host/EventLog.h"
#include "tools/host/HostController.h"
#include "tools/host/Links.h"
#include "tools/sim/Scenario.h"

namespace runner {
namespace {

namespace asio = boost::asio;
using Clock = std::chrono::steady_clock;

// Image sizes of the unit records this host shows: the AC record is 40 bytes
// plus 23 per channel, the rectifier record 65 bytes plus 14 per module.
constexpr std::size_t kAcRecord = 40, kAcChannel = 23, kRcRecord = 65, kRcModule = 14;
constexpr const char* kPortType = "qpr2427k";
constexpr const char* kAcType = "qpr2427k-ac";
constexpr const char* kDcType = "qpr2427k-dc";
constexpr const char* kRcType = "qpr2427k-rc";
constexpr const char* kAcPhaseKeys[] = {"ia", "ib", "ic", "ia_alert", "ib_alert", "ic_alert"};
constexpr const char* kAcChannelKeys[] = {"a", "b", "c", "f"};
constexpr const char* kDcKeys[] = {"v", "i"};

Json::Value ReadJson(const std::string& path, const char* what) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw RunError(fmt::format("cannot open the {} {}", what, path));
  Json::CharReaderBuilder b;
  Json::Value root;
  std::string errors;
  if (!Json::parseFromStream(b, in, &root, &errors))
    throw RunError(fmt::format("the {} {} is not valid JSON: {}", what, path, errors));
  return root;
}

std::shared_ptr<KLDSPDevice> CreatePortDevice(const std::string& path) {
  // The plug-in stays loaded until the process ends: its objects outlive any
  // point where unloading would be safe.
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) throw RunError(fmt::format("cannot load the plug-in: {}", dlerror()));
  using GetProviders = std::vector<std::shared_ptr<Provider>> (*)();
  void* symbol = dlsym(handle, "get_providers");
  if (!symbol) throw RunError(fmt::format("the plug-in {} has no get_providers", path));
  const auto providers = reinterpret_cast<GetProviders>(symbol)();
  for (const auto& p : providers) {
    const auto* maker = dynamic_cast<const KLDSPDeviceProvider*>(p.get());
    if (!maker) continue;
    std::unique_ptr<KLDSPDevice> device(maker->create());
    if (device && device->DeviceType() == kPortType) return std::shared_ptr<KLDSPDevice>(device.release());
  }
  throw RunError(fmt::format("the plug-in {} offers no device of type \"{}\"", path, kPortType));
}

std::vector<unsigned char> FromHex(const std::string& hex, bool& ok) {
  std::vector<unsigned char> out;
  ok = hex.size() % 2 == 0;
  for (std::size_t k = 0; ok && k < hex.size(); k += 2) {
    unsigned v = 0;
    for (std::size_t j = 0; j < 2; ++j) {
      const char c = hex[k + j];
      const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'F' ? c - 'A' + 10
                  : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (d < 0) ok = false;
      v = v << 4 | static_cast<unsigned>(d < 0 ? 0 : d);
    }
    out.push_back(static_cast<unsigned char>(v));
  }
  return out;
}

struct ValueRow {
  const KLDVDevice* device;
  std::string key;
  bool ok;
  float value;
  std::string error;
};

class Session {
 public:
  Session(const Options& o, std::FILE* view, EventLog& events)
      : opt_(o), view_(view), events_(events), io_(), poll_(io_), timeout_(io_), signals_(io_, SIGINT, SIGTERM) {}

  int Run(const std::string& pluginPath, const Json::Value& settings);

 private:
  void Print(const std::string& line) {
    if (opt_.quiet || !view_) return;
    std::lock_guard<std::mutex> lock(viewMutex_);
    std::fputs(line.c_str(), view_);
    std::fputc('\n', view_);
    std::fflush(view_);
  }
  void RestoreCache();
  void SaveCache();
  void OpenLink();
  void Poll();
  void ArmPoll();
  void AfterDeviceCall(std::uint64_t commandsBefore);
  void OnBytes(const unsigned char* data, std::size_t length);
  void OnTimeout(std::uint64_t generation);
  void RoundEnded();
  std::vector<ValueRow> QueryValues();
  void ShowRound(const std::vector<ValueRow>& values, double ms, std::uint64_t commands);
  std::size_t ImageLength(const KLDVDevice* d) const;
  void Stop(const std::string& why, int status);

  const Options& opt_;
  std::FILE* view_;
  std::mutex viewMutex_;
  EventLog& events_;
  asio::io_context io_;
  asio::steady_timer poll_, timeout_;
  asio::signal_set signals_;
  std::unique_ptr<asio::thread_pool> pool_;
  std::shared_ptr<HostController> ctl_;
  std::shared_ptr<KLDSPDevice> device_;
  PMBusProtocol* engine_ = nullptr;
  std::vector<std::shared_ptr<KLDVDevice>> children_;
  std::map<const KLDVDevice*, std::size_t> restoredLength_;
  std::unique_ptr<Link> link_;
  std::uint64_t timeoutGeneration_ = 0;
  long long rounds_ = 0;
  bool inRound_ = false;
  Clock::time_point roundStart_;
  std::uint64_t roundFirstCommand_ = 0;
  bool stopping_ = false;
  int status_ = 0;
  std::string stopReason_;
};

int Session::Run(const std::string& pluginPath, const Json::Value& settings) {
  device_ = CreatePortDevice(pluginPath);
  engine_ = dynamic_cast<PMBusProtocol*>(device_.get());
  if (!engine_) throw RunError("the plug-in's port device has no protocol engine");
  ctl_ = std::make_shared<HostController>(events_, [this](const std::string& line) { Print("log: " + line); });
  pool_ = std::make_unique<asio::thread_pool>(1);
  ctl_->SetWorkPool(pool_.get());

  const Json::Value& id = settings["data_id"];
  if (!id.isNull() && !id.isUInt()) throw RunError("the settings' \"data_id\" must be a whole number from 0");
  device_->Init(ctl_, id.isNull() ? 0u : id.asUInt(), settings);
  if (!device_->InitSetting(settings))
    throw RunError(fmt::format("the plug-in refused the settings in {}", opt_.config));
  if (opt_.replyPauseMs) engine_->SetReplyPause(std::chrono::milliseconds(*opt_.replyPauseMs));
  // The host's side of the cycle: not ready, last update long past.
  device_->dataReady_ = false;
  device_->lastUpdate_ = host_clock::LocalSecondClock() - boost::posix_time::hours(24);
  children_ = device_->GetAllChildVDevices();
  {
    std::string list;
    for (const auto& c : children_)
      if (c) list += fmt::format(" {} {}", c->DeviceType(), c->DataId());
    Print(fmt::format("device {} {}, children:{}", kPortType, device_->DataId(), list));
  }

  if (!opt_.cache.empty()) RestoreCache();
  if (opt_.rounds && *opt_.rounds == 0) {
    pool_->join();
    SaveCache();
    return 0;
  }
  OpenLink();
  ctl_->SetLink(link_.get());
  link_->Start([this](const unsigned char* d, std::size_t n) { OnBytes(d, n); },
               [this](const std::string& why) {
                 if (opt_.source == Source::Replay) Stop(why, 0);
                 else Stop("the line closed: " + why, 1);
               });
  signals_.async_wait([this](const boost::system::error_code& ec, int) {
    if (!ec) Stop("interrupted", 0);
  });
  asio::post(io_, [this] { Poll(); });
  io_.run();

  ctl_->SetLink(nullptr);
  pool_->join();  // every queued work item runs before the cache is written
  SaveCache();
  const auto& st = engine_->GetStats();
  Print(fmt::format("end: {} ({} rounds, {} commands, {} replies, {} rejected, {} time-outs)", stopReason_,
                    rounds_, st.commands, st.replies, st.rejected, st.timeouts));
  if (status_ != 0) std::fprintf(stderr, "qpr2427k-host: %s\n", stopReason_.c_str());
  return status_;
}

void Session::OpenLink() {
  switch (opt_.source) {
    case Source::Simulate: {
      sim::Scenario s;
      try {
        s = opt_.scenario.empty() ? sim::DefaultScenario() : sim::LoadScenario(opt_.scenario);
      } catch (const sim::ScenarioError& e) {
        throw RunError(e.what());
      }
      link_ = OpenSimulated(io_, std::move(s));
      Print(fmt::format("source: built-in simulator ({})", opt_.scenario.empty() ? "default scenario" : opt_.scenario));
      break;
    }
    case Source::Port:
      if (opt_.port.rfind("tcp:", 0) == 0) {
        const std::string rest = opt_.port.substr(4);
        const auto colon = rest.rfind(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == rest.size())
          throw RunError(fmt::format("--port {} needs the form tcp:HOST:PORT", opt_.port));
        link_ = OpenTcp(io_, rest.substr(0, colon), rest.substr(colon + 1));
      } else {
        link_ = OpenSerial(io_, opt_.port, opt_.baud);
      }
      Print(fmt::format("source: {}", opt_.port));
      break;
    case Source::Replay: {
      std::ifstream in(opt_.replay);
      if (!in) throw RunError(fmt::format("cannot open the replay file {}", opt_.replay));
      auto lines = ParseReplay(in, opt_.replay);
      Print(fmt::format("source: replay {} ({} replies)", opt_.replay, lines.size()));
      link_ = OpenReplay(io_, std::move(lines));
      break;
    }
  }
}

void Session::ArmPoll() {
  poll_.expires_after(std::chrono::milliseconds(opt_.pollMs));
  poll_.async_wait([this](const boost::system::error_code& ec) {
    if (!ec) Poll();
  });
}

void Session::Poll() {
  if (stopping_) return;
  // The serial base says 0 while an exchange is open; the host asks only when idle.
  if (!device_->IsProcessing()) {
    const std::uint64_t before = ctl_->commandsSent();
    device_->RefreshStatus();
    AfterDeviceCall(before);
  }
  if (!stopping_) ArmPoll();
}

void Session::AfterDeviceCall(std::uint64_t commandsBefore) {
  if (ctl_->commandsSent() != commandsBefore) {
    if (!inRound_ && ctl_->lastCid2() != 0x51) {  // the model query is not part of a round
      inRound_ = true;
      roundStart_ = ctl_->lastCommandAt();
      roundFirstCommand_ = ctl_->commandsSent();
    }
    const std::uint64_t generation = ++timeoutGeneration_;
    timeout_.expires_after(std::chrono::milliseconds(opt_.timeoutMs));
    timeout_.async_wait([this, generation](const boost::system::error_code& ec) {
      if (!ec) OnTimeout(generation);
    });
  } else if (!device_->IsProcessing()) {
    ++timeoutGeneration_;
    timeout_.cancel();
  }
}

void Session::OnTimeout(std::uint64_t generation) {
  if (stopping_ || generation != timeoutGeneration_ || !device_->IsProcessing()) return;
  engine_->process_error();
}

void Session::OnBytes(const unsigned char* data, std::size_t length) {
  if (stopping_) return;
  std::vector<unsigned char> copy(data, data + length);  // process() takes a mutable buffer
  const std::uint64_t commands = ctl_->commandsSent();
  const std::uint64_t published = ctl_->publications();
  device_->process(copy.data(), static_cast<unsigned>(copy.size()));
  if (ctl_->publications() != published) RoundEnded();
  if (!stopping_) AfterDeviceCall(commands);
}

void Session::RoundEnded() {
  const auto now = Clock::now();
  const double ms = std::chrono::duration<double, std::milli>(now - roundStart_).count();
  const std::uint64_t commands = ctl_->commandsSent() - roundFirstCommand_ + 1;
  inRound_ = false;
  ++rounds_;
  device_->dataReady_ = true;
  device_->lastUpdate_ = host_clock::LocalSecondClock();
  if (opt_.noRoundWait) device_->lastUpdate_ -= boost::posix_time::seconds(2);

  events_.Write({{"event", "round"}, {"round", static_cast<Json::Int64>(rounds_)}, {"ms", std::round(ms * 10.0) / 10.0}});
  const auto values = QueryValues();
  ShowRound(values, ms, commands);
  if (opt_.rounds && rounds_ >= *opt_.rounds) Stop(fmt::format("{} rounds done", rounds_), 0);
}

std::size_t Session::ImageLength(const KLDVDevice* d) const {
  const std::size_t published = ctl_->PublishedLength(d);
  if (published) return published;
  const auto it = restoredLength_.find(d);
  return it == restoredLength_.end() ? 0 : it->second;
}

std::vector<ValueRow> Session::QueryValues() {
  std::vector<ValueRow> rows;
  const auto query = [&](const std::shared_ptr<KLDVDevice>& d, const std::string& key) {
    ValueRow r{d.get(), key, false, 0.0f, {}};
    try {
      r.value = d->Get_Value(0, key);
      r.ok = true;
    } catch (const std::exception& ex) {
      r.error = ex.what();
    }
    events_.Write({{"event", "value"},
                   {"data_id", d->DataId()},
                   {"key", key},
                   r.ok ? Fields::value_type{"value", EventLog::Number(r.value)} : Fields::value_type{"error", r.error}});
    rows.push_back(std::move(r));
  };
  for (const auto& d : children_) {
    if (!d) continue;
    if (d->DeviceType() == kAcType) {
      for (const char* k : kAcPhaseKeys) query(d, k);
      const std::size_t len = ImageLength(d.get());
      const std::size_t channels = len > kAcRecord ? (len - kAcRecord) / kAcChannel : 0;
      for (std::size_t ch = 0; ch < channels; ++ch)
        for (const char* x : kAcChannelKeys) query(d, fmt::format("channel_{}_{}", ch, x));
    } else if (d->DeviceType() == kDcType) {
      for (const char* k : kDcKeys) query(d, k);
    }
  }
  return rows;
}

void Session::ShowRound(const std::vector<ValueRow>& values, double ms, std::uint64_t commands) {
  if (opt_.quiet || !view_) return;
  const auto text = [](const ValueRow* r, int decimals) {
    if (!r) return std::string("-");
    return r->ok ? fmt::format("{:.{}f}", r->value, decimals) : r->error;
  };
  const auto find = [&](const KLDVDevice* d, const std::string& key) -> const ValueRow* {
    for (const auto& r : values)
      if (r.device == d && r.key == key) return &r;
    return nullptr;
  };
  std::vector<std::string> lines;
  lines.push_back(fmt::format("── round {} · {:.1f} ms · {} commands", rounds_, ms, commands));
  for (const auto& d : children_) {
    if (!d) continue;
    if (d->DeviceType() == kAcType) {
      lines.push_back(fmt::format("  AC {:<5} I {} / {} / {} A", d->DataId(), text(find(d.get(), "ia"), 1),
                                  text(find(d.get(), "ib"), 1), text(find(d.get(), "ic"), 1)));
      for (std::size_t ch = 0;; ++ch) {
        const std::string p = fmt::format("channel_{}_", ch);
        if (!find(d.get(), p + "a")) break;
        lines.push_back(fmt::format("           channel {}: {} / {} / {} V  {} Hz", ch, text(find(d.get(), p + "a"), 1),
                                    text(find(d.get(), p + "b"), 1), text(find(d.get(), p + "c"), 1),
                                    text(find(d.get(), p + "f"), 2)));
      }
    } else if (d->DeviceType() == kDcType) {
      lines.push_back(fmt::format("  DC {:<5} {} V  {} A", d->DataId(), text(find(d.get(), "v"), 2),
                                  text(find(d.get(), "i"), 1)));
    } else if (d->DeviceType() == kRcType) {
      const std::size_t len = ImageLength(d.get());
      lines.push_back(fmt::format("  RC {:<5} {} modules", d->DataId(),
                                  len >= kRcRecord ? (len - kRcRecord) / kRcModule : 0));
    }
  }
  int active = 0;
  for (const auto& a : ctl_->Alarms()) {
    if (!a.active) continue;
    ++active;
    lines.push_back(fmt::format("  ALARM {} {} {} [{} {}] {}: {}", a.deviceType, a.dataId, a.key, a.code,
                                a.level, a.name, a.text));
  }
  if (active == 0) lines.push_back("  no active alarms");
  for (const auto& l : lines) Print(l);
}

void Session::RestoreCache() {
  std::vector<CacheEntry> entries = CacheFromJson(ReadJson(opt_.cache, "cache file"), opt_.cache);
  std::vector<bool> used(children_.size(), false);
  for (const auto& e : entries) {
    // The same position first; else the first unused child of that type and id.
    std::size_t at = children_.size();
    const auto fits = [&](std::size_t k) {
      return k < children_.size() && !used[k] && children_[k] && children_[k]->DeviceType() == e.deviceType &&
             children_[k]->DataId() == e.dataId;
    };
    if (fits(e.index)) at = e.index;
    for (std::size_t k = 0; at == children_.size() && k < children_.size(); ++k)
      if (fits(k)) at = k;
    if (at == children_.size()) {
      Print(fmt::format("cache: no child {} {} for entry {}", e.deviceType, e.dataId, e.index));
      continue;
    }
    used[at] = true;
    const int r = children_[at]->LoadFromCache(e.image.data(), static_cast<int>(e.image.size()));
    if (r) restoredLength_[children_[at].get()] = e.image.size();
    Print(fmt::format("cache: {} {} {} ({} bytes)", e.deviceType, e.dataId, r ? "restored" : "refused",
                      e.image.size()));
  }
  // What the host answers right after a restart, before any round.
  QueryValues();
}

void Session::SaveCache() {
  if (opt_.saveCache.empty()) return;
  std::vector<CacheEntry> entries;
  for (std::size_t k = 0; k < children_.size(); ++k) {
    if (!children_[k]) continue;
    auto image = ctl_->LastSaved(children_[k].get());
    if (!image) continue;
    entries.push_back({static_cast<unsigned>(k), children_[k]->DeviceType(), children_[k]->DataId(), std::move(*image)});
  }
  std::ofstream out(opt_.saveCache, std::ios::trunc);
  Json::StreamWriterBuilder b;
  b["indentation"] = "  ";
  out << Json::writeString(b, CacheToJson(entries)) << "\n";
  out.close();
  if (!out) {
    status_ = 1;
    stopReason_ += fmt::format("; cannot write the cache file {}", opt_.saveCache);
    std::fprintf(stderr, "qpr2427k-host: cannot write the cache file %s\n", opt_.saveCache.c_str());
    return;
  }
  Print(fmt::format("cache: {} images written to {}", entries.size(), opt_.saveCache));
}

void Session::Stop(const std::string& why, int status) {
  if (stopping_) return;
  stopping_ = true;
  stopReason_ = why;
  status_ = status;
  poll_.cancel();
  timeout_.cancel();
  signals_.cancel();
  if (link_) link_->Close();
  io_.stop();
}

}  // namespace

Json::Value CacheToJson(const std::vector<CacheEntry>& entries) {
  Json::Value root;
  root["children"] = Json::Value(Json::arrayValue);
  for (const auto& e : entries) {
    Json::Value c;
    c["index"] = e.index;
    c["device_type"] = e.deviceType;
    c["data_id"] = e.dataId;
    c["image"] = EventLog::Hex(e.image.data(), e.image.size());
    root["children"].append(c);
  }
  return root;
}

std::vector<CacheEntry> CacheFromJson(const Json::Value& root, const std::string& name) {
  const auto bad = [&](const std::string& why) { return RunError(fmt::format("the cache file {} {}", name, why)); };
  if (!root.isObject() || !root["children"].isArray()) throw bad("has no \"children\" array");
  std::vector<CacheEntry> out;
  for (const auto& c : root["children"]) {
    if (!c.isObject() || !c["index"].isUInt() || !c["device_type"].isString() || !c["data_id"].isUInt() ||
        !c["image"].isString())
      throw bad("has an entry without index, device_type, data_id and image");
    bool ok = false;
    CacheEntry e{c["index"].asUInt(), c["device_type"].asString(), c["data_id"].asUInt(),
                 FromHex(c["image"].asString(), ok)};
    if (!ok) throw bad("has an image that is not hex");
    out.push_back(std::move(e));
  }
  return out;
}

int Run(const Options& options, std::FILE* view) {
  const Json::Value settings = ReadJson(options.config, "settings file");
  if (!settings.isObject()) throw RunError(fmt::format("the settings file {} must hold an object", options.config));
  EventLog events;
  if (!options.events.empty() && !events.Open(options.events))
    throw RunError(fmt::format("cannot write the events file {}", options.events));
  Session session(options, view, events);
  return session.Run(options.plugin, settings);
}

}  // namespace runner
