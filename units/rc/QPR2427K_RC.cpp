// The QPR2427K rectifier unit and the one instantiation of the unit template.
#include "units/rc/QPR2427K_RC.h"

#include <cstddef>
#include <cstdint>
#include <vector>

template class PMBusPowerRC<tele_c_qpr2427k_rc, tele_c_qpr2427k_rc_channel, 5027>;

namespace {

using Module = tele_c_qpr2427k_rc_channel;

constexpr units::AlarmItems kPerModule = units::rc::kPerModule;
constexpr units::AlarmTest Equals = units::AlarmTest::Equals;
constexpr std::uint16_t kUser44 = offsetof(Module, user44);

// key, code, level, name, text, reported, byte tested, test, value
constexpr units::AlarmRow kModelRows[] = {
    {"QPR2427K_RC_0", "06026", 2, "整流模块过压关机告警", "整流模块过压关机告警", kPerModule, kUser44 + 0, Equals, 1},
    {"QPR2427K_RC_1", "06028", 4, "整流模块通信状态告警", "模块通讯中断告警状态", kPerModule, kUser44 + 1, Equals, 1},
    {"QPR2427K_RC_2", "06024", 3, "整流模块故障告警", "模块故障告警状态", kPerModule, kUser44 + 2, Equals, 1},
};
static_assert(units::RowsFit(kModelRows, sizeof(Module)));
static_assert(Module::P41_44_SIZE() == 3);

}  // namespace

QPR2427K_RC::QPR2427K_RC() : modelAlarms_(kModelRows) { deviceType_ = "qpr2427k-rc"; }

void QPR2427K_RC::DoImpCheckAlert() {
  const std::vector<Module>& modules = Modules();
  modelAlarms_.RaiseEach(*this, modules.data(), modules.size(),
                         [&modules](std::size_t k) { return modules[k].p44 == Module::P41_44_SIZE(); });
}
