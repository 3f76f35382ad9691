// The power-system port device: owns the AC, DC and rectifier children, runs
// the polling cycle on one serial line and routes every reply to its decoders.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/PMBusProtocol.h"
#include "host/json.h"
#include "power/PollingSteps.h"

template <typename AC, typename DC, typename RC>
class PMBusPower : public PMBusProtocol {
 public:
  // The info byte of the group commands: all units of the group.
  static constexpr unsigned char commandGroup_ = 0xFF;

  explicit PMBusPower(std::vector<std::string> supportedModels)
      : supportedModels_(std::move(supportedModels)) {}
  ~PMBusPower() override = default;

  // The port device keeps no record of its own: every image is accepted.
  int LoadFromCache(const unsigned char*, int) override { return 1; }
  using PMBusProtocol::LoadFromCache;

  bool InitSetting(const Json::Value& settings) override;
  std::shared_ptr<KLDVDevice> GetChildVDevice(unsigned dataId) override;
  std::vector<std::shared_ptr<KLDVDevice>> GetAllChildVDevices() override;
  int RefreshStatus() override;
  int process_payload() override;

  std::vector<std::shared_ptr<AC>> acDevices_;
  std::vector<std::shared_ptr<DC>> dcDevices_;
  std::shared_ptr<RC> rcDevice_;
  unsigned char acDataFlag_ = 0;
  unsigned char rcDataFlag_ = 0;
  bool detectPending_ = true;
  std::string deviceModel_;
  std::vector<std::string> supportedModels_;

 private:
  static const Json::Value& Member(const Json::Value& v, const char* key) {
    return v.isObject() ? v[key] : Json::Value::nullSingleton();
  }
  bool ReadChildId(const Json::Value& element, const std::string& where, unsigned& id) const;
  template <typename Child>
  bool ConfigureChild(Child& child, unsigned id, const Json::Value& element,
                      const std::string& where);
  template <typename Child, typename Make>
  bool AddChildren(const Json::Value& list, const char* key,
                   std::vector<std::shared_ptr<Child>>& children, Make make);

  // Reply handlers (power/ReplyHandlers.h): each decodes its reply and says
  // whether the cycle goes on.
  using Handler = power::Verdict (PMBusPower::*)(const unsigned char* info, int length);
  // One row a step of the polling cycle (power/PollingCycle.h).
  struct Step {
    int step;                  // value of step_ while the command awaits its reply
    std::uint8_t unit, data;   // unit code (CID1) and data code (CID2) sent
    power::GroupInfo info;     // group info byte sent or not
    std::uint8_t replyUnit;    // unit code the reply must carry
    power::Units owner;        // whose decoders take the reply
    unsigned needs;            // further units that must be configured for a round to ask it
    power::Ask ask;            // when a round asks it
    unsigned char mask;        // data flag bits that make a round ask it
    Handler decode;            // what decodes the reply
    power::Refusal refusal;    // what a refused reply does
  };
  static const Step kSteps[];
  static const Step* FindStep(int step);

  bool Configured(unsigned units) const;
  bool HasDecoder(const Step& row) const;
  bool Asked(const Step& row, unsigned char replyFlag) const;
  // Sends the command of a step and makes it the current step; returns 1.
  int Send(const Step& row);
  // Sends the first step from `from` on that the round asks, or ends the
  // round; returns what process_payload() returns (0 when the round ended).
  int SendFirstFrom(const Step* from, unsigned char replyFlag);
  int StartRound();
  int EndRound();

  // Hands each child its section of a group reply, from `start` on. Returns the
  // end offset of the last section (the consumed total), or -1 when a child
  // refused its section. A child that claims more bytes than remain ends the
  // distribution, and the offset it claimed (beyond `length`) is returned.
  template <typename Child, typename Parse>
  static std::int64_t DecodeGroup(const std::vector<std::shared_ptr<Child>>& children, Parse parse,
                                  const unsigned char* info, int start, int length);
  // The cycle goes on when the decoders used exactly the info field; otherwise
  // `mismatch` (when given) is logged and the step is kept.
  power::Verdict Exactly(std::int64_t used, int length, const char* mismatch) const;
  // The cycle goes on unless a decoder refused; an overrun is logged.
  power::Verdict AtMost(std::int64_t used, int length, const char* overrun) const;
  // Logs a DC group reply whose unit count is not the configured one.
  bool DcCountMatches(const unsigned char* info) const;

  power::Verdict OnModel(const unsigned char* info, int length);
  power::Verdict OnAcAnalog(const unsigned char* info, int length);
  power::Verdict OnAcSwitch(const unsigned char* info, int length);
  power::Verdict OnAcAlarm(const unsigned char* info, int length);
  power::Verdict OnRcAnalog(const unsigned char* info, int length);
  power::Verdict OnDcAnalog(const unsigned char* info, int length);
  power::Verdict OnDcAlarm(const unsigned char* info, int length);

  // The replies the rectifier unit decodes alone, one a row: its decoder,
  // whether the decoder must use the whole info field (else at most all of it),
  // and the line logged when it does not.
  struct RcReply {
    int (RC::*parse)(const unsigned char*, int);
    bool whole;
    const char* mismatch;
  };
  static constexpr RcReply kRcSwitch{&RC::parse41_43, true, "PMBusPower:ProcotolError {} parse p41_43 overflow memory boundary"};
  static constexpr RcReply kRcAlarm{&RC::parse41_44, true, "PMBusPower:ProcotolError {} parse p41_44 overflow memory boundary"};
  static constexpr RcReply kAcParam{&RC::parse40_46, false, "PMBusPower:ProcotolError {} parse 40_46 overflow memory boundary"};
  static constexpr RcReply kDcParam{&RC::parse42_46, false, "PMBusPower:ProcotolError {} parse 42_46 overflow memory boundary"};
  template <const RcReply& R>
  power::Verdict OnRcReply(const unsigned char* info, int length);
};

// The member definitions, by concern.
#include "power/PortSettings.h"
#include "power/PollingCycle.h"
#include "power/ReplyHandlers.h"
