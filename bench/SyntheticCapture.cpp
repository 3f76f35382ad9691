// The synthetic capture: the plug-in's commands in round order answered by the
// simulator, laid on a line with gaps, noise, collisions and corrupted bytes;
// checked by the frame reader and the pairing step against what was sent.
#include "bench/SyntheticCapture.h"

#include <chrono>
#include <random>
#include <unordered_map>

#include "host/PMBusProtocol.h"
#include "tools/host/wire/FrameReader.h"
#include "tools/host/wire/Pairing.h"
#include "tools/sim/Simulator.h"

namespace synth {
namespace {

struct Command {
  unsigned char cid1, cid2;
  bool groupByte;  // the plug-in asks group commands for every unit (info FF)
};
constexpr Command kRound[] = {
    {0x40, 0x51, false}, {0x40, 0x41, true}, {0x40, 0x43, true}, {0x40, 0x44, true},
    {0x41, 0x41, false}, {0x41, 0x43, false}, {0x41, 0x44, false}, {0x42, 0x41, true},
    {0x42, 0x44, true},  {0x40, 0x46, false}, {0x42, 0x46, false},
};

class Line {
 public:
  Line(Capture& out, std::mt19937& rng, const Options& o) : out_(out), rng_(rng), o_(o) {}

  // A frame after a gap; returns whether a byte of it was corrupted.
  bool Send(std::string frame, bool command) {
    time_ += Uniform() * o_.maxGap;
    if (Uniform() < o_.noiseRate) {
      std::string noise(1 + rng_() % 8, '\0');
      for (char& c : noise) c = static_cast<char>(0x30 + rng_() % 0x40);  // never '~'
      Put(noise);
    }
    bool damaged = false;
    for (char& c : frame)
      if (Uniform() < o_.corruptRate) {
        c = static_cast<char>(static_cast<unsigned char>(c) ^ (1 + rng_() % 255));
        damaged = true;
      }
    out_.sent.push_back({offset_, damaged, command, false});
    Put(frame);
    return damaged;
  }

 private:
  double Uniform() { return (rng_() >> 8) * (1.0 / 16777216.0); }
  void Put(const std::string& bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
      const std::size_t n = std::min<std::size_t>(bytes.size() - at, 1 + rng_() % 64);
      out_.chunks.push_back({bytes.substr(at, n), time_});
      at += n;
      offset_ += n;
      time_ += static_cast<double>(n) * 10.0 / 9600;  // 9600 baud, 10 bits a byte
    }
  }

  Capture& out_;
  std::mt19937& rng_;
  const Options& o_;
  double time_ = 1.8e9;
  std::uint64_t offset_ = 0;
};

}  // namespace

Capture Generate(const Options& o) {
  Capture capture;
  std::mt19937 rng(o.seed);
  sim::Simulator simulator(sim::DefaultScenario());
  Line line(capture, rng, o);
  const auto uniform = [&rng] { return (rng() >> 8) * (1.0 / 16777216.0); };
  double now = 0;
  for (std::size_t k = 0; capture.sent.size() < o.frames; ++k) {
    const Command& c = kRound[k % std::size(kRound)];
    const unsigned char group = 0xFF;
    std::string command = yd1363::Encode(0x21, 1, c.cid1, c.cid2, &group, c.groupByte ? 1 : 0);
    bool lost = line.Send(command, true);
    if (uniform() < o.collisionRate) {
      // A second master asks the same address before the reply: the device
      // answers the later command, the earlier has none.
      command = yd1363::Encode(0x21, 1, 0x41, 0x41, nullptr, 0);
      lost = line.Send(command, true);
    }
    const std::size_t asked = capture.sent.size() - 1;
    const std::string reply = simulator.Answer(std::string_view(command).substr(0, command.size() - 1), now += 0.1);
    if (reply.empty()) continue;
    if (!line.Send(reply, false) && !lost) capture.sent[asked].answered = true;
  }
  return capture;
}

Figures Check(const Capture& capture) {
  struct Seen {
    bool intact;
    wire::Pair pair;
  };
  std::unordered_map<std::uint64_t, Seen> decoded;
  decoded.reserve(capture.sent.size() * 2);
  Figures fig;
  const auto start = std::chrono::steady_clock::now();
  {
    wire::Pairing pairing([&](wire::Frame&& f) { decoded[f.offset] = {f.Intact(), f.pair}; });
    wire::FrameReader reader([&](wire::Frame&& f) { pairing.Add(std::move(f)); });
    for (const auto& c : capture.chunks)
      reader.Feed(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size(), c.time);
    reader.Finish();
    pairing.Finish();
  }
  fig.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  fig.framesDecoded = decoded.size();

  std::unordered_map<std::uint64_t, const Sent*> sentAt;
  for (const auto& s : capture.sent) sentAt[s.offset] = &s;
  for (const auto& [offset, seen] : decoded)
    if (seen.intact && !sentAt.count(offset)) ++fig.decodedNotSent;
  for (const auto& s : capture.sent) {
    const auto it = decoded.find(s.offset);
    const bool intact = it != decoded.end() && it->second.intact;
    if (s.damaged) {
      ++fig.damagedSent;
      if (!intact) ++fig.damagedFlagged;
    } else {
      ++fig.intactSent;
      if (intact) ++fig.intactDecoded;
    }
    if (s.answered) {
      ++fig.answerable;
      if (it != decoded.end() && it->second.pair == wire::Pair::Paired) ++fig.paired;
    }
  }
  return fig;
}

}  // namespace synth
