// Listen mode's side of the poll loop: the tapped line's bytes read into
// frames and paired, each frame an observation, and the reply to the command
// a system's device expects handed to that device; with several systems on
// the line, each expects its own commands at its own address. Model replies
// seen are remembered, and a remembered one stands in when the line gives none.
#pragma once
#include <cstddef>
#include <vector>
#include <functional>
#include <map>
#include <string>

#include "tools/host/loop/ModelFile.h"
#include "tools/host/loop/PcapOutput.h"
#include "tools/host/stream/Observation.h"
#include "tools/host/wire/FrameReader.h"
#include "tools/host/wire/Pairing.h"
#include "tools/host/wire/TapMatcher.h"

namespace runner {

class ListenTap {
 public:
  using Emit = std::function<void(Stamped)>;
  // Where a handed reply came from when not from the line now: a remembered
  // one; `masterInRounds`: handed because the other master had passed its
  // model query, so it is in its rounds.
  struct Remembered {
    std::string file;
    Millis seen = 0;
    bool masterInRounds = false;
  };
  // The reply for system `system` (0 with one system), as wire text.
  using Reply = std::function<void(std::size_t system, const std::string& wireText, const Remembered* from)>;
  // The model file's new text, to be written away from the loop.
  using Save = std::function<void(std::string text)>;
  // `replyTimeoutMs`: a command with no reply after this is unanswered;
  // `pcap`: where every frame is written too (null: nowhere).
  ListenTap(unsigned replyTimeoutMs, Emit emit, Reply reply, PcapOutput* pcap = nullptr);
  // Model replies tapped are kept in `models` and saved through `save`;
  // its replies stand in for the line's.
  void RememberModels(ModelFile* models, Save save) {
    models_ = models;
    save_ = std::move(save);
  }
  // Several systems, system k at addresses[k]: a tapped command goes to the
  // matcher of its address. Without this call the one system takes every command.
  void SetSystems(std::vector<unsigned char> addresses);

  // System `system`'s device sent `commandText` (swallowed by the line): expect it on the tap.
  void Expect(std::size_t system, const std::string& commandText) { matchers_.at(system).Expect(commandText); }
  // The expected command had no reply in time: a model query takes the
  // remembered reply (true); otherwise nothing is expected any more (false).
  bool Unanswered(std::size_t system);
  // Bytes of the tap, seen at `wallSeconds`.
  void Bytes(const unsigned char* data, std::size_t length, double wallSeconds);
  // The line ended: frames still open or held are handed on.
  void Finish();
  // "frames 12, paired 6, ...": the tap's counts for the run's end.
  std::string Summary() const;

 private:
  void Frame(wire::Frame&& f);
  void Said(const std::string& notice);
  std::uint64_t Matched() const;
  bool HandModel(std::size_t system, bool masterInRounds);
  void ModelSeen(const wire::Frame& f, bool takenNow);
  void Stranger(const wire::Frame& f);

  Emit emit_;
  Reply reply_;
  PcapOutput* pcap_;
  std::vector<wire::TapMatcher> matchers_ = std::vector<wire::TapMatcher>(1);
  std::vector<unsigned char> addresses_;  // empty: one system, every command goes to its matcher
  std::vector<unsigned char> strangers_;  // addresses of no system, said once each
  wire::Pairing pairing_;
  wire::FrameReader reader_;
  std::uint64_t frames_ = 0, damaged_ = 0;
  ModelFile* models_ = nullptr;
  Save save_;
  std::map<unsigned char, std::string> handed_;  // per address: the remembered model reply handed on
};

}  // namespace runner
