// The rectifier unit of the QPR2427K power system: the unit template on the
// model's records, plus the model's three alarms per module.
#pragma once
#include "units/common/AlarmTable.h"
#include "units/rc/PMBusPowerRC.h"
#include "units/rc/tele_c_qpr2427k_rc.h"

extern template class PMBusPowerRC<tele_c_qpr2427k_rc, tele_c_qpr2427k_rc_channel, 5027>;

class QPR2427K_RC : public PMBusPowerRC<tele_c_qpr2427k_rc, tele_c_qpr2427k_rc_channel, 5027> {
 public:
  QPR2427K_RC();

  // Over-voltage shutdown, communication and fault rows for every module that
  // sent its full set of user-defined alarm bytes.
  void DoImpCheckAlert() override;

 private:
  units::AlarmTable modelAlarms_;
};
