// The labels file's members, the checks of each and their mapping onto the DC
// record's reading keys.
#include "tools/host/loop/LabelsFile.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "tools/host/catalogue/Catalogue.h"
#include "tools/host/loop/ProblemText.h"
#include "tools/host/loop/PluginLoader.h"
#include "tools/host/outputs/mqtt/MqttSettings.h"
#include "tools/host/stream/RunError.h"

namespace runner {
namespace {

// Names and units go out as they are to MQTT, Home Assistant, the page and the
// view: one short line each.
constexpr std::size_t kNameMax = 64, kUnitMax = 16;

// Each member of the file names the elements of one group of the DC record.
struct Section {
  const char* member;   // in the file
  const char* element;  // the catalogue group's element
  const char* what;     // what a person calls one
  bool detailed;        // an object with name, unit and device class; else a name
};
constexpr Section kSections[] = {
    {"branches", "branch", "branch", false},
    {"batteries", "battery", "battery", false},
    {"user_values", "user_value", "user value", true},
};
const char* const kUserValueMembers[] = {"name", "unit", "device_class"};

// Home Assistant's sensor device classes that fit a number a power system
// measures: electrical quantities and the room's or the battery's conditions.
const char* const kDeviceClasses[] = {
    "apparent_power", "battery", "current", "duration", "energy", "energy_storage", "frequency", "humidity",
    "illuminance", "irradiance", "power", "power_factor", "pressure", "reactive_power", "signal_strength",
    "temperature", "voltage",
};

const catalogue::Group& DcGroup(const char* element) {
  const catalogue::Record& dc = *catalogue::RecordOfDevice("qpr2427k-dc");
  for (std::size_t k = 0; k < dc.groupCount; ++k)
    if (std::strcmp(dc.groups[k].element, element) == 0) return dc.groups[k];
  throw std::logic_error(fmt::format("the DC record has no group \"{}\"", element));
}

// A name from the file as a message shows it: as JSON text, so that a newline
// or a quote in it keeps the message on one line and readable.
std::string Named(const std::string& name) { return Shown(Json::Value(name)); }

// A member in a place ("branches.1"): as it is when plain, else as JSON text.
std::string Part(const std::string& member) {
  const bool plain = !member.empty() && std::all_of(member.begin(), member.end(), [](char c) {
    return c > ' ' && c < 0x7f && c != '.' && c != '"';
  });
  return plain ? member : Named(member);
}

std::string Quoted(const std::vector<std::string>& names) {
  std::string s;
  for (const auto& n : names) s += fmt::format("{}\"{}\"", s.empty() ? "" : ", ", n);
  return s;
}

// The element number a member names: "1" to max, no sign or leading zero.
unsigned NumberOf(const std::string& member, unsigned max) {
  if (member.empty() || member.size() > 3 || member[0] == '0' ||
      member.find_first_not_of("0123456789") != std::string::npos)
    return 0;
  const auto n = static_cast<unsigned>(std::stoul(member));
  return n <= max ? n : 0;
}

class Checker {
 public:
  LabelsChecked out;

  void File(const Json::Value& file) {
    if (!file.isObject()) {
      Add("", fmt::format("the labels must be a JSON object of {}, not {}", Quoted(Members()), Shown(file)));
      return;
    }
    Known(file, "", Members());
    for (const Section& s : kSections) {
      const Json::Value& v = file[s.member];
      if (v.isNull()) continue;
      if (!v.isObject()) {
        Add(s.member, fmt::format("must be an object of {} numbers and their labels, not {}", s.what, Shown(v)));
        continue;
      }
      const catalogue::Group& group = DcGroup(s.element);
      for (const std::string& member : v.getMemberNames()) {
        const std::string where = std::string(s.member) + "." + Part(member);
        const unsigned n = NumberOf(member, group.max);
        if (n == 0)
          Add(where, fmt::format("not a {} number from 1 to {}", s.what, group.max));
        else if (!v[member].isNull())
          Element(s, group, n, v[member], where);
      }
    }
  }

 private:
  static std::vector<std::string> Members() {
    std::vector<std::string> m;
    for (const Section& s : kSections) m.emplace_back(s.member);
    return m;
  }

  void Add(std::string where, std::string text) { out.problems.push_back({std::move(where), std::move(text)}); }

  // Members of `object` that are not among `known`, with the near miss.
  void Known(const Json::Value& object, const std::string& where, const std::vector<std::string>& known) {
    for (const std::string& name : object.getMemberNames()) {
      if (std::find(known.begin(), known.end(), name) != known.end()) continue;
      if (const std::string nearest = NearMiss(name, known); !nearest.empty())
        Add(where, fmt::format("unknown member {}; did you mean \"{}\"?", Named(name), nearest));
      else
        Add(where, fmt::format("unknown member {}; the members here are {}", Named(name), Quoted(known)));
    }
  }

  // A text member: empty when it is not a good one (said).
  std::string Text(const Json::Value& v, const std::string& where, const char* what, std::size_t max) {
    if (!v.isString()) {
      Add(where, fmt::format("the {} must be text, not {}", what, Shown(v)));
      return {};
    }
    const std::string s = v.asString();
    if (s.find_first_not_of(' ') == std::string::npos) {
      Add(where, fmt::format("the {} is empty", what));
      return {};
    }
    if (const std::string fault = MqttTextFault(s, max); !fault.empty()) {
      Add(where, fmt::format("the {} {}", what, fault));
      return {};
    }
    return s;
  }

  void Element(const Section& s, const catalogue::Group& group, unsigned n, const Json::Value& v,
               const std::string& where) {
    catalogue::Label label;
    if (!s.detailed) {
      label.name = Text(v, where, "name", kNameMax);
    } else if (!v.isObject()) {
      Add(where, fmt::format("must be an object with \"name\" and, if need be, \"unit\" and \"device_class\", not {}",
                             Shown(v)));
      return;
    } else {
      Known(v, where, {std::begin(kUserValueMembers), std::end(kUserValueMembers)});
      if (v["name"].isNull())
        Add(where, "\"name\" is missing");
      else
        label.name = Text(v["name"], where + ".name", "name", kNameMax);
      if (!v["unit"].isNull()) label.unit = Text(v["unit"], where + ".unit", "unit", kUnitMax);
      if (!v["device_class"].isNull()) label.deviceClass = DeviceClass(v["device_class"], where + ".device_class");
    }
    if (label.name.empty()) return;
    // "Branch {n} current" -> "radio current"; "User value {n}" -> the name alone.
    for (std::size_t k = 0; k < group.fieldCount; ++k) {
      const catalogue::Field& f = group.fields[k];
      const char* rest = std::strstr(f.name, "{n}");
      catalogue::Label named = label;
      named.name = rest ? label.name + (rest + 3) : label.name;
      out.labels.Set(catalogue::Numbered(f.key, n), std::move(named));
    }
  }

  std::string DeviceClass(const Json::Value& v, const std::string& where) {
    if (!v.isString()) {
      Add(where, fmt::format("must be a Home Assistant device class (text), not {}", Shown(v)));
      return {};
    }
    const std::vector<std::string> known(std::begin(kDeviceClasses), std::end(kDeviceClasses));
    const std::string c = v.asString();
    if (std::find(known.begin(), known.end(), c) != known.end()) return c;
    if (const std::string nearest = NearMiss(c, known); !nearest.empty())
      Add(where, fmt::format("unknown device class {}; did you mean \"{}\"?", Shown(v), nearest));
    else
      Add(where, fmt::format("unknown device class {}; the classes are {}", Shown(v), Quoted(known)));
    return {};
  }
};

}  // namespace

LabelsChecked CheckLabels(const Json::Value& file) {
  Checker c;
  c.File(file);
  return std::move(c.out);
}

catalogue::Labels ReadLabels(const std::string& path) {
  LabelsChecked checked = CheckLabels(ReadJson(path, "labels file"));
  if (checked.problems.empty()) return std::move(checked.labels);
  std::string why;
  for (const auto& p : checked.problems) why += (why.empty() ? "" : "; ") + Describe(p);
  throw RunError(fmt::format("the labels file {}: {}", path, why));
}

}  // namespace runner
