// The pcap file's writer thread: frames are copied to it and written in order.
#include "tools/host/loop/PcapOutput.h"

#include <fmt/format.h>

#include <boost/asio/post.hpp>
#include <cerrno>
#include <cstring>

#include "tools/host/stream/RunError.h"

namespace runner {

PcapOutput::PcapOutput(const std::string& path) : path_(path), file_(std::fopen(path.c_str(), "wb")) {
  if (!file_) throw RunError(fmt::format("cannot write the pcap file {}: {}", path, std::strerror(errno)));
  writer_ = std::make_unique<wire::PcapWriter>(file_);
}

PcapOutput::~PcapOutput() {
  pool_.join();
  if (file_) std::fclose(file_);
}

void PcapOutput::Write(const wire::Frame& f) {
  boost::asio::post(pool_, [this, f] { writer_->Write(f); });
}

bool PcapOutput::Finish() {
  pool_.join();
  return writer_->ok() && std::fflush(file_) == 0;
}

}  // namespace runner
