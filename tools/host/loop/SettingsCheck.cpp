// The settings schema (one row a key: where, form, default, what a bad value
// does) and the walk that checks a settings object against it.
#include "tools/host/loop/SettingsCheck.h"

#include <fmt/format.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <map>
#include <optional>

#include "tools/host/loop/ProblemText.h"

namespace runner {
namespace {

// The objects a key may appear in.
enum class Level { Port, AcUnit, DcUnit, AcApp, DcApp, Rectifier };

// The forms a value may take.
enum class Form {
  WholeNumber,  // JSON number with no fraction, 0..max
  Object,       // JSON object whose keys belong to `holds`
  ObjectList,   // JSON array of objects whose keys belong to `holds`
  Number,       // JSON number or text that reads whole as a number
  Any,          // accepted and not read
};

struct KeyRow {
  Level level;
  const char* key;
  Form form;
  Level holds;            // Object, ObjectList: the level of the object(s) inside
  unsigned max;           // WholeNumber: largest value
  const char* required;   // when not null: what happens without the key
  const char* byDefault;  // what holds when the key is absent or null
  const char* onBad;      // what happens to a value of the wrong form
};

constexpr unsigned kMaxId = 4294967295u;

// A null value counts as absent everywhere: that is how the engine, the port
// device and the units read their keys.
// clang-format off
constexpr KeyRow kSchema[] = {
  {Level::Port, "data_id", Form::WholeNumber, Level::Port, kMaxId, nullptr, "0", "the runner refuses the settings"},
  {Level::Port, "address", Form::WholeNumber, Level::Port, 255, nullptr, "1", "the plug-in refuses the settings"},
  {Level::Port, "acSetting", Form::ObjectList, Level::AcUnit, 0, nullptr, "no AC units", "the plug-in makes no AC units"},
  {Level::Port, "dcSetting", Form::ObjectList, Level::DcUnit, 0, nullptr, "no DC units", "the plug-in makes no DC units"},
  {Level::Port, "rcSetting", Form::Object, Level::Rectifier, 0, "the plug-in refuses the settings without it", "none",
   "the plug-in makes the rectifier but reads nothing from it"},
  {Level::AcUnit, "data_id", Form::WholeNumber, Level::AcUnit, kMaxId, nullptr, "0", "the plug-in refuses the settings"},
  {Level::AcUnit, "appSetting", Form::Object, Level::AcApp, 0, nullptr, "the unit's defaults", "the unit ignores it and keeps its defaults"},
  {Level::AcApp, "diff_v", Form::Number, Level::AcApp, 0, nullptr, "20.0", "the unit keeps 20.0"},
  {Level::AcApp, "diff_i", Form::Number, Level::AcApp, 0, nullptr, "20.0", "the unit keeps 20.0"},
  {Level::DcUnit, "data_id", Form::WholeNumber, Level::DcUnit, kMaxId, nullptr, "0", "the plug-in refuses the settings"},
  {Level::DcUnit, "appSetting", Form::Object, Level::DcApp, 0, nullptr, "the unit's defaults", "the unit ignores it and keeps its defaults"},
  {Level::DcApp, "diff_v", Form::Number, Level::DcApp, 0, nullptr, "0.1", "the unit keeps 0.1"},
  {Level::DcApp, "diff_i", Form::Number, Level::DcApp, 0, nullptr, "20.0", "the unit keeps 20.0"},
  {Level::Rectifier, "data_id", Form::Any, Level::Rectifier, 0, nullptr, "not used: the rectifier carries the port's data id", ""},
};
// clang-format on

// What an element of an AC or DC list that is not an object turns into.
constexpr const char* kBadUnit = "the plug-in makes a unit with data id 0 and default settings";

std::string Join(const std::string& path, const std::string& key) {
  return path.empty() ? key : path + "." + key;
}

// What a key's value should be, as the object of "must be ...".
std::string Expected(const KeyRow& row) {
  switch (row.form) {
    case Form::WholeNumber: return fmt::format("a whole number from 0 to {}", row.max);
    case Form::Object: return "an object";
    case Form::ObjectList: return "an array of objects";
    case Form::Number: return "a number or numeric text";
    case Form::Any: break;
  }
  return "anything";
}

// The number a text holds when the whole text (spaces around it aside) is one.
std::optional<double> NumberInText(const std::string& text) {
  const char* begin = text.c_str();
  char* end = nullptr;
  const double value = std::strtod(begin, &end);
  if (end == begin) return std::nullopt;
  while (*end == ' ' || *end == '\t') ++end;
  if (*end != '\0') return std::nullopt;
  return value;
}

// The data id a port or unit object is known by; none when its "data_id" is
// not one (that is reported on its own).
std::optional<unsigned> IdOf(const Json::Value& object) {
  const Json::Value& v = object["data_id"];
  if (v.isNull()) return 0u;
  if (v.isUInt()) return v.asUInt();
  return std::nullopt;
}

class Checker {
 public:
  std::vector<SettingsProblem> problems;

  void CheckObject(const Json::Value& object, Level level, const std::string& path) {
    for (const std::string& name : object.getMemberNames())
      if (!Row(level, name)) Unknown(level, name, path);
    for (const KeyRow& row : kSchema) {
      if (row.level != level) continue;
      const Json::Value& v = object[row.key];
      if (!v.isNull())
        CheckValue(row, v, Join(path, row.key));
      else if (row.required)
        Add(path, fmt::format("\"{}\" is missing: {}; give {}", row.key, row.required, Expected(row)));
    }
  }

  // Data ids that the host would confuse: units sharing one, or a unit with
  // the port device's id, which the rectifier carries as well.
  void CheckIds(const Json::Value& settings) {
    std::map<unsigned, std::string> firstUse;
    if (const auto port = IdOf(settings)) firstUse.emplace(*port, "data_id");
    for (const char* list : {"acSetting", "dcSetting"}) {
      const Json::Value& units = settings[list];
      if (!units.isArray()) continue;
      for (Json::ArrayIndex k = 0; k < units.size(); ++k) {
        if (!units[k].isObject()) continue;
        const auto id = IdOf(units[k]);
        if (!id) continue;
        const std::string where = fmt::format("{}[{}].data_id", list, k);
        const auto [first, fresh] = firstUse.emplace(*id, where);
        if (fresh) continue;
        if (first->second == "data_id")
          Add(where, fmt::format("data id {} is the port device's \"data_id\" (0 when absent), which the "
                                 "rectifier carries too; give each unit a data id of its own", *id));
        else
          Add(where, fmt::format("data id {} is also used by {}; the host finds only the first unit "
                                 "with a data id, so give each unit its own", *id, first->second));
      }
    }
  }

 private:
  static const KeyRow* Row(Level level, const std::string& key) {
    for (const KeyRow& row : kSchema)
      if (row.level == level && key == row.key) return &row;
    return nullptr;
  }

  void Add(std::string where, std::string text) { problems.push_back({std::move(where), std::move(text)}); }

  void Unknown(Level level, const std::string& name, const std::string& path) {
    std::vector<std::string> keys;
    std::string known;
    for (const KeyRow& row : kSchema) {
      if (row.level != level) continue;
      keys.push_back(row.key);
      known += fmt::format("{}\"{}\"", known.empty() ? "" : ", ", row.key);
    }
    if (const std::string nearest = NearMiss(name, keys); !nearest.empty())
      Add(path, fmt::format("unknown key \"{}\" (did you mean \"{}\"?)", name, nearest));
    else
      Add(path, fmt::format("unknown key \"{}\", which nothing reads; the keys here are {}", name, known));
  }

  void Mismatch(const std::string& where, const std::string& expected, const Json::Value& v, const std::string& effect) {
    Add(where, fmt::format("must be {}, not {}; {}", expected, Shown(v), effect));
  }

  void CheckValue(const KeyRow& row, const Json::Value& v, const std::string& where) {
    switch (row.form) {
      case Form::WholeNumber:
        if (!v.isUInt() || v.asUInt() > row.max)
          Mismatch(where, Expected(row), v, row.onBad);
        break;
      case Form::Object:
        if (v.isObject())
          CheckObject(v, row.holds, where);
        else
          Mismatch(where, Expected(row), v, row.onBad);
        break;
      case Form::ObjectList:
        if (!v.isArray()) {
          Mismatch(where, Expected(row), v, row.onBad);
          break;
        }
        for (Json::ArrayIndex k = 0; k < v.size(); ++k) {
          const std::string at = fmt::format("{}[{}]", where, k);
          if (v[k].isObject())
            CheckObject(v[k], row.holds, at);
          else
            Mismatch(at, "an object", v[k], kBadUnit);
        }
        break;
      case Form::Number:
        CheckNumber(row, v, where);
        break;
      case Form::Any:
        break;
    }
  }

  // The units turn the value into text and the text into a number with atof,
  // which reads anything that is not a number as 0 without a word.
  void CheckNumber(const KeyRow& row, const Json::Value& v, const std::string& where) {
    std::optional<double> value;
    if (v.isNumeric())
      value = v.asDouble();
    else if (v.isString())
      value = NumberInText(v.asString());
    if (!value) {
      const std::string effect = v.isConvertibleTo(Json::stringValue)
                                     ? fmt::format("the plug-in would silently read it as {} (atof)",
                                                   std::atof(v.asString().c_str()))
                                     : row.onBad;
      Mismatch(where, Expected(row), v, effect);
    } else if (!(std::fabs(*value) <= FLT_MAX)) {
      Mismatch(where, "a finite number between -3.4e38 and 3.4e38", v,
               "the unit's 32-bit value would be infinite or not a number");
    }
  }
};

}  // namespace

std::vector<SettingsProblem> CheckSettings(const Json::Value& settings) {
  Checker c;
  if (!settings.isObject()) {
    c.problems.push_back({"", fmt::format("the settings must be a JSON object holding at least \"rcSetting\", not {}",
                                          Shown(settings))});
    return c.problems;
  }
  c.CheckObject(settings, Level::Port, "");
  c.CheckIds(settings);
  return c.problems;
}

std::vector<SettingsProblem> CheckAcrossSystems(const std::vector<SystemEntry>& systems) {
  std::vector<SettingsProblem> problems;
  std::map<unsigned, std::string> addressUse;  // address -> the entry first at it
  std::map<unsigned, std::string> idUse;       // data id -> the place first using it, across systems
  std::map<std::string, const SystemEntry*> nameUse;  // system id -> the entry first called so
  for (const SystemEntry& entry : systems) {
    if (!entry.id.empty()) {
      const auto [first, fresh] = nameUse.emplace(entry.id, &entry);
      // Two unnamed systems at one address share an id: the address is the fault, said below.
      if (!fresh && first->second->address != entry.address)
        problems.push_back({PlaceIn(entry, "name"),
                            fmt::format("the name {} (system<address> when absent) is also that of {}; topics and "
                                        "labels need a name of their own for each system", entry.id, first->second->name)});
    }
    if (entry.address) {
      const auto [first, fresh] = addressUse.emplace(*entry.address, entry.name);
      if (!fresh)
        problems.push_back({PlaceIn(entry, "address"),
                            fmt::format("address {} (1 when absent) is also that of {}; each system on the line "
                                        "needs an address of its own", *entry.address, first->second)});
    }
    if (!entry.settings.isObject()) continue;
    // The ids this entry uses, each once: a repeat inside one system is the
    // single-system check's to report.
    std::vector<std::pair<unsigned, std::string>> own;  // in file order
    const auto use = [&own](std::optional<unsigned> id, std::string where) {
      if (!id) return;
      for (const auto& o : own)
        if (o.first == *id) return;
      own.emplace_back(*id, std::move(where));
    };
    use(IdOf(entry.settings), "data_id");
    for (const char* list : {"acSetting", "dcSetting"}) {
      const Json::Value& units = entry.settings[list];
      if (!units.isArray()) continue;
      for (Json::ArrayIndex k = 0; k < units.size(); ++k)
        if (units[k].isObject()) use(IdOf(units[k]), fmt::format("{}[{}].data_id", list, k));
    }
    for (const auto& [id, where] : own) {
      const auto [first, fresh] = idUse.emplace(id, PlaceIn(entry, where));
      if (!fresh)
        problems.push_back({PlaceIn(entry, where),
                            fmt::format("data id {} (0 when absent) is also used by {}; data ids must differ "
                                        "across all the systems", id, first->second)});
    }
  }
  return problems;
}

std::string Describe(const SettingsProblem& problem) {
  return problem.where.empty() ? problem.text : problem.where + ": " + problem.text;
}

}  // namespace runner
