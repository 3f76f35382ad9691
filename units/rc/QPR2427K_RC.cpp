// The QPR2427K rectifier unit and the one instantiation of the unit template.
#include "units/rc/QPR2427K_RC.h"

#include <cstddef>

template class PMBusPowerRC<tele_c_qpr2427k_rc, tele_c_qpr2427k_rc_channel, 5027>;

namespace {

using Module = tele_c_qpr2427k_rc_channel;

constexpr units::rc::ModuleAlarmRow kModelRows[] = {
    {2, "QPR2427K_RC_0", "06026", "整流模块过压关机告警", "整流模块过压关机告警", offsetof(Module, user44) + 0},
    {4, "QPR2427K_RC_1", "06028", "整流模块通信状态告警", "模块通讯中断告警状态", offsetof(Module, user44) + 1},
    {3, "QPR2427K_RC_2", "06024", "整流模块故障告警", "模块故障告警状态", offsetof(Module, user44) + 2},
};
static_assert(units::rc::RowsFit(kModelRows, sizeof(Module)));
static_assert(Module::P41_44_SIZE() == 3);

}  // namespace

QPR2427K_RC::QPR2427K_RC() { deviceType_ = "qpr2427k-rc"; }

void QPR2427K_RC::DoImpCheckAlert() {
  RaiseModuleAlarms(kModelRows, modelAlarms_, [](const Module& m) { return m.p44 == Module::P41_44_SIZE(); });
}
