// Frames of a forwarded or listened line to a pcap file, written by a thread
// of its own so that a slow disk never holds the line's bytes back.
#pragma once
#include <boost/asio/thread_pool.hpp>
#include <cstdio>
#include <memory>
#include <string>

#include "tools/host/wire/Frame.h"
#include "tools/host/wire/Pcap.h"

namespace runner {

class PcapOutput {
 public:
  // Opens `path`; throws RunError when it cannot be written.
  explicit PcapOutput(const std::string& path);
  ~PcapOutput();
  PcapOutput(const PcapOutput&) = delete;
  PcapOutput& operator=(const PcapOutput&) = delete;

  void Write(const wire::Frame& f);
  // Waits for every frame; false when the file could not be written.
  bool Finish();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::FILE* file_;
  std::unique_ptr<wire::PcapWriter> writer_;
  boost::asio::thread_pool pool_{1};
};

}  // namespace runner
