// --decode-capture and --to-replay: a capture file (raw bytes, a socat or
// jpnevulator dump, or an events file) read frame by frame.
#pragma once
#include <cstdio>
#include <string>

namespace runner {

enum class CaptureOutput { Text, JsonLines, Csv };

// Prints one line a frame and a summary on `out`; writes the frames to
// `pcapPath` too unless it is empty. 0, or throws RunError.
int DecodeCapture(const std::string& path, CaptureOutput format, const std::string& pcapPath, std::FILE* out);

// Prints a --replay file made of the capture's exchanges on `out`: for each
// command its reply's wire text, or "-" when none came. 0, or throws RunError.
int CaptureToReplay(const std::string& path, std::FILE* out);

}  // namespace runner
