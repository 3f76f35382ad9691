// --check-config and --discover.
#include "tools/host/cli/Jobs.h"

#include <fmt/format.h>

#include <boost/asio/io_context.hpp>
#include <memory>

#include "host/KLDSPDevice.h"
#include "tools/host/cli/Discover.h"
#include "tools/host/loop/HostController.h"
#include "tools/host/loop/LabelsFile.h"
#include "tools/host/line/Links.h"
#include "tools/host/loop/PluginLoader.h"
#include "tools/host/stream/RunError.h"
#include "tools/host/loop/SettingsCheck.h"
#include "tools/sim/Scenario.h"

namespace runner {
namespace {

struct LogLines : Observer {
  std::vector<std::string> lines;
  void Observe(const Stamped& o) override {
    if (const auto* l = std::get_if<LogLine>(&o.what)) lines.push_back(l->message);
  }
};

std::unique_ptr<Link> OpenForDiscovery(boost::asio::io_context& io, const RunOptions& o) {
  if (o.source == Source::Simulate) {
    try {
      return OpenSimulated(io, o.scenario.empty() ? sim::DefaultScenario() : sim::LoadBusScenario(o.scenario));
    } catch (const sim::ScenarioError& e) {
      throw RunError(e.what());
    }
  }
  if (o.port.rfind("tcp:", 0) != 0) return OpenSerial(io, o.port, o.baud);
  const std::string rest = o.port.substr(4);
  const auto colon = rest.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 == rest.size())
    throw RunError(fmt::format("--port {} needs the form tcp:HOST:PORT", o.port));
  std::unique_ptr<Link> link;
  std::string error;
  OpenTcpAsync(io, rest.substr(0, colon), rest.substr(colon + 1),
               [&](std::unique_ptr<Link> l, const std::string& e) { link = std::move(l), error = e; });
  io.run();
  io.restart();
  if (!link) throw RunError(error);
  return link;
}

}  // namespace

int CheckConfig(const RunOptions& options, std::FILE* out) {
  const Json::Value settings = ReadJson(options.checkConfig, "settings file");
  std::vector<std::string> problems;
  for (const auto& p : CheckSettings(settings)) problems.push_back(Describe(p));
  if (settings.isObject()) {
    // What the plug-in itself says of them.
    ObservationBus bus;
    LogLines log;
    bus.Add(&log);
    auto ctl = std::make_shared<HostController>(bus);
    auto device = CreatePortDevice(options.plugin);
    const Json::Value& id = settings["data_id"];
    device->Init(ctl, id.isUInt() ? id.asUInt() : 0u, settings);
    const bool accepted = device->InitSetting(settings);
    for (const auto& line : log.lines) problems.push_back("the plug-in says: " + line);
    if (!accepted) problems.push_back("the plug-in refuses these settings");
  }
  for (const auto& p : problems) std::fprintf(out, "%s: %s\n", options.checkConfig.c_str(), p.c_str());
  if (problems.empty()) std::fprintf(out, "%s: no problems\n", options.checkConfig.c_str());
  if (options.labels.empty()) return problems.empty() ? 0 : 1;
  // The labels file, said the same way: each problem, or that it is clean.
  const auto labelProblems = CheckLabels(ReadJson(options.labels, "labels file")).problems;
  for (const auto& p : labelProblems) std::fprintf(out, "%s: %s\n", options.labels.c_str(), Describe(p).c_str());
  if (labelProblems.empty()) std::fprintf(out, "%s: no problems\n", options.labels.c_str());
  return problems.empty() && labelProblems.empty() ? 0 : 1;
}

int DiscoverSystem(const RunOptions& options, std::FILE* out) {
  boost::asio::io_context io;
  DiscoverOptions d;
  d.address = options.address;
  d.firstId = options.firstId;
  d.timeoutMs = options.timeoutMs;
  std::unique_ptr<Link> link;
  try {
    link = OpenForDiscovery(io, options);
    const Discovered found = Discover(io, *link, d);
    const auto count = [](unsigned n, const char* one, const char* many) {
      return fmt::format("{} {}", n, n == 1 ? one : many);
    };
    std::fprintf(stderr, "found: model \"%s\" by \"%s\" (version %d.%d), %s (%s), %s, %s\n", found.model.c_str(),
                 found.maker.c_str(), found.versionMajor, found.versionMinor,
                 count(found.acUnits, "AC unit", "AC units").c_str(),
                 count(found.acChannels, "channel", "channels").c_str(),
                 count(found.dcUnits, "DC unit", "DC units").c_str(),
                 count(found.rectifierModules, "rectifier module", "rectifier modules").c_str());
    std::fputs(SettingsJson(found, d).c_str(), out);
  } catch (const LinkError& e) {
    throw RunError(e.what());
  } catch (const DiscoverError& e) {
    throw RunError(e.what());
  }
  return 0;
}

}  // namespace runner
