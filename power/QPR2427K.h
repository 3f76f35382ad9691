// The port device of the QPR2427K power system: the polling cycle over its
// AC distribution, DC distribution and rectifier units.
#pragma once
#include "power/PMBusPower.h"
#include "units/ac/QPR2427K_AC.h"
#include "units/dc/QPR2427K_DC.h"
#include "units/rc/QPR2427K_RC.h"

extern template class PMBusPower<QPR2427K_AC, QPR2427K_DC, QPR2427K_RC>;

class QPR2427K : public PMBusPower<QPR2427K_AC, QPR2427K_DC, QPR2427K_RC> {
 public:
  QPR2427K();
  ~QPR2427K() override;
};
