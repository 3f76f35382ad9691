// Makes the observers of a run from its options.
#include "tools/host/loop/Outputs.h"

#include <unistd.h>

#include <utility>

namespace runner {
namespace {

// The page's address for another machine: a wildcard address ("0.0.0.0:9127",
// "[::]:9127") stands for this machine's name.
std::string PageUrl(const std::string& endpoint) {
  const auto colon = endpoint.rfind(':');
  std::string host = endpoint.substr(0, colon);
  if (host == "0.0.0.0" || host == "[::]") {
    char name[256] = {};
    host = gethostname(name, sizeof name - 1) == 0 && name[0] ? name : "localhost";
  }
  return "http://" + host + endpoint.substr(colon) + "/";
}

}  // namespace

Outputs::Outputs(const RunOptions& o, std::FILE* view, EventLog& events, ObservationBus& bus)
    : events_(events), view_(view ? view : stderr, o.quiet) {
  if (events.enabled()) bus.Add(&events_);
  if (view) bus.Add(&view_);
  if (!o.saveCache.empty()) {
    cache_ = std::make_unique<CacheWriter>(o.saveCache);
    bus.Add(cache_.get());
  }
  const std::string site = o.site.empty() ? DefaultSite() : o.site;
  // The endpoint listens before MQTT starts, so that Home Assistant's devices
  // can link to its page (on the port the system chose, with --http 0).
  if (o.httpPort) http_ = std::make_unique<HttpServer>(o.httpAddresses, *o.httpPort, site);
  if (o.mqtt) {
    MqttSettings m{*o.mqtt, o.mqttCa, o.mqttPrefix, site,
                   o.mqttClientId.empty() ? "qpr2427k-host-" + site : o.mqttClientId,
                   http_ && !http_->Endpoints().empty() ? PageUrl(http_->Endpoints().front()) : ""};
    mqtt_ = std::make_unique<MqttExporter>(std::move(m));
    bus.Add(mqtt_.get());
  }
  if (http_) bus.Add(http_.get());
  if (o.nutPort) {
    nut_ = std::make_unique<NutServer>(o.nutAddresses, *o.nutPort, o.nut);
    bus.Add(nut_.get());
  }
#if QPR_HAVE_SNMP
  if (!o.snmpAgentx.empty()) {
    snmp_ = std::make_unique<SnmpAgent>(SnmpSettings{o.snmpAgentx, o.snmpRoot});
    bus.Add(snmp_.get());
  }
#endif
}

void Outputs::Systems(const std::vector<SystemRef>& systems) {
  if (http_) http_->Expect(systems);
  if (cache_) cache_->Systems(systems);
  if (nut_) nut_->Systems(systems);
#if QPR_HAVE_SNMP
  if (snmp_) snmp_->Systems(systems);
#endif
}

}  // namespace runner
