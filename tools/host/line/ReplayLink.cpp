// Replay files: each command is answered with the file's next reply line.
#include <fmt/format.h>

#include <boost/asio.hpp>

#include "tools/host/line/Links.h"

namespace runner {
namespace {

namespace asio = boost::asio;


// Answers each command with the next line of the file, posted so that the
// reply arrives after the device's call that sent the command has returned.
class ReplayLink : public Link {
 public:
  ReplayLink(asio::io_context& io, std::vector<ReplayLine> lines)
      : io_(io), lines_(std::move(lines)), alive_(std::make_shared<bool>(true)) {}
  ~ReplayLink() override { Close(); }

  void Start(OnBytes onBytes, OnEnd onEnd) override {
    onBytes_ = std::move(onBytes);
    onEnd_ = std::move(onEnd);
  }
  // The last reply given is the end of the run's input.
  bool EndsRun() const override { return true; }
  void Write(const unsigned char*, std::size_t) override {
    std::weak_ptr<bool> alive = alive_;
    if (next_ >= lines_.size()) {
      asio::post(io_, [this, alive] {
        if (alive.lock() && *alive.lock()) onEnd_("the replay has no more replies");
      });
      return;
    }
    const ReplayLine& line = lines_[next_++];
    if (!line.frame) return;  // a reply that never comes
    std::string bytes = *line.frame + "\r";
    asio::post(io_, [this, alive, bytes] {
      const auto a = alive.lock();
      if (a && *a) onBytes_(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    });
  }
  void Close() override { *alive_ = false; }

 private:
  asio::io_context& io_;
  std::vector<ReplayLine> lines_;
  std::size_t next_ = 0;
  std::shared_ptr<bool> alive_;
  OnBytes onBytes_;
  OnEnd onEnd_;
};

}  // namespace

std::vector<ReplayLine> ParseReplay(std::istream& in, const std::string& name) {
  std::vector<ReplayLine> lines;
  std::string text;
  int number = 0;
  while (std::getline(in, text)) {
    ++number;
    while (!text.empty() && (text.back() == '\r' || text.back() == ' ' || text.back() == '\t')) text.pop_back();
    std::size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos || text[first] == '#') continue;
    text.erase(0, first);
    if (text == "-") {
      lines.push_back({std::nullopt, number});
    } else if (text[0] == '~') {
      lines.push_back({text, number});
    } else {
      throw LinkError(fmt::format("{}:{}: a reply line starts with '~' (or is \"-\" for no reply)", name, number));
    }
  }
  return lines;
}

std::unique_ptr<Link> OpenReplay(asio::io_context& io, std::vector<ReplayLine> lines) {
  return std::make_unique<ReplayLink>(io, std::move(lines));
}

}  // namespace runner
