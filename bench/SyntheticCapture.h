// A synthetic capture of a tapped line with a known truth: the simulator's
// answers to the plug-in's round, corrupted bytes, gaps, noise between frames
// and a second master's commands; and the check of the frame decoder on it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace synth {

struct Options {
  std::size_t frames = 5000;    // frames sent, about
  double corruptRate = 0.01;    // of the bytes sent, each replaced by another
  double maxGap = 0.050;        // seconds of silence before a frame, up to
  double collisionRate = 0.01;  // exchanges where a second master's command follows the first
  double noiseRate = 0.01;      // frames with a few noise bytes before them
  std::uint32_t seed = 1;
};

// One frame as it was sent.
struct Sent {
  std::uint64_t offset;  // of its SOI in the capture
  bool damaged;          // a byte of it was corrupted
  bool command;
  bool answered;         // a command whose reply came, both undamaged
};

struct Chunk {
  std::string bytes;
  double time;
};

struct Capture {
  std::vector<Chunk> chunks;  // the line's bytes in pieces of 1 to 64, with their times
  std::vector<Sent> sent;
};

Capture Generate(const Options& options);

// What the decoder made of a capture, against its truth.
struct Figures {
  std::size_t intactSent = 0, intactDecoded = 0;      // undamaged frames, and those decoded intact
  std::size_t damagedSent = 0, damagedFlagged = 0;    // damaged frames, and those not taken for intact
  std::size_t decodedNotSent = 0;                     // intact frames the decoder found where none began
  std::size_t answerable = 0, paired = 0;             // answered commands, and those the pairing paired
  std::size_t framesDecoded = 0;
  double seconds = 0;                                 // decoding time (reader and pairing)
};

Figures Check(const Capture& capture);

}  // namespace synth
