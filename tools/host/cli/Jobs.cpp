// --check-config and --discover.
#include "tools/host/cli/Jobs.h"

#include <fmt/format.h>

#include <boost/asio/io_context.hpp>
#include <chrono>
#include <memory>

#include "host/KLDSPDevice.h"
#include "tools/host/cli/Discover.h"
#include "tools/host/loop/HostController.h"
#include "tools/host/loop/LabelsFile.h"
#include "tools/host/line/Links.h"
#include "tools/host/loop/PluginLoader.h"
#include "tools/host/stream/RunError.h"
#include "tools/host/loop/SettingsCheck.h"
#include "tools/host/loop/SystemList.h"
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
  const Json::Value file = ReadJson(options.checkConfig, "settings file");
  std::vector<std::string> problems;
  std::vector<SystemEntry> systems;
  try {
    systems = ListSystems(file);
  } catch (const SystemListError& e) {
    problems.push_back(e.what());
  }
  for (const SystemEntry& system : systems) {
    for (const auto& p : CheckSettings(system.settings)) problems.push_back(Describe({PlaceIn(system, p.where), p.text}));
    const Json::Value& settings = system.settings;
    if (!settings.isObject()) continue;
    // What the plug-in itself says of them.
    const std::string who = system.name.empty() ? "" : system.name + ": ";
    ObservationBus bus;
    LogLines log;
    bus.Add(&log);
    auto ctl = std::make_shared<HostController>(bus);
    auto device = CreatePortDevice(options.plugin);
    const Json::Value& id = settings["data_id"];
    device->Init(ctl, id.isUInt() ? id.asUInt() : 0u, settings);
    const bool accepted = device->InitSetting(settings);
    for (const auto& line : log.lines) problems.push_back(who + "the plug-in says: " + line);
    if (!accepted) problems.push_back(who + "the plug-in refuses these settings");
  }
  for (const auto& p : CheckAcrossSystems(systems)) problems.push_back(Describe(p));
  for (const auto& p : problems) std::fprintf(out, "%s: %s\n", options.checkConfig.c_str(), p.c_str());
  if (problems.empty()) std::fprintf(out, "%s: no problems\n", options.checkConfig.c_str());
  if (options.labels.empty()) return problems.empty() ? 0 : 1;
  // The labels file, said the same way: each problem, or that it is clean.
  const auto labelProblems = CheckLabels(ReadJson(options.labels, "labels file")).problems;
  for (const auto& p : labelProblems) std::fprintf(out, "%s: %s\n", options.labels.c_str(), Describe(p).c_str());
  if (labelProblems.empty()) std::fprintf(out, "%s: no problems\n", options.labels.c_str());
  return problems.empty() && labelProblems.empty() ? 0 : 1;
}

namespace {

std::string Count(unsigned n, const char* one, const char* many) { return fmt::format("{} {}", n, n == 1 ? one : many); }

// "model "X" by "Y" (version 1.0), 2 AC units (1 channel), 1 DC unit, 3 rectifier modules"
std::string Summary(const Discovered& found) {
  return fmt::format("model \"{}\" by \"{}\" (version {}.{}), {} ({}), {}, {}", found.model, found.maker,
                     found.versionMajor, found.versionMinor, Count(found.acUnits, "AC unit", "AC units"),
                     Count(found.acChannels, "channel", "channels"), Count(found.dcUnits, "DC unit", "DC units"),
                     Count(found.rectifierModules, "rectifier module", "rectifier modules"));
}

// --scan: every address of the list asked; the systems found printed as one
// settings list. Exit 1 when none was found or one that answered could not
// be discovered.
int ScanLine(boost::asio::io_context& io, Link& link, const RunOptions& options, const DiscoverOptions& d,
             std::FILE* out) {
  const auto start = std::chrono::steady_clock::now();
  const std::vector<ScanResult> results = Scan(io, link, options.scan, d, options.scanTimeoutMs);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  unsigned found = 0, failed = 0;
  for (const ScanResult& r : results) {
    if (r.found) {
      ++found;
      std::fprintf(stderr, "found at address %u: %s\n", r.address, Summary(*r.found).c_str());
    } else if (r.answeredModel) {
      ++failed;
      std::fprintf(stderr, "address %u answered the model query, then: %s\n", r.address, r.note.c_str());
    } else if (!r.note.empty()) {
      // A reply with another address is not a system at this one.
      std::fprintf(stderr, "address %u: no system there; the reply refused: %s\n", r.address, r.note.c_str());
    }
  }
  std::fprintf(stderr, "scanned %zu addresses in %.1f s: %s\n", results.size(), seconds,
               Count(found, "system", "systems").c_str());
  if (found == 0) throw RunError(fmt::format("no power system answered at the {} addresses asked", results.size()));
  std::fputs(SystemsSettingsJson(results, d).c_str(), out);
  return failed == 0 ? 0 : 1;
}

}  // namespace

int DiscoverSystem(const RunOptions& options, std::FILE* out) {
  boost::asio::io_context io;
  DiscoverOptions d;
  d.address = options.address;
  d.firstId = options.firstId;
  d.timeoutMs = options.timeoutMs;
  std::unique_ptr<Link> link;
  try {
    link = OpenForDiscovery(io, options);
    if (!options.scan.empty()) return ScanLine(io, *link, options, d, out);
    const Discovered found = Discover(io, *link, d);
    std::fprintf(stderr, "found: %s\n", Summary(found).c_str());
    std::fputs(SettingsJson(found, d).c_str(), out);
  } catch (const LinkError& e) {
    throw RunError(e.what());
  } catch (const DiscoverError& e) {
    throw RunError(e.what());
  }
  return 0;
}

}  // namespace runner
