// The reply layouts, read with a cursor that stops at the end of INFO: the
// data flag, unit counts, little-endian 32-bit floats and fixed-width texts;
// each value named and given its unit by the catalogue's field of the same meaning.
#include "tools/host/wire/Fields.h"

#include <fmt/format.h>

#include <cstdint>
#include <cstring>

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
  InfoCursor in_;
  Meaning& m_;

 private:
  const char* kind_ = "";
  std::string prefix_, title_;
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

}  // namespace

Meaning DescribeReply(unsigned char cid1, unsigned char commandCid2, const std::vector<unsigned char>& info) {
  Meaning m;
  Reader r(info, m);
  switch (cid1 << 8 | commandCid2) {
    case 0x4041: AcAnalog(r, m); break;
    case 0x4141: RectifierAnalog(r, m); break;
    case 0x4241: DcAnalog(r, m); break;
    case 0x4051: Model(r, m); break;
    default: return m;
  }
  if (r.in_.failed()) m.problem = "INFO ends before the values its counts announce";
  else if (r.in_.left() > 0) m.problem = fmt::format("{} bytes of INFO after the values", r.in_.left());
  return m;
}

}  // namespace wire
