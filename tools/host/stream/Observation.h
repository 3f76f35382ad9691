// The runner's stream of observations: everything the poll loop sees, in the
// order it happens, each stamped with the wall-clock time. Observers (the view,
// the events file, the cache file, exporters) consume it on the loop thread and
// must hand any slow work to a thread of their own.
#pragma once
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace runner {

// Milliseconds since the Unix epoch.
using Millis = std::int64_t;
Millis WallMillis();
// "12:03:04" in local time.
std::string LocalClock(Millis wall);

struct CommandSent {
  unsigned char cid1 = 0, cid2 = 0;
  std::string info, frame;  // info in hex; the wire text from '~' to the checksum
};
struct ReplyAccepted {
  unsigned char cid1 = 0, rtn = 0;
  std::string info, frame;
  std::string modelFile;  // listen mode: a remembered model reply from this file, not the line's now
  Millis seen = 0;        // and when the line gave it
};
struct FrameRejected {
  std::string reason;
};
struct ReplyMissing {};
// One CheckThresholdBool call, as the device made it.
struct AlarmCall {
  unsigned dataId = 0;
  std::string deviceType;
  int level = 0;
  std::string key, code, name, text;
  bool active = false;
  unsigned short slot = 0;
};
// An alarm that became active (raised) or inactive (cleared).
struct AlarmChange {
  AlarmCall alarm;
  bool raised = false;
  Millis since = 0;  // when it was raised
};
struct Published {
  unsigned dataId = 0;
  int recordType = 0;
  std::vector<unsigned char> image;
};
// A child's history image, saved by its round's work item.
struct HistorySaved {
  unsigned dataId = 0;
  unsigned child = 0;  // position among the port device's children
  std::string deviceType;
  std::vector<unsigned char> image;
};
struct LogLine {
  unsigned dataId = 0;
  std::string message;
};
struct RoundEnded {
  long long round = 0;
  double ms = 0;               // first command of the round to its end
  unsigned long long commands = 0;
};
struct ValueRow {
  unsigned dataId = 0;
  std::string deviceType, key;
  bool ok = false;
  float value = 0;
  std::string error;
};
// Every value the host asked for after a round or a cache restore.
struct ValuesRead {
  std::vector<ValueRow> rows;
  long long round = 0;         // 0: from the cache
  std::vector<std::pair<unsigned, unsigned>> rectifierModules;  // (data id, module count)
};
enum class Health { Starting, Online, NoReply, CommLost, LineDown };
const char* HealthName(Health h);
struct HealthChanged {
  Health state = Health::Starting, previous = Health::Starting;
  std::string message;  // one line in plain words
};
// The settings and the power system disagree in a way that keeps rounds from ending.
struct Diagnosis {
  std::string message;
};
// A line for the person watching (source, children, cache, line reopened).
struct Notice {
  std::string text;
  bool always = false;  // said even when the view is quiet (the run's summary)
};

// A frame seen passing on a line the runner does not drive (--forward), read
// after it was passed on: its header when readable, how it checked, its
// pairing and what it says.
struct FrameSeen {
  bool command = false;     // from the controller's side; else from the system's
  bool sideKnown = true;    // false: a tapped frame whose header could not be read
  bool header = false;      // adr, cid1, cid2, rtn, len were read
  unsigned char adr = 0, cid1 = 0;
  int cid2 = -1;            // a command's CID2, a reply's command's; -1: not known
  int rtn = -1;             // a reply's RTN
  unsigned len = 0;         // INFO bytes
  bool ok = false;          // markers, lengths and checksums hold
  double latencyMs = -1;    // a paired reply: after its command; -1: none
  std::string problem;      // what is wrong with it or its pairing, or ""
  std::string name;         // "41/41 rectifier analog values"
  std::string summary;      // its values in one line, or ""
  std::string frame;        // the wire text from '~' up to the EOI
  std::string line;         // the whole line a person is shown
};

using Observation = std::variant<CommandSent, ReplyAccepted, FrameRejected, ReplyMissing, AlarmCall, AlarmChange,
                                 Published, HistorySaved, LogLine, RoundEnded, ValuesRead, HealthChanged, Diagnosis,
                                 Notice, FrameSeen>;

// One power system of several on the line: its position in the settings'
// list, its address, its place in the file ("systems[2]") and its id (the
// operator's name for it, else "system<address>"; what topics and labels use).
// Runs with one system tag nothing.
struct SystemRef {
  unsigned index = 0;
  unsigned address = 0;
  std::string name;
  std::string id;
};

struct Stamped {
  Millis t = 0;
  Observation what;
  const SystemRef* system = nullptr;  // the system it concerns (null: the line's, or the only system's)
};

class Observer {
 public:
  virtual ~Observer() = default;
  // Called on the loop thread for every observation, in order; never blocks.
  virtual void Observe(const Stamped& o) = 0;
  // The run is over: write out what is pending (may block).
  virtual void Finish() {}
};

// Hands every observation to each observer in the order they were added.
class ObservationBus {
 public:
  void Add(Observer* o) { observers_.push_back(o); }
  void Emit(Stamped s) const {
    for (Observer* o : observers_) o->Observe(s);
  }
  void Emit(Observation o, const SystemRef* system = nullptr) const {
    Emit(Stamped{WallMillis(), std::move(o), system});
  }
  void Finish() const {
    for (Observer* o : observers_) o->Finish();
  }

 private:
  std::vector<Observer*> observers_;
};

}  // namespace runner
