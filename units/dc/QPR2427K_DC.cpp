// The model's DC distribution unit and the one instantiation of the DC unit template.
#include "units/dc/QPR2427K_DC.h"

template class PMBusPowerDC<tele_c_qpr2427k_dc, 5028>;

QPR2427K_DC::QPR2427K_DC() : QPR2427K_DC(std::string()) {}

QPR2427K_DC::QPR2427K_DC(const std::string& model)
    : PMBusPowerDC(model),
      statusRowsUsed_(model == dc::kExtensionModel ? dc::kStatusRows : dc::kBaseStatusRows) {
  for (std::size_t r = 0; r < dc::kStatusRows; ++r) statusAlarms_[r] = dc::Prepare(dc::kSystemStatusRows[r]);
  deviceType_ = "qpr2427k-dc";
}

void QPR2427K_DC::DoImpCheckAlert() {
  if (record.alert_p != tele_c_qpr2427k_dc::ALERT_P_SIZE()) return;
  for (std::size_t r = 0; r < statusRowsUsed_; ++r)
    units::RaiseAlarm(*this, statusAlarms_[r], dc::RowActive(dc::kSystemStatusRows[r], Image()));
}
