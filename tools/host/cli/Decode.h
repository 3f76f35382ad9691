// --decode: every image in a cache file or an events file printed with the
// catalogue's names and units, as JSON lines or CSV.
#pragma once
#include <cstdio>
#include <string>

namespace runner {

enum class DecodeFormat { JsonLines, Csv };

// Prints the images of `path` on `out`; 0, or throws RunError for a file that
// is neither a cache file nor an events file.
int DecodeImages(const std::string& path, DecodeFormat format, std::FILE* out);

}  // namespace runner
