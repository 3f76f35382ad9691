// Keeps the run's line: opens the source the options name (simulator, serial
// port, TCP, replay file, a line only listened to), hands its bytes on, and
// reopens a lost line with a back-off that doubles up to 30 s; the systems'
// health hears of every line up and down.
#pragma once
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "tools/host/line/Links.h"
#include "tools/host/stream/Observation.h"
#include "tools/host/loop/RunOptions.h"

namespace runner {

class LineKeeper {
 public:
  struct Hooks {
    Link::OnBytes bytes;                                   // bytes read from the line
    std::function<void(Link*)> attach;                     // the link the device writes to (null: none)
    std::function<void(const std::string&, int)> stop;     // end the run with this reason and status
    std::function<void(Observation)> emit;                 // health changes and notices
    std::function<bool()> stopping;                        // the run is ending: open nothing more
    std::function<void(const std::string& line)> up;       // the line is up: health of every system
    // The line is down: health of every system; true when any health changed (and was said).
    std::function<bool(const std::string& why, std::chrono::milliseconds reopenIn)> down;
  };
  LineKeeper(boost::asio::io_context& io, const RunOptions& o, Hooks hooks);

  void Open();
  bool up() const { return up_; }
  // A round ended: the line works, so the next loss starts the back-off over.
  void Worked() { reopenDelay_ = std::chrono::milliseconds(opt_.reopenMs); }
  void Close();
  // Listen mode: the plug-in's commands the line held back, over every link.
  std::uint64_t heldBack() const;

 private:
  void OpenListen(const std::function<void(std::unique_ptr<Link>, const std::string&)>& opened);
  void Up(std::unique_ptr<Link> link);
  void Lost(const std::string& why);
  void ScheduleReopen(const std::string& why);
  void Say(std::string text) { hooks_.emit(Notice{std::move(text)}); }

  boost::asio::io_context& io_;
  const RunOptions& opt_;
  Hooks hooks_;
  boost::asio::steady_timer reopen_;
  std::unique_ptr<Link> link_;
  bool up_ = false, everUp_ = false;
  std::chrono::milliseconds reopenDelay_;
  std::uint64_t heldBackBefore_ = 0;  // by the links already lost
};

}  // namespace runner
