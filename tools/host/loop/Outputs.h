// The observers a run's options ask for, made in one place and added to the
// bus in a fixed order: events file, terminal view, cache file, MQTT, HTTP, NUT, SNMP.
#pragma once
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tools/host/loop/RunOptions.h"
#include "tools/host/outputs/cache/CacheWriter.h"
#include "tools/host/outputs/events/EventsWriter.h"
#include "tools/host/outputs/http/HttpServer.h"
#include "tools/host/outputs/mqtt/MqttExporter.h"
#include "tools/host/outputs/nut/NutServer.h"
#if QPR_HAVE_SNMP
#include "tools/host/outputs/snmp/SnmpAgent.h"
#endif
#include "tools/host/outputs/view/TerminalView.h"

namespace runner {

class Outputs {
 public:
  // `view` null: no terminal view; `events` not enabled: no events file.
  Outputs(const RunOptions& o, std::FILE* view, EventLog& events, ObservationBus& bus);

  // Several systems on the line, before the run: the outputs that keep or serve each apart learn them.
  void Systems(const std::vector<SystemRef>& systems);

  CacheWriter* cache() const { return cache_.get(); }
  HttpServer* http() const { return http_.get(); }
  NutServer* nut() const { return nut_.get(); }

 private:
  EventsWriter events_;
  TerminalView view_;
  std::unique_ptr<CacheWriter> cache_;
  std::unique_ptr<MqttExporter> mqtt_;
  std::unique_ptr<HttpServer> http_;
  std::unique_ptr<NutServer> nut_;
#if QPR_HAVE_SNMP
  std::unique_ptr<SnmpAgent> snmp_;
#endif
};

}  // namespace runner
