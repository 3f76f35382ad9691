// The host controller: the one seam through which devices hand everything to
// the host (alarms, published images, history, work items, rules, log lines,
// outgoing bytes and protocol events). Tests and tools derive from it.
#pragma once
#include <array>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "host/LogArg.h"
#include "host/rule_value.h"

#pragma GCC visibility push(default)

class KLDVDevice;

// What the protocol engine reports besides the bytes it sends.
struct ProtocolEvent {
  enum class Kind { Reply, Rejected, Timeout };
  explicit ProtocolEvent(Kind k) : kind(k) {}
  Kind kind;
  unsigned char cid1 = 0;         // Reply: unit code of the accepted reply
  unsigned char rtn = 0;          // Reply and Rejected: return code, when the frame had one
  const unsigned char* info = nullptr;  // Reply: info bytes
  std::size_t infoLen = 0;
  std::string_view frame;         // Reply and Rejected: wire text from '~' to the checksum
  std::string_view reason;        // Rejected: why
};

class KLDController {
 public:
  KLDController() = default;
  KLDController(const KLDController&) = delete;
  KLDController& operator=(const KLDController&) = delete;
  virtual ~KLDController();

  // Raises or clears one alarm.
  virtual void CheckThresholdBool(KLDVDevice& device, int level, const std::string& key,
                                  const std::string& code, const std::string& name,
                                  const std::string& text, bool active, unsigned short slot);
  // Publishes a device's image under its record type.
  virtual void SendSP(KLDVDevice& device, int recordType, const unsigned char* data,
                      unsigned int length, bool flag);
  // Stores a device's history image.
  virtual void SaveDeviceHistory(KLDVDevice& device, const unsigned char* data,
                                 unsigned int length);
  // Takes a work item; the default runs it at once on the caller's thread.
  virtual void CheckThresholdWork(std::function<void()> work);
  // Runs a batch of threshold rules; true when any alarm state changed.
  virtual bool DoBatchCheckThreshold(KLDVDevice& device, const std::vector<rule_value>& rules);
  // One log line: the format with "{}" placeholders and its arguments in order.
  virtual void Log(const KLDVDevice& device, const char* format, const LogArg* args,
                   std::size_t count);
  // Bytes the device's protocol engine puts on the line.
  virtual void SendBytes(KLDVDevice& device, const unsigned char* data, std::size_t length);
  // Frames accepted or rejected by the engine, and exchanges that got no reply.
  virtual void OnProtocolEvent(KLDVDevice& device, const ProtocolEvent& event);

  template <typename... Args>
  void InfoLog(const KLDVDevice& device, const char* format, const Args&... args) {
    if constexpr (sizeof...(Args) == 0) {
      Log(device, format, nullptr, 0);
    } else {
      const std::array<LogArg, sizeof...(Args)> packed{LogArg(args)...};
      Log(device, format, packed.data(), packed.size());
    }
  }

  // Fills the "{}" placeholders of a format in order; a format that does not
  // fit its arguments gives the format followed by the arguments.
  static std::string Format(const char* format, const LogArg* args, std::size_t count);
};

#pragma GCC visibility pop
