// The AC distribution unit of the QPR2427K power system.
#pragma once
#include "units/ac/PMBusPowerAC.h"
#include "units/ac/tele_c_qpr2427k_ac.h"

extern template class PMBusPowerAC<tele_c_qpr2427k_ac, tele_c_qpr2427k_ac_channel, 5026>;

class QPR2427K_AC : public PMBusPowerAC<tele_c_qpr2427k_ac, tele_c_qpr2427k_ac_channel, 5026> {
 public:
  QPR2427K_AC();
  ~QPR2427K_AC() override;

  // This model has no alarms beyond the unit's own.
  void DoImpCheckAlert() override;
};
