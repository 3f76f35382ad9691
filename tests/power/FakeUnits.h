// Stand-in units for the port device's tests: they record every decoder call
// (where in the reply their section started and how many bytes they were
// offered) and every RoundDone, and return scripted results.
#pragma once
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "host/KLDSPDevice.h"
#include "host/PMBusProtocol.h"

namespace fakes {

struct Call {
  unsigned id;       // data id of the unit
  std::string what;  // decoder name, "InitV" or "RoundDone"
  long offset = -1;  // decoders: start of the section within the info field
  int length = 0;    // decoders: bytes offered
  int infoLength = 0;  // decoders: length of the whole info field
};

// Shared by all fakes of one test; fakes find it through Journal::current.
struct Journal {
  std::vector<Call> calls;
  // Results for the next calls of (unit id, decoder), used up in order.
  std::map<std::pair<unsigned, std::string>, std::deque<int>> script;

  void Script(unsigned id, const std::string& what, int result) {
    script[{id, what}].push_back(result);
  }
  std::vector<std::string> Decoded() const {
    std::vector<std::string> out;
    for (const Call& c : calls)
      if (c.offset >= 0)
        out.push_back(std::to_string(c.id) + ":" + c.what + "@" + std::to_string(c.offset) + "/" +
                      std::to_string(c.length));
    return out;
  }
  std::vector<std::string> Rounds() const {
    std::vector<std::string> out;
    for (const Call& c : calls)
      if (c.what == "RoundDone") out.push_back(std::to_string(c.id));
    return out;
  }

  static inline Journal* current = nullptr;
};

class FakeUnit : public KLDSPDevice {
 public:
  bool InitV(KLDVDevice* parent, unsigned id, const Json::Value& settings) override {
    parent_ = dynamic_cast<PMBusProtocol*>(parent);
    // Reads a setting the way a unit does, so a bad value throws from the JSON library.
    if (settings.isObject() && settings.isMember("limit")) limit_ = settings["limit"].asUInt();
    const bool ok = KLDSPDevice::InitV(parent, id, settings);
    Log("InitV");
    return ok && !(settings.isObject() && settings.isMember("fail"));
  }
  void RoundDone() override { Log("RoundDone"); }

  unsigned limit_ = 0;

 protected:
  // Group units: the first byte of a section is its length (0xEE refuses it).
  int GroupSection(const char* what, const unsigned char* p, int len) {
    if (int r; Scripted(what, p, len, r)) return r;
    if (len < 1 || p[0] == 0xEE) return -1;
    return p[0];
  }
  // The rectifier takes the whole info field.
  int WholeField(const char* what, const unsigned char* p, int len) {
    if (int r; Scripted(what, p, len, r)) return r;
    return len;
  }

 private:
  void Log(const char* what) {
    if (Journal::current) Journal::current->calls.push_back({DataId(), what});
  }
  bool Scripted(const char* what, const unsigned char* p, int len, int& result) {
    Call c{DataId(), what};
    if (parent_ && parent_->reply_) {
      const unsigned char* info = parent_->reply_ + 6;
      c.offset = static_cast<long>(p - info);
      c.infoLength = (parent_->reply_[4] | parent_->reply_[5] << 8) / 2;
    }
    c.length = len;
    Journal* j = Journal::current;
    if (!j) return false;
    j->calls.push_back(c);
    auto it = j->script.find({DataId(), what});
    if (it == j->script.end() || it->second.empty()) return false;
    result = it->second.front();
    it->second.pop_front();
    return true;
  }

  PMBusProtocol* parent_ = nullptr;
};

class FakeAC : public FakeUnit {
 public:
  virtual int parse40_41(const unsigned char* p, int len) { return GroupSection("parse40_41", p, len); }
  virtual int parse40_43(const unsigned char* p, int len) { return GroupSection("parse40_43", p, len); }
  virtual int parse40_44(const unsigned char* p, int len) { return GroupSection("parse40_44", p, len); }
};

class FakeDC : public FakeUnit {
 public:
  FakeDC() = default;
  explicit FakeDC(const std::string& model) : model_(model) {}
  virtual int parse42_41(const unsigned char* p, int len) { return GroupSection("parse42_41", p, len); }
  virtual int parse42_44(const unsigned char* p, int len) { return GroupSection("parse42_44", p, len); }
  std::string model_;
};

class FakeRC : public FakeUnit {
 public:
  virtual int parse41_41(const unsigned char* p, int len) { return WholeField("parse41_41", p, len); }
  virtual int parse41_43(const unsigned char* p, int len) { return WholeField("parse41_43", p, len); }
  virtual int parse41_44(const unsigned char* p, int len) { return WholeField("parse41_44", p, len); }
  virtual int parse40_46(const unsigned char* p, int len) { return WholeField("parse40_46", p, len); }
  virtual int parse42_46(const unsigned char* p, int len) { return WholeField("parse42_46", p, len); }
};

}  // namespace fakes
