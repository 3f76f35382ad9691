// Event kinds of the --events stream and their members, one function per kind.
#include "tools/host/EventsWriter.h"

#include <cmath>

namespace runner {
namespace {

std::string HexByte(unsigned char b) { return EventLog::Hex(&b, 1); }
std::string Hex(const std::vector<unsigned char>& v) { return EventLog::Hex(v.data(), v.size()); }

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
    out.push_back({{"event", "publish"}, {"data_id", p.dataId}, {"record_type", p.recordType}, {"image", Hex(p.image)}});
  }
  void operator()(const HistorySaved& h) const {
    out.push_back({{"event", "history"}, {"data_id", h.dataId}, {"image", Hex(h.image)}});
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
                     r.ok ? Fields::value_type{"value", EventLog::Number(r.value)} : Fields::value_type{"error", r.error}});
  }
  void operator()(const HealthChanged& h) const {
    out.push_back({{"event", "health"}, {"state", HealthName(h.state)}, {"previous", HealthName(h.previous)},
                   {"message", h.message}});
  }
  void operator()(const Diagnosis& d) const { out.push_back({{"event", "diagnosis"}, {"message", d.message}}); }
  void operator()(const Notice&) const {}  // for the person watching only
};

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
  for (auto& e : events) e.push_back({"t", static_cast<Json::Int64>(o.t)});
  return events;
}

void EventsWriter::Observe(const Stamped& o) {
  if (!log_.enabled()) return;
  for (const auto& e : EventFields(o)) log_.Write(e);
}

}  // namespace runner
