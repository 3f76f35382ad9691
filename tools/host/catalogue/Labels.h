// Names the operator gives to what the protocol leaves to the maker or the
// site: load branches, batteries and user values ("branch 1: radio").
#pragma once
#include <map>
#include <string>

#include "tools/host/catalogue/Catalogue.h"

namespace catalogue {

// What a reading is called instead of its catalogue name; an empty unit or
// device class keeps the catalogue's.
struct Label {
  std::string name, unit, deviceClass;
};

class Labels {
 public:
  // The labels Decode() applies: none until Use() is called once at start-up,
  // before any output starts; read-only from then on.
  static const Labels& Active();
  static void Use(Labels labels);

  // Renames a reading the operator named: its name, and its unit and device
  // class where the label gives them.
  void Apply(Reading& r) const;

  bool empty() const { return byKey_.empty(); }
  // Names the reading with this key (e.g. "branch_1_current").
  void Set(const std::string& key, Label label) { byKey_[key] = std::move(label); }

 private:
  std::map<std::string, Label> byKey_;
};

}  // namespace catalogue
