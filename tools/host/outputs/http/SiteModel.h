// What the HTTP endpoint serves for the whole run: the only system's status
// model, or one per power system on a shared line, gathered into one metrics
// text (each family once) and one status and chart JSON with a `systems` list.
#pragma once
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tools/host/outputs/http/StatusModel.h"

namespace runner {

class SiteModel : public Observer {
 public:
  explicit SiteModel(std::string site) : site_(site), only_(std::move(site)) {}
  // The systems of the line, in the settings' order: each has its place in
  // the answers from the start, before it has said anything.
  void Expect(const std::vector<SystemRef>& systems);
  // A tagged observation goes to its system's model (made at its first), an
  // untagged one to the only system's.
  void Observe(const Stamped& o) override;

  std::string Metrics(Millis now) const;
  std::string StatusJson(Millis now) const;
  std::string ChartJson() const;

  // Prometheus texts as one: each family's HELP and TYPE once (the first
  // text's), then its samples from every text in order, families in the order
  // they first appear.
  static std::string MergeFamilies(const std::vector<std::string>& texts);

 private:
  bool several() const { return !systems_.empty(); }
  StatusModel& ModelOf(const SystemRef& system);

  std::string site_;
  StatusModel only_;
  std::map<unsigned, std::unique_ptr<StatusModel>> systems_;  // by place in the settings' list
  // As StatusModel's own: the status text is kept for a little while nothing new comes.
  mutable std::string statusText_;
  mutable Millis statusAt_ = 0;
  mutable bool statusFresh_ = false;
};

}  // namespace runner
