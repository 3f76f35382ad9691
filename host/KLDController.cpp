// Default host services: do nothing, run work at once, format log lines with fmt.
#include "host/KLDController.h"

#include <fmt/args.h>
#include <fmt/format.h>

#include "host/KLDVDevice.h"

KLDController::~KLDController() = default;

void KLDController::CheckThresholdBool(KLDVDevice&, int, const std::string&, const std::string&,
                                       const std::string&, const std::string&, bool,
                                       unsigned short) {}
void KLDController::SendSP(KLDVDevice&, int, const unsigned char*, unsigned int, bool) {}
void KLDController::SaveDeviceHistory(KLDVDevice&, const unsigned char*, unsigned int) {}
void KLDController::CheckThresholdWork(std::function<void()> work) {
  if (work) work();
}
bool KLDController::DoBatchCheckThreshold(KLDVDevice&, const std::vector<rule_value>&) {
  return false;
}
void KLDController::Log(const KLDVDevice&, const char*, const LogArg*, std::size_t) {}
void KLDController::SendBytes(KLDVDevice&, const unsigned char*, std::size_t) {}
void KLDController::OnProtocolEvent(KLDVDevice&, const ProtocolEvent&) {}

std::string KLDController::Format(const char* format, const LogArg* args, std::size_t count) {
  fmt::dynamic_format_arg_store<fmt::format_context> store;
  for (std::size_t k = 0; k < count; ++k) {
    const LogArg& a = args[k];
    switch (a.kind) {
      case LogArg::Kind::Signed: store.push_back(a.i); break;
      case LogArg::Kind::Unsigned: store.push_back(a.u); break;
      case LogArg::Kind::Float: store.push_back(a.d); break;
      case LogArg::Kind::Text: store.push_back(a.s); break;
    }
  }
  try {
    return fmt::vformat(format ? format : "", store);
  } catch (const fmt::format_error&) {
    std::string line = format ? format : "";
    for (std::size_t k = 0; k < count; ++k) line += " " + args[k].ToString();
    return line;
  }
}
