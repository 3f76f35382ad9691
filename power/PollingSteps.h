// The words of the polling cycle's step table: step numbers, who a step needs,
// when a round asks it, what a refused reply does, and what a reply handler decides.
#pragma once
#include <cstdint>

namespace power {

// Polling steps (values of step_). Step 0 is also where every round starts.
constexpr int kStepAcAnalog = 0;
constexpr int kStepAcSwitch = 1;
constexpr int kStepAcAlarm = 2;
constexpr int kStepRcAnalog = 4;
constexpr int kStepRcSwitch = 5;
constexpr int kStepRcAlarm = 6;
constexpr int kStepDcAnalog = 7;
constexpr int kStepDcAlarm = 8;
constexpr int kStepAcParam = 3;
constexpr int kStepDcParam = 9;
constexpr int kStepModel = 14;

// Whether a command carries the one group info byte.
enum class GroupInfo : std::uint8_t { None, Always, IfVersion21 };

// Kinds of configured children, as bits; Port alone is the port device itself.
enum Units : std::uint8_t { Port = 0, Ac = 1, Rc = 2, Dc = 4 };

// When a round asks a step (its units configured): never (the model is asked
// once, before the first round), every round, or when the port device is not
// ready or the data flag of the group's analog reply has one of the mask bits.
// The DC flag is not kept: it is the flag of the reply just handled.
enum class Ask : std::uint8_t { BeforeRounds, Always, AcFlag, RcFlag, ReplyFlag };

// What a refused reply does: the step's command is repeated at the next poll,
// or the exchange is reset and the next poll starts the round over.
enum class Refusal : std::uint8_t { Repeat, Restart };

// A reply handler's decision: go on to the next step; keep the step (nothing
// sent, its command repeated at the next poll); or refuse the reply as the
// step's row says.
enum class Verdict : std::uint8_t { Next, Hold, Refuse };

// Data flag bits of the analog replies.
constexpr unsigned char kSwitchChanged = 0x10;
constexpr unsigned char kAlarmChanged = 0x01;
// Bytes of the model reply that hold the model name.
constexpr int kModelFieldLength = 20;
// No frame carries a longer info field (LENID is 12 bits of hex characters).
constexpr int kMaxInfoLength = 0xFFF / 2;

}  // namespace power
