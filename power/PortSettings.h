// The port device's settings: the AC, DC and rectifier children it makes from
// its settings object, and how the host finds them.
#pragma once
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "power/PMBusPower.h"

template <typename AC, typename DC, typename RC>
bool PMBusPower<AC, DC, RC>::ReadChildId(const Json::Value& element, const std::string& where,
                                         unsigned& id) const {
  const Json::Value& v = Member(element, "data_id");
  if (v.isNull()) {
    id = 0;
    return true;
  }
  if (!v.isUInt()) {
    InfoLog("PMBusPower:ProcotolError {} setting {}.data_id is not an unsigned number", DataId(),
            where);
    return false;
  }
  id = v.asUInt();
  return true;
}

template <typename AC, typename DC, typename RC>
template <typename Child>
bool PMBusPower<AC, DC, RC>::ConfigureChild(Child& child, unsigned id, const Json::Value& element,
                                            const std::string& where) {
  // A unit's own settings may hold values the JSON library cannot convert;
  // that must not escape into the host.
  try {
    child.InitV(this, id, element);
    return true;
  } catch (const std::exception& e) {
    InfoLog("PMBusPower:ProcotolError {} setting {} cannot be used: {}", DataId(), where,
            e.what());
    return false;
  }
}

template <typename AC, typename DC, typename RC>
template <typename Child, typename Make>
bool PMBusPower<AC, DC, RC>::AddChildren(const Json::Value& list, const char* key,
                                         std::vector<std::shared_ptr<Child>>& children,
                                         Make make) {
  if (!list.isArray()) return true;
  for (Json::ArrayIndex k = 0; k < list.size(); ++k) {
    const Json::Value& element = list[k];
    const std::string where = std::string(key) + "[" + std::to_string(k) + "]";
    unsigned id = 0;
    if (!ReadChildId(element, where, id)) return false;
    std::shared_ptr<Child> child = make();
    // A child whose configuration threw never took its id or controller: it is not kept.
    if (!ConfigureChild(*child, id, element, where)) return false;
    children.push_back(std::move(child));
  }
  return true;
}

template <typename AC, typename DC, typename RC>
bool PMBusPower<AC, DC, RC>::InitSetting(const Json::Value& settings) {
  if (!PMBusProtocol::InitSetting(settings)) return false;
  if (!AddChildren(Member(settings, "acSetting"), "acSetting", acDevices_,
                   [] { return std::make_shared<AC>(); }))
    return false;
  // DC units take the model name known now (empty before the first model reply).
  if (!AddChildren(Member(settings, "dcSetting"), "dcSetting", dcDevices_,
                   [this] { return std::make_shared<DC>(deviceModel_); }))
    return false;
  const Json::Value& rc = Member(settings, "rcSetting");
  if (rc.isNull()) return false;
  auto child = std::make_shared<RC>();
  // The rectifier stands for the whole system and carries the port device's id.
  if (!ConfigureChild(*child, DataId(), rc, "rcSetting")) return false;
  rcDevice_ = std::move(child);
  return true;
}

template <typename AC, typename DC, typename RC>
std::shared_ptr<KLDVDevice> PMBusPower<AC, DC, RC>::GetChildVDevice(unsigned dataId) {
  for (const auto& ac : acDevices_)
    if (ac->DataId() == dataId) return ac;
  for (const auto& dc : dcDevices_)
    if (dc->DataId() == dataId) return dc;
  return {};
}

template <typename AC, typename DC, typename RC>
std::vector<std::shared_ptr<KLDVDevice>> PMBusPower<AC, DC, RC>::GetAllChildVDevices() {
  std::vector<std::shared_ptr<KLDVDevice>> all;
  all.reserve(acDevices_.size() + dcDevices_.size() + 1);
  all.insert(all.end(), acDevices_.begin(), acDevices_.end());
  all.insert(all.end(), dcDevices_.begin(), dcDevices_.end());
  all.push_back(rcDevice_);
  return all;
}

