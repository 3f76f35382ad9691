// Scenario parsing: every member is checked for type and range, and an error
// names the member by its path (for example "events[2].fuse").
#include "tools/sim/Scenario.h"

#include <fmt/format.h>

#include <sstream>

#include "tools/common/InputFile.h"
#include "tools/common/NearMiss.h"
#include "tools/common/StrictJson.h"

namespace sim {
namespace {

[[noreturn]] void Fail(const std::string& path, const std::string& what) {
  throw ScenarioError(fmt::format("{}: {}", path, what));
}

std::string Path(const std::string& base, const char* key) {
  return base.empty() ? key : base + "." + key;
}

void CheckKeys(const Json::Value& obj, const std::string& path,
               std::initializer_list<const char*> known) {
  if (!obj.isObject()) Fail(path.empty() ? "scenario" : path, "must be an object");
  for (const auto& name : obj.getMemberNames()) {
    bool ok = false;
    for (const char* k : known) ok = ok || name == k;
    if (ok) continue;
    const std::string nearest = inputs::NearMiss(name, std::vector<std::string>(known.begin(), known.end()));
    Fail(Path(path, name.c_str()),
         nearest.empty() ? "unknown member" : fmt::format("unknown member; did you mean \"{}\"?", nearest));
  }
}

long long Int(const Json::Value& obj, const std::string& path, const char* key, long long lo, long long hi,
         long long def) {
  const Json::Value& v = obj[key];
  if (v.isNull()) return def;
  if (!v.isIntegral() || v.asLargestInt() < lo || v.asLargestInt() > hi)
    Fail(Path(path, key), fmt::format("must be a whole number from {} to {}", lo, hi));
  return static_cast<long long>(v.asLargestInt());
}

double Number(const Json::Value& obj, const std::string& path, const char* key, double lo,
              double hi, double def) {
  const Json::Value& v = obj[key];
  if (v.isNull()) return def;
  if (!v.isNumeric() || v.asDouble() < lo || v.asDouble() > hi)
    Fail(Path(path, key), fmt::format("must be a number from {} to {}", lo, hi));
  return v.asDouble();
}

std::string Text(const Json::Value& obj, const std::string& path, const char* key,
                 std::size_t maxBytes, const std::string& def) {
  const Json::Value& v = obj[key];
  if (v.isNull()) return def;
  if (!v.isString()) Fail(Path(path, key), "must be a string");
  std::string s = v.asString();
  if (s.size() > maxBytes) Fail(Path(path, key), fmt::format("must be at most {} bytes", maxBytes));
  return s;
}

Window ParseWindow(const Json::Value& obj, const std::string& path) {
  Window w;
  if (obj.isMember("round")) w.round = Int(obj, path, "round", 0, 1L << 30, 0);
  if (obj.isMember("until_round")) w.untilRound = Int(obj, path, "until_round", 0, 1L << 30, 0);
  if (obj.isMember("second")) w.second = Number(obj, path, "second", 0, 1e9, 0);
  if (obj.isMember("until_second")) w.untilSecond = Number(obj, path, "until_second", 0, 1e9, 0);
  if (w.round && w.second) Fail(path, "give \"round\" or \"second\", not both");
  return w;
}

void ParseCommand(const Json::Value& obj, const std::string& path, int& cid1, int& cid2) {
  const std::string text = Text(obj, path, "command", 5, "");
  if (text.empty()) return;
  unsigned a = 0, b = 0;
  char slash = 0;
  std::istringstream in(text);
  in >> std::hex >> a >> slash >> b;
  if (!in || slash != '/' || !in.eof() || a > 0xFF || b > 0xFF)
    Fail(Path(path, "command"), "must be written as unit and data code in hex, like \"40/41\"");
  cid1 = static_cast<int>(a);
  cid2 = static_cast<int>(b);
}

struct EventRow {
  const char* name;
  EventKind kind;
};
constexpr EventRow kEvents[] = {
    {"mains_failure", EventKind::MainsFailure}, {"fuse_blown", EventKind::FuseBlown},
    {"module_fault", EventKind::ModuleFault},   {"model", EventKind::Model},
    {"ac_alarm", EventKind::AcAlarm},           {"dc_status", EventKind::DcStatus},
    {"switch", EventKind::Switch},
};

struct FaultRow {
  const char* name;
  FaultKind kind;
};
constexpr FaultRow kFaults[] = {
    {"drop", FaultKind::Drop},           {"bad_checksum", FaultKind::BadChecksum},
    {"truncate", FaultKind::Truncate},   {"wrong_unit", FaultKind::WrongUnit},
    {"unit_count", FaultKind::UnitCount}, {"wrong_address", FaultKind::WrongAddress},
};

EventSpec ParseEvent(const Json::Value& e, const std::string& path, const Scenario& s) {
  CheckKeys(e, path, {"type", "round", "until_round", "second", "until_second", "ac", "dc",
                      "fuse", "module", "kind", "model", "channel", "quantity", "state", "byte",
                      "value", "index"});
  const std::string type = Text(e, path, "type", 32, "");
  EventSpec ev;
  bool known = false;
  for (const auto& row : kEvents)
    if (type == row.name) ev.kind = row.kind, known = true;
  if (!known) Fail(Path(path, "type"), fmt::format("unknown event type \"{}\"", type));
  ev.when = ParseWindow(e, path);
  const long acMax = static_cast<long>(s.ac.size()) - 1, dcMax = static_cast<long>(s.dc.size()) - 1;
  switch (ev.kind) {
    case EventKind::MainsFailure:
      ev.ac = static_cast<int>(Int(e, path, "ac", 0, acMax, -1));
      break;
    case EventKind::FuseBlown:
      ev.dc = static_cast<int>(Int(e, path, "dc", 0, dcMax, 0));
      if (dcMax < 0) Fail(path, "the scenario has no DC unit");
      ev.number = static_cast<int>(Int(e, path, "fuse", 1, s.dc[ev.dc].fuses, 1));
      break;
    case EventKind::ModuleFault:
      ev.number = static_cast<int>(Int(e, path, "module", 1, s.rectifier.modules, 1));
      ev.what = Text(e, path, "kind", 16, "fault");
      if (ev.what != "fault" && ev.what != "overvoltage" && ev.what != "comm")
        Fail(Path(path, "kind"), "must be \"fault\", \"overvoltage\" or \"comm\"");
      break;
    case EventKind::Model:
      if (!e.isMember("model")) Fail(path, "a model event needs \"model\"");
      ev.what = Text(e, path, "model", 10, "");
      break;
    case EventKind::AcAlarm: {
      if (acMax < 0) Fail(path, "the scenario has no AC unit");
      ev.ac = static_cast<int>(Int(e, path, "ac", 0, acMax, 0));
      ev.what = Text(e, path, "quantity", 2, "");
      const bool phase = ev.what == "a" || ev.what == "b" || ev.what == "c" || ev.what == "f";
      const bool current = ev.what == "ia" || ev.what == "ib" || ev.what == "ic";
      if (!phase && !current)
        Fail(Path(path, "quantity"), "must be \"a\", \"b\", \"c\", \"f\", \"ia\", \"ib\" or \"ic\"");
      ev.number = static_cast<int>(Int(e, path, "channel", 1, s.ac[ev.ac].channels, 1));
      ev.value = static_cast<int>(Int(e, path, "state", 0, 255, 1));
      break;
    }
    case EventKind::DcStatus:
      if (dcMax < 0) Fail(path, "the scenario has no DC unit");
      ev.dc = static_cast<int>(Int(e, path, "dc", 0, dcMax, 0));
      ev.number = static_cast<int>(Int(e, path, "byte", 0, s.dc[ev.dc].statusBytes - 1, 0));
      ev.value = static_cast<int>(Int(e, path, "value", 0, 255, 0));
      break;
    case EventKind::Switch:
      if (acMax < 0) Fail(path, "the scenario has no AC unit");
      ev.ac = static_cast<int>(Int(e, path, "ac", 0, acMax, 0));
      if (s.ac[ev.ac].switches == 0) Fail(Path(path, "ac"), "that AC unit has no switches");
      ev.number = static_cast<int>(Int(e, path, "index", 0, s.ac[ev.ac].switches - 1, 0));
      ev.value = static_cast<int>(Int(e, path, "state", 0, 255, 1));
      break;
  }
  return ev;
}

FaultSpec ParseFault(const Json::Value& f, const std::string& path) {
  CheckKeys(f, path, {"type", "rate", "round", "until_round", "second", "until_second", "count",
                      "command", "delta", "every", "address"});
  const std::string type = Text(f, path, "type", 32, "");
  FaultSpec fault;
  bool known = false;
  for (const auto& row : kFaults)
    if (type == row.name) fault.kind = row.kind, known = true;
  if (!known) Fail(Path(path, "type"), fmt::format("unknown fault type \"{}\"", type));
  fault.when = ParseWindow(f, path);
  fault.rate = Number(f, path, "rate", 0.0, 1.0, 0.0);
  fault.count = static_cast<int>(Int(f, path, "count", 1, 1L << 30, 1));
  fault.every = static_cast<int>(Int(f, path, "every", 1, 1L << 30, 0));
  if (fault.every > 0 && (f.isMember("rate") || f.isMember("count")))
    Fail(path, "give \"every\" without \"rate\" and \"count\"");
  if (fault.rate == 0.0 && fault.every == 0 && !fault.when.HasStart())
    Fail(path, "a fault needs a \"rate\", \"every\" or a time (\"round\" or \"second\")");
  if (f.isMember("address") && fault.kind != FaultKind::WrongAddress)
    Fail(Path(path, "address"), "goes with a \"wrong_address\" fault only");
  fault.address = static_cast<int>(Int(f, path, "address", 0, 255, -1));
  fault.delta = static_cast<int>(Int(f, path, "delta", -255, 255, 1));
  if (fault.kind == FaultKind::UnitCount && fault.delta == 0) Fail(Path(path, "delta"), "must not be 0");
  ParseCommand(f, path, fault.cid1, fault.cid2);
  return fault;
}

}  // namespace

bool Window::Contains(long long atRound, double atSecond) const {
  if (round && atRound < *round) return false;
  if (second && atSecond < *second) return false;
  if (untilRound && atRound >= *untilRound) return false;
  if (untilSecond && atSecond >= *untilSecond) return false;
  return true;
}

Scenario DefaultScenario() {
  Scenario s;
  s.ac.resize(2);
  s.dc.resize(1);
  return s;
}

Scenario ParseScenario(const Json::Value& root) {
  CheckKeys(root, "", {"description", "address", "seed", "model", "version", "maker", "ac",
                       "rectifier", "dc", "events", "faults", "silent"});
  Scenario s;
  s.address = static_cast<unsigned char>(Int(root, "", "address", 0, 255, 1));
  s.seed = static_cast<std::uint32_t>(Int(root, "", "seed", 0, 0xFFFFFFFFLL, 1));
  s.model = Text(root, "", "model", 10, s.model);
  s.maker = Text(root, "", "maker", 20, s.maker);
  if (!root["silent"].isNull() && !root["silent"].isBool()) Fail("silent", "must be true or false");
  s.silent = root["silent"].asBool();
  const Json::Value& ver = root["version"];
  if (!ver.isNull()) {
    if (!ver.isArray() || ver.size() != 2 || !ver[0].isIntegral() || !ver[1].isIntegral() ||
        ver[0].asLargestInt() < 0 || ver[0].asLargestInt() > 255 || ver[1].asLargestInt() < 0 ||
        ver[1].asLargestInt() > 255)
      Fail("version", "must be two whole numbers from 0 to 255, like [1, 0]");
    s.versionMajor = static_cast<unsigned char>(ver[0].asUInt());
    s.versionMinor = static_cast<unsigned char>(ver[1].asUInt());
  }

  // Absent "ac" or "dc": the units of the built-in system; [] means none.
  const Scenario builtIn = DefaultScenario();
  if (!root.isMember("ac")) s.ac = builtIn.ac;
  const Json::Value& ac = root.isMember("ac") ? root["ac"] : Json::Value(Json::arrayValue);
  if (!ac.isArray() || ac.size() > 8) Fail("ac", "must be an array of at most 8 units");
  for (Json::ArrayIndex k = 0; k < ac.size(); ++k) {
    const std::string p = fmt::format("ac[{}]", k);
    CheckKeys(ac[k], p, {"channels", "voltage", "frequency", "current", "switches"});
    AcUnitSpec u;
    u.channels = static_cast<int>(Int(ac[k], p, "channels", 0, 8, u.channels));
    u.voltage = static_cast<float>(Number(ac[k], p, "voltage", 0, 1000, u.voltage));
    u.frequency = static_cast<float>(Number(ac[k], p, "frequency", 0, 100, u.frequency));
    u.current = static_cast<float>(Number(ac[k], p, "current", 0, 1000, u.current));
    u.switches = static_cast<int>(Int(ac[k], p, "switches", 0, 8, u.switches));
    s.ac.push_back(u);
  }

  if (root.isMember("rectifier")) {
    const Json::Value& r = root["rectifier"];
    CheckKeys(r, "rectifier", {"modules", "voltage", "current"});
    s.rectifier.modules = static_cast<int>(Int(r, "rectifier", "modules", 0, 60, s.rectifier.modules));
    s.rectifier.voltage = static_cast<float>(Number(r, "rectifier", "voltage", 0, 100, s.rectifier.voltage));
    s.rectifier.current = static_cast<float>(Number(r, "rectifier", "current", 0, 500, s.rectifier.current));
  }

  if (!root.isMember("dc")) s.dc = builtIn.dc;
  const Json::Value& dc = root.isMember("dc") ? root["dc"] : Json::Value(Json::arrayValue);
  if (!dc.isArray() || dc.size() > 8) Fail("dc", "must be an array of at most 8 units");
  for (Json::ArrayIndex k = 0; k < dc.size(); ++k) {
    const std::string p = fmt::format("dc[{}]", k);
    CheckKeys(dc[k], p, {"voltage", "current", "batteries", "loads", "fuses", "status_bytes"});
    DcUnitSpec u;
    u.voltage = static_cast<float>(Number(dc[k], p, "voltage", 0, 100, u.voltage));
    u.current = static_cast<float>(Number(dc[k], p, "current", 0, 5000, u.current));
    u.batteries = static_cast<int>(Int(dc[k], p, "batteries", 0, 16, u.batteries));
    u.loads = static_cast<int>(Int(dc[k], p, "loads", 0, 16, u.loads));
    u.fuses = static_cast<int>(Int(dc[k], p, "fuses", 0, 100, u.fuses));
    u.statusBytes = static_cast<int>(Int(dc[k], p, "status_bytes", 0, 32, u.statusBytes));
    s.dc.push_back(u);
  }

  const Json::Value& events = root["events"];
  if (!events.isNull() && !events.isArray()) Fail("events", "must be an array");
  for (Json::ArrayIndex k = 0; k < events.size(); ++k)
    s.events.push_back(ParseEvent(events[k], fmt::format("events[{}]", k), s));

  const Json::Value& faults = root["faults"];
  if (!faults.isNull() && !faults.isArray()) Fail("faults", "must be an array");
  for (Json::ArrayIndex k = 0; k < faults.size(); ++k)
    s.faults.push_back(ParseFault(faults[k], fmt::format("faults[{}]", k)));
  return s;
}

BusScenario ParseBusScenario(const Json::Value& root) {
  if (!root.isObject() || !root.isMember("systems")) return BusScenario(ParseScenario(root));
  for (const auto& name : root.getMemberNames())
    if (name != "description" && name != "systems")
      Fail(name, "unknown member beside \"systems\"; a system's members go in its entry of \"systems\"");
  const Json::Value& list = root["systems"];
  if (!list.isArray() || list.empty() || list.size() > 255)
    Fail("systems", "must be an array of 1 to 255 systems");
  BusScenario bus;
  for (Json::ArrayIndex k = 0; k < list.size(); ++k) {
    const std::string at = fmt::format("systems[{}]", k);
    if (!list[k].isObject()) Fail(at, "must be an object");
    try {
      bus.systems.push_back(ParseScenario(list[k]));
    } catch (const ScenarioError& e) {
      throw ScenarioError(at + "." + e.what());
    }
    Scenario& s = bus.systems.back();
    // Systems that differ by default: each its own values' drift.
    if (!list[k].isMember("seed")) s.seed = k + 1;
    for (Json::ArrayIndex j = 0; j < k; ++j)
      if (bus.systems[j].address == s.address)
        Fail(at + ".address", fmt::format("address {} is also that of systems[{}]; each system needs its own",
                                          s.address, j));
  }
  return bus;
}

namespace {

Json::Value ReadScenarioFile(const std::string& path) {
  try {
    return inputs::ParseStrictJson(inputs::ReadInputFile(path, "scenario file"));
  } catch (const inputs::InputError& e) {
    throw ScenarioError(e.what());
  } catch (const inputs::JsonTextError& e) {
    throw ScenarioError(fmt::format("the scenario file {} is not valid JSON: {}", path, e.what()));
  }
}

}  // namespace

BusScenario LoadBusScenario(const std::string& path) {
  const Json::Value root = ReadScenarioFile(path);
  try {
    return ParseBusScenario(root);
  } catch (const ScenarioError& e) {
    throw ScenarioError(fmt::format("{}: {}", path, e.what()));
  }
}

Scenario LoadScenario(const std::string& path) {
  const Json::Value root = ReadScenarioFile(path);
  try {
    return ParseScenario(root);
  } catch (const ScenarioError& e) {
    throw ScenarioError(fmt::format("{}: {}", path, e.what()));
  }
}

}  // namespace sim
