// The simulated power system: state from the scenario and its events, replies
// in the YD/T 1363.3 layouts, line faults drawn from a seeded generator.
#include "tools/sim/Simulator.h"

#include <algorithm>
#include <cstring>

#include "host/PMBusProtocol.h"

namespace sim {
namespace {

// The polling order of the commands; a step back starts a new round.
struct CommandRow {
  unsigned char cid1, cid2;
  int order;  // -1: outside the round (model query)
};
constexpr CommandRow kCommands[] = {
    {0x40, 0x51, -1}, {0x40, 0x41, 0}, {0x40, 0x43, 1}, {0x40, 0x44, 2},
    {0x41, 0x41, 3},  {0x41, 0x43, 4}, {0x41, 0x44, 5}, {0x42, 0x41, 6},
    {0x42, 0x44, 7},  {0x40, 0x46, 8}, {0x42, 0x46, 9},
};

const CommandRow* FindCommand(unsigned char cid1, unsigned char cid2) {
  for (const auto& row : kCommands)
    if (row.cid1 == cid1 && row.cid2 == cid2) return &row;
  return nullptr;
}

// Group replies carry a unit count in info byte 1.
bool HasUnitCount(unsigned char cid1, unsigned char cid2) {
  return (cid1 == 0x40 && (cid2 == 0x41 || cid2 == 0x43 || cid2 == 0x44)) ||
         (cid1 == 0x42 && (cid2 == 0x41 || cid2 == 0x44));
}

// Little-endian byte writer for reply info fields.
struct Writer {
  std::vector<unsigned char>& out;
  void U8(int v) { out.push_back(static_cast<unsigned char>(v)); }
  void F32(float f) {
    std::uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    for (int k = 0; k < 4; ++k) out.push_back(static_cast<unsigned char>(bits >> (8 * k)));
  }
  void Bytes(const std::vector<unsigned char>& v) { out.insert(out.end(), v.begin(), v.end()); }
  void Text(const std::string& s, std::size_t width) {
    for (std::size_t k = 0; k < width; ++k) U8(k < s.size() ? static_cast<unsigned char>(s[k]) : 0);
  }
};

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The byte at text[at], text[at+1], or -1.
int HexByteAt(std::string_view text, std::size_t at) {
  if (at + 1 >= text.size()) return -1;
  const int hi = HexValue(text[at]), lo = HexValue(text[at + 1]);
  return hi < 0 || lo < 0 ? -1 : hi << 4 | lo;
}

// Alarm state of a voltage against its nominal: 3 lost, 1 low, 2 high.
unsigned char VoltageAlert(float v, float nominal) {
  if (nominal <= 0) return 0;
  if (v < 0.2f * nominal) return 3;
  if (v < 0.85f * nominal) return 1;
  if (v > 1.15f * nominal) return 2;
  return 0;
}

unsigned char FrequencyAlert(float f, float nominal) {
  if (nominal <= 0) return 0;
  if (f < 0.95f * nominal) return 1;
  if (f > 1.05f * nominal) return 2;
  return 0;
}

}  // namespace

Simulator::Simulator(Scenario scenario)
    : scenario_(std::move(scenario)),
      valueRng_(scenario_.seed),
      faultRng_(scenario_.seed ^ 0x9E3779B9u) {
  ac_.resize(scenario_.ac.size());
  for (std::size_t u = 0; u < ac_.size(); ++u) {
    ac_[u].channels.resize(static_cast<std::size_t>(scenario_.ac[u].channels));
    ac_[u].switches.assign(static_cast<std::size_t>(scenario_.ac[u].switches), 0);
  }
  modules_.resize(static_cast<std::size_t>(scenario_.rectifier.modules));
  dc_.resize(scenario_.dc.size());
  faultState_.resize(scenario_.faults.size());
  Drift();
  Recompute(0);
}

double Simulator::Uniform() { return (valueRng_() >> 8) * (1.0 / 16777216.0); }
double Simulator::FaultDraw() { return (faultRng_() >> 8) * (1.0 / 16777216.0); }

void Simulator::Drift() {
  // One factor per nominal value, walking by at most 0.2 % a round within 1.5 %.
  std::size_t n = 1 + modules_.size();
  for (const auto& u : scenario_.ac) n += 4 * static_cast<std::size_t>(u.channels) + 3;
  for (const auto& u : scenario_.dc) n += 2 + static_cast<std::size_t>(u.batteries + u.loads);
  drift_.resize(n, 1.0f);
  for (float& d : drift_) {
    d += static_cast<float>((Uniform() - 0.5) * 0.004);
    d = std::clamp(d, 0.985f, 1.015f);
  }
  if (mainsDown_) ++batteryRounds_;
  else batteryRounds_ = 0;
}

void Simulator::Recompute(double now) {
  const auto holds = [&](const EventSpec& e) { return e.when.Contains(round_, now); };
  std::size_t di = 0;
  const auto drift = [&] { return drift_[di++]; };

  model_ = scenario_.model;
  std::vector<bool> acDown(ac_.size(), false);
  bool allDown = false;
  for (const auto& e : scenario_.events) {
    if (!holds(e)) continue;
    if (e.kind == EventKind::Model) model_ = e.what;
    if (e.kind != EventKind::MainsFailure) continue;
    if (e.ac < 0) allDown = true;
    else acDown[static_cast<std::size_t>(e.ac)] = true;
  }
  if (allDown) acDown.assign(ac_.size(), true);
  mainsDown_ = allDown || (!ac_.empty() && std::all_of(acDown.begin(), acDown.end(), [](bool d) { return d; }));

  for (std::size_t u = 0; u < ac_.size(); ++u) {
    const AcUnitSpec& cfg = scenario_.ac[u];
    AcUnitState& st = ac_[u];
    for (auto& ch : st.channels) {
      const float va = cfg.voltage * drift(), vb = cfg.voltage * drift(),
                  vc = cfg.voltage * drift(), f = cfg.frequency * drift();
      ch.a = acDown[u] ? 0 : va;
      ch.b = acDown[u] ? 0 : vb;
      ch.c = acDown[u] ? 0 : vc;
      ch.f = acDown[u] ? 0 : f;
      ch.alert[0] = VoltageAlert(ch.a, cfg.voltage);
      ch.alert[1] = VoltageAlert(ch.b, cfg.voltage);
      ch.alert[2] = VoltageAlert(ch.c, cfg.voltage);
      ch.alert[3] = FrequencyAlert(ch.f, cfg.frequency);
    }
    for (int k = 0; k < 3; ++k) {
      const float i = cfg.current * drift();
      st.current[k] = acDown[u] ? 0 : i;
      st.currentAlert[k] = 0;
    }
    std::fill(st.switches.begin(), st.switches.end(), 0);
  }

  rectifierVoltage_ = scenario_.rectifier.voltage * drift();
  for (auto& m : modules_) {
    m = ModuleState{};
    m.current = mainsDown_ ? 0 : scenario_.rectifier.current * drift();
    if (mainsDown_) {
      drift();
      m.status[0] = 1;  // off: no input
    }
  }

  for (std::size_t u = 0; u < dc_.size(); ++u) {
    const DcUnitSpec& cfg = scenario_.dc[u];
    DcUnitState& st = dc_[u];
    const float sag = 0.4f * static_cast<float>(std::min(batteryRounds_, 15));
    st.v = cfg.voltage * drift() - (mainsDown_ ? sag : 0.0f);
    st.i = cfg.current * drift();
    st.batteries.resize(static_cast<std::size_t>(cfg.batteries));
    for (float& b : st.batteries) {
      const float charge = 1.5f * drift();
      b = mainsDown_ ? -st.i / static_cast<float>(cfg.batteries) : charge;
    }
    st.loads.resize(static_cast<std::size_t>(cfg.loads));
    for (float& l : st.loads) l = st.i / static_cast<float>(cfg.loads) * drift();
    st.voltState = st.v < 0.9f * cfg.voltage ? 1 : st.v > 1.1f * cfg.voltage ? 2 : 0;
    st.fuses.assign(static_cast<std::size_t>(cfg.fuses), 0);
    st.status.assign(static_cast<std::size_t>(cfg.statusBytes), 0);
    if (mainsDown_) {
      if (st.status.size() > 1) st.status[1] = 0xF0;   // running on battery
      if (st.status.size() > 5) st.status[5] |= 0x80;  // AC input interrupted
    }
  }
  if (mainsDown_) rectifierVoltage_ = dc_.empty() ? rectifierVoltage_ : dc_[0].v;

  // Events that set states directly, in scenario order.
  for (const auto& e : scenario_.events) {
    if (!holds(e)) continue;
    const std::size_t n = static_cast<std::size_t>(e.number);
    switch (e.kind) {
      case EventKind::FuseBlown:
        dc_[static_cast<std::size_t>(e.dc)].fuses[n - 1] = 3;
        break;
      case EventKind::ModuleFault: {
        ModuleState& m = modules_[n - 1];
        if (e.what == "fault") {
          m.fault = 1;
          m.user[2] = 1;
          m.current = 0;
          m.status[0] = 1;
        } else if (e.what == "overvoltage") {
          m.user[0] = 1;
          m.current = 0;
          m.status[0] = 1;
        } else {
          m.user[1] = 1;
        }
        break;
      }
      case EventKind::AcAlarm: {
        AcUnitState& st = ac_[static_cast<std::size_t>(e.ac)];
        const auto v = static_cast<unsigned char>(e.value);
        if (e.what.size() == 2) st.currentAlert[e.what[1] - 'a'] = v;
        else st.channels[n - 1].alert[e.what == "f" ? 3 : e.what[0] - 'a'] = v;
        break;
      }
      case EventKind::DcStatus:
        dc_[static_cast<std::size_t>(e.dc)].status[n] = static_cast<unsigned char>(e.value);
        break;
      case EventKind::Switch:
        ac_[static_cast<std::size_t>(e.ac)].switches[n] = static_cast<unsigned char>(e.value);
        break;
      case EventKind::MainsFailure:
      case EventKind::Model:
        break;
    }
  }
}

void Simulator::NoteCommand(unsigned char cid1, unsigned char cid2) {
  const CommandRow* row = FindCommand(cid1, cid2);
  if (!row || row->order < 0) return;
  if (row->order < lastOrder_) {
    ++round_;
    Drift();
  }
  lastOrder_ = row->order;
}

std::vector<unsigned char> Simulator::Body(unsigned char cid1, unsigned char cid2, bool& known) {
  std::vector<unsigned char> info;
  Writer w{info};
  known = true;

  // Current status bytes of each group, compared with what was last reported.
  std::vector<unsigned char> acSwitch, acAlarm, rcSwitch, rcAlarm, dcAlarm;
  for (const auto& u : ac_) {
    acSwitch.insert(acSwitch.end(), u.switches.begin(), u.switches.end());
    for (const auto& ch : u.channels) acAlarm.insert(acAlarm.end(), ch.alert, ch.alert + 4);
    acAlarm.insert(acAlarm.end(), u.currentAlert, u.currentAlert + 3);
  }
  for (const auto& m : modules_) {
    rcSwitch.insert(rcSwitch.end(), m.status, m.status + 3);
    rcAlarm.push_back(m.fault);
    rcAlarm.insert(rcAlarm.end(), m.user, m.user + 3);
  }
  for (const auto& u : dc_) {
    dcAlarm.push_back(u.voltState);
    dcAlarm.insert(dcAlarm.end(), u.fuses.begin(), u.fuses.end());
    dcAlarm.insert(dcAlarm.end(), u.status.begin(), u.status.end());
  }
  const auto flag = [](bool switched, bool alarmed) {
    return (switched ? 0x10 : 0) | (alarmed ? 0x01 : 0);
  };

  const int key = cid1 << 8 | cid2;
  switch (key) {
    case 0x4051:  // device name, version, maker
      w.Text(model_, 10);
      w.U8(scenario_.versionMajor);
      w.U8(scenario_.versionMinor);
      w.Text(scenario_.maker, 20);
      break;
    case 0x4041:
      w.U8(flag(acSwitch != acSwitchSent_, acAlarm != acAlarmSent_));
      w.U8(static_cast<int>(ac_.size()));
      for (const auto& u : ac_) {
        w.U8(static_cast<int>(u.channels.size()));
        for (const auto& ch : u.channels) {
          w.F32(ch.a);
          w.F32(ch.b);
          w.F32(ch.c);
          w.F32(ch.f);
          w.U8(0);  // no user-defined values
        }
        for (float i : u.current) w.F32(i);
      }
      break;
    case 0x4043:
      w.U8(flag(acSwitch != acSwitchSent_, acAlarm != acAlarmSent_));
      w.U8(static_cast<int>(ac_.size()));
      for (const auto& u : ac_) {
        w.U8(static_cast<int>(u.switches.size()));
        w.Bytes(u.switches);
        w.U8(3);  // user-defined bytes
        w.Bytes({0, 0, 0});
      }
      acSwitchSent_ = acSwitch;
      break;
    case 0x4044:
      w.U8(flag(acSwitch != acSwitchSent_, acAlarm != acAlarmSent_));
      w.U8(static_cast<int>(ac_.size()));
      for (const auto& u : ac_) {
        w.U8(static_cast<int>(u.channels.size()));
        for (const auto& ch : u.channels) {
          for (unsigned char a : ch.alert) w.U8(a);
          w.U8(0);  // no further bytes
          w.U8(1);  // one user-defined byte
          w.U8(0);
        }
        for (unsigned char a : u.currentAlert) w.U8(a);
      }
      acAlarmSent_ = acAlarm;
      break;
    case 0x4141:
      w.U8(flag(rcSwitch != rcSwitchSent_, rcAlarm != rcAlarmSent_));
      w.F32(rectifierVoltage_);
      w.U8(static_cast<int>(modules_.size()));
      for (const auto& m : modules_) {
        w.F32(m.current);
        w.U8(0);
      }
      break;
    case 0x4143:
      w.U8(flag(rcSwitch != rcSwitchSent_, rcAlarm != rcAlarmSent_));
      w.U8(static_cast<int>(modules_.size()));
      for (const auto& m : modules_) {
        for (unsigned char s : m.status) w.U8(s);
        w.U8(0);
      }
      rcSwitchSent_ = rcSwitch;
      break;
    case 0x4144:
      w.U8(flag(rcSwitch != rcSwitchSent_, rcAlarm != rcAlarmSent_));
      w.U8(static_cast<int>(modules_.size()));
      for (const auto& m : modules_) {
        w.U8(m.fault);
        w.U8(3);
        for (unsigned char u : m.user) w.U8(u);
      }
      rcAlarmSent_ = rcAlarm;
      break;
    case 0x4241:
      w.U8(flag(false, dcAlarm != dcAlarmSent_));
      w.U8(static_cast<int>(dc_.size()));
      for (const auto& u : dc_) {
        w.F32(u.v);
        w.F32(u.i);
        w.U8(static_cast<int>(u.batteries.size()));
        for (float b : u.batteries) w.F32(b);
        w.U8(static_cast<int>(u.loads.size()));
        for (float l : u.loads) w.F32(l);
        w.U8(0);
      }
      break;
    case 0x4244:
      w.U8(flag(false, dcAlarm != dcAlarmSent_));
      w.U8(static_cast<int>(dc_.size()));
      for (const auto& u : dc_) {
        w.U8(u.voltState);
        w.U8(static_cast<int>(u.fuses.size()));
        w.Bytes(u.fuses);
        w.U8(static_cast<int>(u.status.size()));
        w.Bytes(u.status);
      }
      dcAlarmSent_ = dcAlarm;
      break;
    case 0x4046: {  // AC limits: voltage high, low, frequency high, low, current high
      const AcUnitSpec s = scenario_.ac.empty() ? AcUnitSpec{} : scenario_.ac[0];
      w.F32(1.15f * s.voltage);
      w.F32(0.85f * s.voltage);
      w.F32(1.05f * s.frequency);
      w.F32(0.95f * s.frequency);
      w.F32(1.5f * s.current);
      w.U8(0);
      break;
    }
    case 0x4246: {  // DC limits, then five battery settings
      const float v = scenario_.dc.empty() ? scenario_.rectifier.voltage : scenario_.dc[0].voltage;
      w.F32(1.1f * v);
      w.F32(0.9f * v);
      w.U8(5);
      w.F32(v);              // float charge voltage
      w.F32(1.05f * v);      // equalising voltage
      w.F32(0.1f);           // charge current limit, C
      w.F32(200.0f);         // battery capacity, Ah
      w.F32(3.0f);           // temperature compensation, mV/°C per cell
      break;
    }
    default:
      known = false;
  }
  return info;
}

std::string Simulator::ApplyFaults(unsigned char ver, unsigned char cid1, unsigned char cid2,
                                   std::vector<unsigned char>& info, double now) {
  const unsigned char adr = scenario_.address;
  for (std::size_t k = 0; k < scenario_.faults.size(); ++k) {
    const FaultSpec& f = scenario_.faults[k];
    FaultState& fs = faultState_[k];
    if (f.cid1 >= 0 && (f.cid1 != cid1 || f.cid2 != cid2)) continue;
    if (f.kind == FaultKind::UnitCount && !HasUnitCount(cid1, cid2)) continue;
    if (!f.when.Contains(round_, now)) continue;
    bool strike = false;
    if (f.rate > 0) {
      strike = FaultDraw() < f.rate;
    } else if (f.every > 0) {
      strike = ++fs.seen % f.every == 0;
    } else {
      if (!fs.started) fs.started = true, fs.left = f.count;
      if (fs.left > 0) strike = true, --fs.left;
    }
    if (!strike) continue;
    ++stats_.faults;
    switch (f.kind) {
      case FaultKind::Drop:
        return {};
      case FaultKind::BadChecksum: {
        std::string frame = yd1363::Encode(ver, adr, cid1, kRtnOk, info.data(), info.size());
        char& last = frame[frame.size() - 2];  // last checksum digit, before CR
        last = last == '0' ? '1' : '0';
        return frame;
      }
      case FaultKind::Truncate: {
        std::string frame = yd1363::Encode(ver, adr, cid1, kRtnOk, info.data(), info.size());
        const std::size_t body = frame.size() - 1;  // without CR
        const std::size_t keep = 2 + static_cast<std::size_t>(FaultDraw() * static_cast<double>(body - 3));
        return frame.substr(0, keep) + "\r";
      }
      case FaultKind::WrongUnit: {
        const unsigned char other = cid1 >= 0x40 && cid1 <= 0x42 ? 0x40 + (cid1 - 0x40 + 1) % 3 : 0x40;
        return yd1363::Encode(ver, adr, other, kRtnOk, info.data(), info.size());
      }
      case FaultKind::UnitCount:
        if (info.size() > 1) info[1] = static_cast<unsigned char>(info[1] + f.delta);
        return yd1363::Encode(ver, adr, cid1, kRtnOk, info.data(), info.size());
      case FaultKind::WrongAddress: {
        const auto other = static_cast<unsigned char>(f.address >= 0 ? f.address : adr + 1);
        return yd1363::Encode(ver, other, cid1, kRtnOk, info.data(), info.size());
      }
    }
  }
  return yd1363::Encode(ver, adr, cid1, kRtnOk, info.data(), info.size());
}

std::string Simulator::Answer(std::string_view frame, double now) {
  ++stats_.commands;
  // A frame that ends before its address is malformed and may be meant for
  // anyone: answer it as ours. One whose address is unreadable or another's
  // is left alone.
  const bool tooShortForAddress = frame.size() < 5;
  const int adr = tooShortForAddress ? scenario_.address : HexByteAt(frame, 3);
  if (frame.empty() || frame[0] != '~' || adr < 0 || adr != scenario_.address) {
    ++stats_.ignored;  // not ours, or no readable address: stay silent
    return {};
  }
  if (scenario_.silent) {
    ++stats_.unanswered;
    return {};
  }
  const int ver = std::max(HexByteAt(frame, 1), 0);
  const int cid1 = std::max(HexByteAt(frame, 5), 0);
  yd1363::Decoded d;
  const std::string reason = yd1363::Decode(frame.data() + 1, frame.size() - 1, d);
  const auto error = [&](unsigned char rtn) {
    ++stats_.errors;
    return yd1363::Encode(static_cast<unsigned char>(ver), scenario_.address,
                          static_cast<unsigned char>(cid1), rtn, nullptr, 0);
  };
  if (reason == "bad CHKSUM") return error(kRtnBadChecksum);
  if (reason == "bad LCHKSUM") return error(kRtnBadLengthChecksum);
  if (!reason.empty()) return error(kRtnBadFormat);

  NoteCommand(d.cid1, d.cid2);
  Recompute(now);
  bool known = false;
  std::vector<unsigned char> info = Body(d.cid1, d.cid2, known);
  if (!known) return error(kRtnUnknownCommand);
  std::string reply = ApplyFaults(d.ver, d.cid1, d.cid2, info, now);
  if (!reply.empty()) ++stats_.replies;
  return reply;
}

std::string Simulator::Feed(const char* data, std::size_t length, double now) {
  std::string out;
  splitter_.Feed(
      data, length, [&](std::string_view frame) { out += Answer(frame, now); },
      [&] { ++stats_.ignored; });
  return out;
}

}  // namespace sim
