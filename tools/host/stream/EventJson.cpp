// Event kinds and their members, one function per kind, and the JSON
// helpers the outputs share (jsoncpp, compact, UTF-8 kept as is).
#include "tools/host/stream/EventJson.h"

#include <fmt/format.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <sstream>

namespace runner {
namespace {

std::string HexByte(unsigned char b) { return Hex(&b, 1); }
std::string HexOf(const std::vector<unsigned char>& v) { return Hex(v.data(), v.size()); }

Fields AlarmFields(const char* kind, const AlarmCall& a) {
  Fields f{{"event", kind}};
  for (auto& m : AlarmMembers(a)) f.push_back(std::move(m));
  f.push_back({"active", a.active});
  return f;
}

struct ToFields {
  std::vector<Fields>& out;

  void operator()(const CommandSent& c) const {
    out.push_back({{"event", "command"}, {"cid1", HexByte(c.cid1)}, {"cid2", HexByte(c.cid2)}, {"info", c.info},
                   {"frame", c.frame}});
  }
  void operator()(const ReplyAccepted& r) const {
    out.push_back({{"event", "reply"}, {"cid1", HexByte(r.cid1)}, {"rtn", HexByte(r.rtn)}, {"info", r.info},
                   {"frame", r.frame}});
    if (!r.modelFile.empty()) {
      out.back().push_back({"model_file", r.modelFile});
      out.back().push_back({"seen", static_cast<Json::Int64>(r.seen)});
    }
  }
  void operator()(const FrameRejected& r) const { out.push_back({{"event", "rejected"}, {"reason", r.reason}}); }
  void operator()(const ReplyMissing&) const { out.push_back({{"event", "timeout"}}); }
  void operator()(const AlarmCall& a) const {
    out.push_back(AlarmFields("alarm", a));
    out.back().push_back({"slot", a.slot});
  }
  void operator()(const AlarmChange& c) const {
    out.push_back(AlarmFields("alarm_change", c.alarm));
    out.back().insert(out.back().begin() + 1, {"change", c.raised ? "raised" : "cleared"});
    out.back().push_back({"since", static_cast<Json::Int64>(c.since)});
  }
  void operator()(const Published& p) const {
    out.push_back({{"event", "publish"}, {"data_id", p.dataId}, {"record_type", p.recordType}, {"image", HexOf(p.image)}});
  }
  void operator()(const HistorySaved& h) const {
    out.push_back({{"event", "history"}, {"data_id", h.dataId}, {"image", HexOf(h.image)}});
  }
  void operator()(const LogLine& l) const {
    out.push_back({{"event", "log"}, {"data_id", l.dataId}, {"message", l.message}});
  }
  void operator()(const RoundEnded& r) const {
    out.push_back({{"event", "round"}, {"round", static_cast<Json::Int64>(r.round)}, {"ms", std::round(r.ms * 10.0) / 10.0}});
  }
  void operator()(const ValuesRead& v) const {
    for (const auto& r : v.rows)
      out.push_back({{"event", "value"},
                     {"data_id", r.dataId},
                     {"key", r.key},
                     r.ok ? Fields::value_type{"value", Number(r.value)} : Fields::value_type{"error", r.error}});
  }
  void operator()(const HealthChanged& h) const {
    out.push_back({{"event", "health"}, {"state", HealthName(h.state)}, {"previous", HealthName(h.previous)},
                   {"message", h.message}});
  }
  void operator()(const Diagnosis& d) const { out.push_back({{"event", "diagnosis"}, {"message", d.message}}); }
  void operator()(const Notice&) const {}  // for the person watching only
  void operator()(const FrameSeen& f) const {
    Fields e{{"event", "frame"}};
    if (f.sideKnown) e.push_back({"dir", f.command ? "command" : "reply"});
    if (f.header) {
      e.push_back({"addr", HexByte(f.adr)});
      e.push_back({"cid1", HexByte(f.cid1)});
      if (f.cid2 >= 0) e.push_back({"cid2", HexByte(static_cast<unsigned char>(f.cid2))});
      if (f.rtn >= 0) e.push_back({"rtn", HexByte(static_cast<unsigned char>(f.rtn))});
      e.push_back({"len", f.len});
    }
    e.push_back({"ok", f.ok});
    if (f.latencyMs >= 0) e.push_back({"latency_ms", std::round(f.latencyMs * 1000.0) / 1000.0});
    if (!f.problem.empty()) e.push_back({"problem", f.problem});
    if (!f.name.empty()) e.push_back({"command", f.name});
    if (!f.summary.empty()) e.push_back({"summary", f.summary});
    e.push_back({"frame", f.frame});
    out.push_back(std::move(e));
  }
};

// The writer keeps state while it writes: one per thread that formats events.
Json::StreamWriter& Writer() {
  thread_local const std::unique_ptr<Json::StreamWriter> writer = [] {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    // 9 significant digits read back every float exactly; Number() keeps the
    // shortest form, so 230.1 stays 230.1.
    b["precision"] = 9;
    return std::unique_ptr<Json::StreamWriter>(b.newStreamWriter());
  }();
  return *writer;
}

}  // namespace

Fields AlarmMembers(const AlarmCall& a) {
  return {{"data_id", a.dataId}, {"device_type", a.deviceType}, {"level", a.level}, {"key", a.key},
          {"code", a.code},      {"name", a.name},              {"text", a.text}};
}

Json::Value AlarmObject(const AlarmCall& a) {
  Json::Value v(Json::objectValue);
  for (const auto& [name, value] : AlarmMembers(a)) v[name] = value;
  return v;
}

std::vector<Fields> EventFields(const Stamped& o) {
  std::vector<Fields> events;
  std::visit(ToFields{events}, o.what);
  for (auto& e : events) {
    e.push_back({"t", static_cast<Json::Int64>(o.t)});
    // Only runs with several systems tag their events with the one they concern.
    if (o.system) {
      Json::Value system(Json::objectValue);
      system["address"] = o.system->address;
      system["name"] = o.system->name;
      system["id"] = o.system->id;
      e.push_back({"system", std::move(system)});
    }
  }
  return events;
}

std::string EventLine(const Fields& event) {
  Json::StreamWriter& json = Writer();
  std::ostringstream out;
  out << '{';
  for (std::size_t k = 0; k < event.size(); ++k) {
    if (k) out << ',';
    json.write(Json::Value(event[k].first), &out);
    out << ':';
    json.write(event[k].second, &out);
  }
  out << '}';
  return out.str();
}

std::string Hex(const unsigned char* data, std::size_t length) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(2 * length);
  for (std::size_t k = 0; k < length; ++k) {
    s += kHex[data[k] >> 4];
    s += kHex[data[k] & 0xF];
  }
  return s;
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

Json::Value Number(float value) {
  if (!std::isfinite(value)) return Json::Value();
  // fmt prints a float's shortest round-trip form; reading that text as a
  // double gives the double that prints the same way at 9 digits.
  return Json::Value(std::strtod(fmt::format("{}", value).c_str(), nullptr));
}

}  // namespace runner
