// The reply layouts, read with a cursor that stops at the end of INFO: the
// data flag, unit counts, little-endian 32-bit floats, state bytes and
// fixed-width texts; each value named and given its unit (a state its words)
// by the catalogue's field of the same meaning.
#include "tools/host/wire/Fields.h"

#include <fmt/format.h>

#include <cstdint>
#include <cstring>
#include <iterator>

#include "tools/host/catalogue/Catalogue.h"

namespace wire {
namespace {

class InfoCursor {
 public:
  explicit InfoCursor(const std::vector<unsigned char>& info) : info_(info) {}
  bool U8(unsigned& out) {
    if (at_ + 1 > info_.size()) return Short();
    out = info_[at_++];
    return true;
  }
  bool F32(double& out) {
    if (at_ + 4 > info_.size()) return Short();
    std::uint32_t bits = 0;
    for (int k = 0; k < 4; ++k) bits |= static_cast<std::uint32_t>(info_[at_ + k]) << (8 * k);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    out = f;
    at_ += 4;
    return true;
  }
  bool Text(std::size_t width, std::string& out) {
    if (at_ + width > info_.size()) return Short();
    out.clear();
    for (std::size_t k = 0; k < width && info_[at_ + k] != 0; ++k) out += static_cast<char>(info_[at_ + k]);
    at_ += width;
    return true;
  }
  // Skips `count` bytes.
  bool Skip(unsigned count) {
    if (at_ + count > info_.size()) return Short();
    at_ += count;
    return true;
  }
  // Skips `count` user-defined floats.
  bool SkipFloats(unsigned count) {
    if (at_ + 4u * count > info_.size()) return Short();
    at_ += 4u * count;
    return true;
  }
  bool failed() const { return failed_; }
  std::size_t left() const { return info_.size() - at_; }

 private:
  bool Short() {
    failed_ = true;
    return false;
  }
  const std::vector<unsigned char>& info_;
  std::size_t at_ = 0;
  bool failed_ = false;
};

std::string Num(double v) { return fmt::format("{:.1f}", v); }

// The catalogue's field of a unit's record by its key ("rectifier_{n}_current").
const catalogue::Field* FieldOf(const char* unit, const char* key) {
  for (const catalogue::Record* r : catalogue::Records()) {
    if (std::strcmp(r->unit, unit) != 0) continue;
    for (std::size_t k = 0; k < r->fieldCount; ++k)
      if (std::strcmp(r->fields[k].key, key) == 0) return &r->fields[k];
    for (std::size_t g = 0; g < r->groupCount; ++g)
      for (std::size_t k = 0; k < r->groups[g].fieldCount; ++k)
        if (std::strcmp(r->groups[g].fields[k].key, key) == 0) return &r->groups[g].fields[k];
  }
  return nullptr;
}

class Reader {
 public:
  Reader(const std::vector<unsigned char>& info, Meaning& m) : in_(info), m_(m) {}
  // Unit `unit` of `units` of the kind `kind` ("ac"): several get their number first.
  void Unit(const char* kind, unsigned unit, unsigned units) {
    kind_ = kind;
    prefix_ = units > 1 ? fmt::format("{}_{}_", kind, unit) : "";
    title_ = units > 1 ? fmt::format("{} {} ", kind == std::string("ac") ? "AC" : "DC", unit) : "";
  }
  // A float named by the catalogue's field `key`, element `n` of its group.
  bool Number(const char* key, unsigned n, double& v) {
    if (!in_.F32(v)) return false;
    const catalogue::Field* f = FieldOf(kind_, key);
    const std::string name = f ? catalogue::Numbered(f->name, n) : catalogue::Numbered(key, n);
    m_.values.push_back({prefix_ + catalogue::Numbered(key, n), title_ + name, v, {}, f ? f->unit : ""});
    return true;
  }
  // A state byte named by the catalogue's field `key`, its code in the
  // catalogue's words ("on", "low", "blown"); a state not set is counted.
  bool State(const char* key, unsigned n) {
    unsigned code = 0;
    if (!in_.U8(code)) return false;
    const catalogue::Field* f = FieldOf(kind_, key);
    std::string word = fmt::format("code {}", code);
    if (f) {
      catalogue::Reading r;
      r.field = f;
      r.value = code;
      word = catalogue::StateText(r);
    }
    const std::string name = title_ + (f ? catalogue::Numbered(f->name, n) : catalogue::Numbered(key, n));
    if (code != 0) set_.push_back(fmt::format("{} {}", name, word));
    ++states_;
    m_.values.push_back({prefix_ + catalogue::Numbered(key, n), name, static_cast<double>(code), word, ""});
    return true;
  }
  // "12 states, none set" or "12 states: Rectifier 2 on/off state off, ...".
  std::string States() const {
    std::string s = fmt::format("{} {}", states_, states_ == 1 ? "state" : "states");
    if (set_.empty()) return s + ", none set";
    for (std::size_t k = 0; k < set_.size(); ++k) s += (k ? ", " : ": ") + set_[k];
    return s;
  }
  InfoCursor in_;
  Meaning& m_;

 private:
  const char* kind_ = "";
  std::string prefix_, title_;
  unsigned states_ = 0;
  std::vector<std::string> set_;  // the states not 0, "name word"
};

const char* Plural(unsigned n, const char* one, const char* many) { return n == 1 ? one : many; }

void AcAnalog(Reader& r, Meaning& m) {
  unsigned flag = 0, units = 0;
  if (!r.in_.U8(flag) || !r.in_.U8(units)) return;
  m.summary = fmt::format("{} {}", units, Plural(units, "unit", "units"));
  for (unsigned u = 1; u <= units; ++u) {
    unsigned channels = 0;
    if (!r.in_.U8(channels)) return;
    r.Unit("ac", u, units);
    m.summary += fmt::format("{} {}:", u == 1 ? ":" : ";", u);
    for (unsigned c = 1; c <= channels; ++c) {
      double a, b, cc, f;
      unsigned user = 0;
      if (!r.Number("mains_{n}_voltage_l1", c, a) || !r.Number("mains_{n}_voltage_l2", c, b) ||
          !r.Number("mains_{n}_voltage_l3", c, cc) || !r.Number("mains_{n}_frequency", c, f) || !r.in_.U8(user) ||
          !r.in_.SkipFloats(user))
        return;
      m.summary += fmt::format(" {}/{}/{} V {} Hz,", Num(a), Num(b), Num(cc), Num(f));
    }
    double i[3];
    const char* keys[3] = {"current_l1", "current_l2", "current_l3"};
    for (int k = 0; k < 3; ++k)
      if (!r.Number(keys[k], 0, i[k])) return;
    m.summary += fmt::format(" {}/{}/{} A", Num(i[0]), Num(i[1]), Num(i[2]));
  }
}

void RectifierAnalog(Reader& r, Meaning& m) {
  unsigned flag = 0, modules = 0;
  double v = 0;
  r.Unit("rc", 1, 1);
  if (!r.in_.U8(flag) || !r.Number("output_voltage", 0, v) || !r.in_.U8(modules)) return;
  m.summary = fmt::format("output {} V, {} {}:", Num(v), modules, Plural(modules, "module", "modules"));
  for (unsigned k = 1; k <= modules; ++k) {
    double i = 0;
    unsigned user = 0;
    if (!r.Number("rectifier_{n}_current", k, i) || !r.in_.U8(user) || !r.in_.SkipFloats(user)) return;
    m.summary += fmt::format("{} {} A", k == 1 ? "" : ",", Num(i));
  }
}

void DcAnalog(Reader& r, Meaning& m) {
  unsigned flag = 0, units = 0;
  if (!r.in_.U8(flag) || !r.in_.U8(units)) return;
  m.summary = fmt::format("{} {}", units, Plural(units, "unit", "units"));
  for (unsigned u = 1; u <= units; ++u) {
    double v = 0, i = 0;
    unsigned batteries = 0, loads = 0, user = 0;
    r.Unit("dc", u, units);
    if (!r.Number("dc_voltage", 0, v) || !r.Number("load_current", 0, i) || !r.in_.U8(batteries)) return;
    m.summary += fmt::format("{} {}: {} V {} A, batteries", u == 1 ? ":" : ";", u, Num(v), Num(i));
    for (unsigned k = 1; k <= batteries; ++k) {
      double b = 0;
      if (!r.Number("battery_{n}_current", k, b)) return;
      m.summary += " " + Num(b);
    }
    if (!r.in_.U8(loads)) return;
    m.summary += " A, branches";
    for (unsigned k = 1; k <= loads; ++k) {
      double l = 0;
      if (!r.Number("branch_{n}_current", k, l)) return;
      m.summary += " " + Num(l);
    }
    m.summary += " A";
    if (!r.in_.U8(user) || !r.in_.SkipFloats(user)) return;
  }
}

void Model(Reader& r, Meaning& m) {
  std::string name, maker;
  unsigned major = 0, minor = 0;
  if (!r.in_.Text(10, name) || !r.in_.U8(major) || !r.in_.U8(minor) || !r.in_.Text(20, maker)) return;
  m.values.push_back({"model", "Model", 0, name, ""});
  m.values.push_back({"version", "Version", 0, fmt::format("{}.{:02}", major, minor), ""});
  m.values.push_back({"maker", "Maker", 0, maker, ""});
  m.summary = fmt::format("model \"{}\", version {}.{:02}, maker \"{}\"", name, major, minor, maker);
}

// A count byte, then that many state bytes named `key`, numbered from 1.
bool CountedStates(Reader& r, const char* key) {
  unsigned count = 0;
  if (!r.in_.U8(count)) return false;
  for (unsigned k = 1; k <= count; ++k)
    if (!r.State(key, k)) return false;
  return true;
}

// 40/43: data flag, unit count; per unit the switch states and the user-defined bytes, each counted.
void AcSwitch(Reader& r, Meaning& m) {
  unsigned flag = 0, units = 0;
  if (!r.in_.U8(flag) || !r.in_.U8(units)) return;
  for (unsigned u = 1; u <= units; ++u) {
    r.Unit("ac", u, units);
    if (!CountedStates(r, "switch_{n}") || !CountedStates(r, "user_switch_{n}")) return;
  }
  m.summary = fmt::format("{} {}, {}", units, Plural(units, "unit", "units"), r.States());
}

// 40/44: data flag, unit count; per unit a channel count, per channel the
// L1, L2, L3 and frequency states, a count of bytes passed over and the
// counted user-defined alarms; then the three current states.
void AcAlarm(Reader& r, Meaning& m) {
  unsigned flag = 0, units = 0;
  if (!r.in_.U8(flag) || !r.in_.U8(units)) return;
  for (unsigned u = 1; u <= units; ++u) {
    unsigned channels = 0;
    r.Unit("ac", u, units);
    if (!r.in_.U8(channels)) return;
    for (unsigned c = 1; c <= channels; ++c) {
      unsigned skip = 0, user = 0;
      for (const char* key : {"mains_{n}_voltage_l1_status", "mains_{n}_voltage_l2_status",
                              "mains_{n}_voltage_l3_status", "mains_{n}_frequency_status"})
        if (!r.State(key, c)) return;
      if (!r.in_.U8(skip) || !r.in_.Skip(skip) || !r.in_.U8(user)) return;
      for (unsigned k = 1; k <= user; ++k)
        if (!(k == 1 ? r.State("mains_{n}_user_alarm_1", c) : r.in_.Skip(1))) return;
    }
    for (const char* key : {"current_l1_status", "current_l2_status", "current_l3_status"})
      if (!r.State(key, 0)) return;
  }
  m.summary = fmt::format("{} {}, {}", units, Plural(units, "unit", "units"), r.States());
}

// 41/43: data flag, module count; per module on/off, current limit and
// charge mode, then counted user-defined bytes (passed over).
void RectifierSwitch(Reader& r, Meaning& m) {
  unsigned flag = 0, modules = 0;
  r.Unit("rc", 1, 1);
  if (!r.in_.U8(flag) || !r.in_.U8(modules)) return;
  for (unsigned k = 1; k <= modules; ++k) {
    unsigned user = 0;
    if (!r.State("rectifier_{n}_on_off", k) || !r.State("rectifier_{n}_current_limit", k) ||
        !r.State("rectifier_{n}_charge_mode", k) || !r.in_.U8(user) || !r.in_.Skip(user))
      return;
  }
  m.summary = fmt::format("{} {}, {}", modules, Plural(modules, "module", "modules"), r.States());
}

// 41/44: data flag, module count; per module the fault state and the
// counted user-defined alarms (over-voltage shutdown, communication, module fault).
void RectifierAlarm(Reader& r, Meaning& m) {
  static const char* const kUser[] = {"rectifier_{n}_over_voltage_shutdown", "rectifier_{n}_communication_interrupted",
                                      "rectifier_{n}_module_fault"};
  unsigned flag = 0, modules = 0;
  r.Unit("rc", 1, 1);
  if (!r.in_.U8(flag) || !r.in_.U8(modules)) return;
  for (unsigned k = 1; k <= modules; ++k) {
    unsigned user = 0;
    if (!r.State("rectifier_{n}_fault", k) || !r.in_.U8(user)) return;
    for (unsigned j = 1; j <= user; ++j)
      if (!(j <= std::size(kUser) ? r.State(kUser[j - 1], k) : r.in_.Skip(1))) return;
  }
  m.summary = fmt::format("{} {}, {}", modules, Plural(modules, "module", "modules"), r.States());
}

// 42/44: data flag, unit count; per unit the DC voltage state, the counted
// battery fuse states and the counted system status bytes.
void DcAlarm(Reader& r, Meaning& m) {
  unsigned flag = 0, units = 0;
  if (!r.in_.U8(flag) || !r.in_.U8(units)) return;
  for (unsigned u = 1; u <= units; ++u) {
    r.Unit("dc", u, units);
    if (!r.State("dc_voltage_status", 0) || !CountedStates(r, "fuse_{n}_state") || !CountedStates(r, "system_status_{n}")) return;
  }
  m.summary = fmt::format("{} {}, {}", units, Plural(units, "unit", "units"), r.States());
}

// 40/46 and 42/46: fixed parameters, then a count of user-defined ones, of
// which the first `named` are the catalogue's and the rest are passed over.
void Parameters(Reader& r, Meaning& m, const char* const* fixed, std::size_t fixedCount, const char* const* user,
                std::size_t named) {
  r.Unit("rc", 1, 1);
  for (std::size_t k = 0; k < fixedCount; ++k) {
    double v = 0;
    if (!r.Number(fixed[k], 0, v)) return;
  }
  unsigned count = 0;
  if (!r.in_.U8(count)) return;
  for (unsigned k = 0; k < count; ++k) {
    double v = 0;
    if (!(k < named ? r.Number(user[k], 0, v) : r.in_.SkipFloats(1))) return;
  }
  for (const auto& v : m.values)
    m.summary += fmt::format("{}{} {}{}{}", m.summary.empty() ? "" : ", ", v.name, Num(v.number), *v.unit ? " " : "",
                             v.unit);
}

void AcParameters(Reader& r, Meaning& m) {
  static const char* const kFixed[] = {"ac_voltage_high_limit", "ac_voltage_low_limit", "ac_frequency_high_limit",
                                       "ac_frequency_low_limit", "ac_current_high_limit"};
  Parameters(r, m, kFixed, std::size(kFixed), nullptr, 0);
}

void DcParameters(Reader& r, Meaning& m) {
  static const char* const kFixed[] = {"dc_voltage_high_limit", "dc_voltage_low_limit"};
  static const char* const kUser[] = {"battery_float_voltage", "battery_equalize_voltage",
                                      "battery_charge_current_limit", "battery_capacity",
                                      "battery_temperature_compensation"};
  Parameters(r, m, kFixed, std::size(kFixed), kUser, std::size(kUser));
}

}  // namespace

Meaning DescribeReply(unsigned char cid1, unsigned char commandCid2, const std::vector<unsigned char>& info) {
  Meaning m;
  Reader r(info, m);
  switch (cid1 << 8 | commandCid2) {
    case 0x4041: AcAnalog(r, m); break;
    case 0x4141: RectifierAnalog(r, m); break;
    case 0x4241: DcAnalog(r, m); break;
    case 0x4051: Model(r, m); break;
    case 0x4043: AcSwitch(r, m); break;
    case 0x4044: AcAlarm(r, m); break;
    case 0x4046: AcParameters(r, m); break;
    case 0x4143: RectifierSwitch(r, m); break;
    case 0x4144: RectifierAlarm(r, m); break;
    case 0x4244: DcAlarm(r, m); break;
    case 0x4246: DcParameters(r, m); break;
    default: return m;
  }
  if (r.in_.failed()) m.problem = "INFO ends before the values its counts announce";
  else if (r.in_.left() > 0) m.problem = fmt::format("{} bytes of INFO after the values", r.in_.left());
  return m;
}

}  // namespace wire
