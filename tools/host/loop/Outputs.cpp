// Makes the observers of a run from its options.
#include "tools/host/loop/Outputs.h"

namespace runner {

Outputs::Outputs(const RunOptions& o, std::FILE* view, EventLog& events, ObservationBus& bus)
    : events_(events), view_(view ? view : stderr, o.quiet) {
  if (events.enabled()) bus.Add(&events_);
  if (view) bus.Add(&view_);
  if (!o.saveCache.empty()) {
    cache_ = std::make_unique<CacheWriter>(o.saveCache);
    bus.Add(cache_.get());
  }
  const std::string site = o.site.empty() ? DefaultSite() : o.site;
  if (o.mqtt) {
    mqtt_ = std::make_unique<MqttExporter>(MqttSettings{
        *o.mqtt, o.mqttCa, o.mqttPrefix, site, o.mqttClientId.empty() ? "qpr2427k-host-" + site : o.mqttClientId});
    bus.Add(mqtt_.get());
  }
  if (o.httpPort) {
    http_ = std::make_unique<HttpServer>(o.httpAddresses, *o.httpPort, site);
    bus.Add(http_.get());
  }
}

}  // namespace runner
