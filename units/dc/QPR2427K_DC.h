// The model's DC distribution unit: the DC unit over the 177-byte record, with
// the system-status alarm table as its model-specific alarms.
#pragma once
#include <string>

#include "units/common/AlarmTable.h"
#include "units/dc/PMBusPowerDC.h"
#include "units/dc/SystemStatusTable.h"
#include "units/dc/tele_c_qpr2427k_dc.h"

extern template class PMBusPowerDC<tele_c_qpr2427k_dc, 5028>;

class QPR2427K_DC : public PMBusPowerDC<tele_c_qpr2427k_dc, 5028> {
 public:
  QPR2427K_DC();
  // `model` is the power system's model as the port device knew it; it decides
  // whether the extension rows of the status table are reported.
  explicit QPR2427K_DC(const std::string& model);

  // Reports the status table rows (85, or 95 for the extension model) when the
  // reply carried all 20 system-status bytes; otherwise reports nothing.
  void DoImpCheckAlert() override;

 private:
  units::AlarmTable statusAlarms_;  // the base rows, or all of them for the extension model
};
