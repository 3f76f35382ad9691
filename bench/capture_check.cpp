// qpr_capture_check [FRAMES]: decodes a synthetic capture of FRAMES frames
// (default 100000) and prints what the decoder got right, with its rate.
#include <cstdio>
#include <cstdlib>

#include "bench/SyntheticCapture.h"

int main(int argc, char** argv) {
  synth::Options o;
  if (argc > 1) o.frames = std::strtoul(argv[1], nullptr, 10);
  if (argc > 2 || o.frames == 0) {
    std::fprintf(stderr, "usage: qpr_capture_check [FRAMES]\n");
    return 2;
  }
  const synth::Capture capture = synth::Generate(o);
  const synth::Figures f = synth::Check(capture);
  const auto pct = [](std::size_t a, std::size_t b) { return b ? 100.0 * static_cast<double>(a) / static_cast<double>(b) : 100.0; };
  std::printf("frames %zu, intact decoded %.3f%% (%zu of %zu), damaged flagged %.3f%% (%zu of %zu), "
              "decoded not sent %zu, commands paired %.3f%% (%zu of %zu), %.0f frames/s\n",
              capture.sent.size(), pct(f.intactDecoded, f.intactSent), f.intactDecoded, f.intactSent,
              pct(f.damagedFlagged, f.damagedSent), f.damagedFlagged, f.damagedSent, f.decodedNotSent,
              pct(f.paired, f.answerable), f.paired, f.answerable,
              static_cast<double>(capture.sent.size()) / f.seconds);
  return 0;
}
