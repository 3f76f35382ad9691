// The run's status models as the HTTP endpoint serves them: one system's
// answers as they always were; several systems' merged, each sample and each
// status object naming its system.
#include "tools/host/outputs/http/SiteModel.h"

#include <sstream>

namespace runner {
namespace {

std::string Write(const Json::Value& v) {
  Json::StreamWriterBuilder b;
  b["indentation"] = "";
  b["precision"] = 9;
  return Json::writeString(b, v);
}

constexpr Millis kStatusReuse = 100;

}  // namespace

void SiteModel::Expect(const std::vector<SystemRef>& systems) {
  for (const SystemRef& s : systems) ModelOf(s);
  statusFresh_ = false;
}

StatusModel& SiteModel::ModelOf(const SystemRef& system) {
  auto& model = systems_[system.index];
  if (!model) model = std::make_unique<StatusModel>(site_, &system);
  return *model;
}

void SiteModel::Observe(const Stamped& o) {
  statusFresh_ = false;
  if (o.system) ModelOf(*o.system).Observe(o);
  else only_.Observe(o);
}

std::string SiteModel::Metrics(Millis now) const {
  if (!several()) return only_.Metrics(now);
  std::vector<std::string> texts;
  for (const auto& [index, model] : systems_) texts.push_back(model->Metrics(now));
  return MergeFamilies(texts);
}

std::string SiteModel::StatusJson(Millis now) const {
  if (!several()) return only_.StatusJson(now);
  if (statusFresh_ && now >= statusAt_ && now - statusAt_ < kStatusReuse) return statusText_;
  // The line's part: the site, the time, how many systems are in each health state.
  Json::Value root(Json::objectValue);
  root["site"] = site_;
  root["t"] = static_cast<Json::Int64>(now);
  Json::Value& line = root["line"] = Json::Value(Json::objectValue);
  line["systems"] = static_cast<Json::UInt>(systems_.size());
  Json::Value& health = line["health"] = Json::Value(Json::objectValue);
  Json::Value& list = root["systems"] = Json::Value(Json::arrayValue);
  for (const auto& [index, model] : systems_) {
    const char* state = HealthName(model->health());
    health[state] = health.get(state, 0).asUInt() + 1;
    list.append(model->StatusValue(now));
  }
  statusText_ = Write(root);
  statusAt_ = now;
  statusFresh_ = true;
  return statusText_;
}

std::string SiteModel::ChartJson() const {
  if (!several()) return only_.ChartJson();
  Json::Value root(Json::objectValue);
  Json::Value& list = root["systems"] = Json::Value(Json::arrayValue);
  for (const auto& [index, model] : systems_) list.append(model->ChartValue());
  return Write(root);
}

std::string SiteModel::MergeFamilies(const std::vector<std::string>& texts) {
  struct Family {
    std::string head, samples;
  };
  std::vector<std::string> order;
  std::map<std::string, Family> families;
  for (const std::string& text : texts) {
    Family* at = nullptr;
    bool first = false;  // the family's first text: its HELP and TYPE are kept
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
      line += '\n';
      if (line.rfind("# HELP ", 0) == 0 || line.rfind("# TYPE ", 0) == 0) {
        const std::string name = line.substr(7, line.find(' ', 7) - 7);
        if (line[2] == 'H' || !at) {
          const auto [it, added] = families.try_emplace(name);
          if (added) order.push_back(name);
          at = &it->second;
          first = added;
        }
        if (first) at->head += line;
      } else if (at) {
        at->samples += line;
      }
    }
  }
  std::string out;
  for (const std::string& name : order) out += families[name].head + families[name].samples;
  return out;
}

}  // namespace runner
