// The QPR2427K AC unit, and the one instantiation of the AC unit template.
#include "units/ac/QPR2427K_AC.h"

template class PMBusPowerAC<tele_c_qpr2427k_ac, tele_c_qpr2427k_ac_channel, 5026>;

QPR2427K_AC::QPR2427K_AC() { deviceType_ = "qpr2427k-ac"; }

QPR2427K_AC::~QPR2427K_AC() = default;

void QPR2427K_AC::DoImpCheckAlert() {}
