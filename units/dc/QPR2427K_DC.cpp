// The model's DC distribution unit and the one instantiation of the DC unit template.
#include "units/dc/QPR2427K_DC.h"

template class PMBusPowerDC<tele_c_qpr2427k_dc, 5028>;

QPR2427K_DC::QPR2427K_DC() : QPR2427K_DC(std::string()) {}

QPR2427K_DC::QPR2427K_DC(const std::string& model)
    : PMBusPowerDC(model),
      statusAlarms_(dc::kSystemStatusRows, model == dc::kExtensionModel ? dc::kStatusRows : dc::kBaseStatusRows) {
  deviceType_ = "qpr2427k-dc";
}

void QPR2427K_DC::DoImpCheckAlert() {
  if (record.alert_p != tele_c_qpr2427k_dc::ALERT_P_SIZE()) return;
  statusAlarms_.RaiseOnce(*this, record);
}
