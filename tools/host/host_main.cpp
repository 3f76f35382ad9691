// qpr2427k-host: loads the plug-in and polls a power system, real, simulated
// or replayed, as the monitoring host does.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "tools/host/cli/Capture.h"
#include "tools/host/cli/Decode.h"
#include "tools/host/cli/Jobs.h"
#include "tools/host/line/Links.h"
#include "tools/host/cli/Options.h"
#include "tools/host/forward/Forwarder.h"
#include "tools/host/loop/LabelsFile.h"
#include "tools/host/loop/Runner.h"
#include "tools/host/loop/SignalWatch.h"

// The build sets these (tools/host/CMakeLists.txt): a developer's build looks in
// its own build and source folders, an installed one in the installed places.
#ifndef QPR_VERSION
#error "QPR_VERSION must be set by the build"
#endif
#ifndef QPR_DEFAULT_PLUGIN
#error "QPR_DEFAULT_PLUGIN must be set by the build"
#endif
#ifndef QPR_DEFAULT_CONFIG
#error "QPR_DEFAULT_CONFIG must be set by the build"
#endif

namespace {

std::string ProgramDir() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  std::string p(path, static_cast<std::size_t>(n));
  const auto slash = p.rfind('/');
  return slash == std::string::npos ? "." : p.substr(0, slash);
}

runner::SearchPaths DefaultPaths(const std::string& programDir) {
  runner::SearchPaths d;
  d.plugins.push_back({programDir + "/qpr2427k.so", "qpr2427k.so beside this program"});
  d.plugins.push_back({QPR_DEFAULT_PLUGIN, QPR_DEFAULT_PLUGIN});
#ifdef QPR_CONFIG_IN_CURRENT_FOLDER
  d.configs.push_back({QPR_CONFIG_IN_CURRENT_FOLDER, QPR_CONFIG_IN_CURRENT_FOLDER " in the current folder"});
#endif
  d.configs.push_back({QPR_DEFAULT_CONFIG, QPR_DEFAULT_CONFIG});
  return d;
}

bool SameFile(int a, int b) {
  struct stat sa {}, sb {};
  return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// The events file is opened before standard output is split below, so that
// "-", /dev/stdout and pipes reach the real standard output. True when the
// events go there: the view then goes to standard error.
bool OpenEvents(const std::string& path, runner::EventLog& events) {
  if (path.empty()) return false;
  if (path == "-") {
    const int fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) throw runner::RunError("cannot write the events to standard output");
    events.Attach(fd, true, "standard output");
    return true;
  }
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0666);
  if (fd < 0) throw runner::RunError("cannot write the events file " + path);
  events.Attach(fd, true, path, path);
  return SameFile(fd, STDOUT_FILENO);
}

// The plug-in writes trace lines to standard output. The view keeps the
// original standard output (or standard error when the events have it);
// descriptor 1 goes to the trace file, or nowhere.
std::FILE* SplitStandardOutput(const std::string& trace, bool viewOnStderr) {
  std::fflush(stdout);
  std::cout.flush();
  std::FILE* view = nullptr;
  if (viewOnStderr) {
    view = stderr;
  } else {
    const int viewFd = dup(STDOUT_FILENO);
    view = viewFd >= 0 ? fdopen(viewFd, "w") : nullptr;
    if (!view) return stdout;
  }
  if (trace == "-") {
    if (viewOnStderr) dup2(STDERR_FILENO, STDOUT_FILENO);
    return view;
  }
  const int fd = open(trace.empty() ? "/dev/null" : trace.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) throw runner::RunError("cannot write the trace file " + trace);
  dup2(fd, STDOUT_FILENO);
  close(fd);
  return view;
}

}  // namespace

int main(int argc, char** argv) {
  // A reader that closes the events pipe, or a file size limit, is a write
  // error the outputs report, not the end of the run.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  runner::RunOptions options;
  try {
    options = runner::ParseOptions(argc, argv);
  } catch (const runner::UsageError& e) {
    std::fprintf(stderr, "qpr2427k-host: %s\n(try --help)\n", e.what());
    return 2;
  }
  const runner::SearchPaths defaults = DefaultPaths(ProgramDir());
  if (options.help) {
    std::fputs(runner::UsageText(defaults).c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::puts("qpr2427k-host " QPR_VERSION);
    return 0;
  }
  if (options.plugin.empty()) options.plugin = runner::FirstReadable(defaults.plugins);
  if (options.config.empty()) options.config = runner::FirstReadable(defaults.configs);

  int status = 1;
  std::FILE* view = nullptr;
  try {
    if (options.mode == runner::Mode::Discover) return runner::DiscoverSystem(options, stdout);
    // The operator's names, in use before any output starts: a bad file ends
    // the run before the events file or the line is touched.
    if (!options.labels.empty() && options.mode != runner::Mode::CheckConfig)
      catalogue::Labels::Use(runner::ReadLabels(options.labels));
    if (options.mode == runner::Mode::Decode)
      return runner::DecodeImages(options.decode, options.csv ? runner::DecodeFormat::Csv : runner::DecodeFormat::JsonLines,
                                  stdout);
    if (options.mode == runner::Mode::DecodeCapture) {
      const auto format = options.captureFormat == "csv"     ? runner::CaptureOutput::Csv
                          : options.captureFormat == "jsonl" ? runner::CaptureOutput::JsonLines
                                                             : runner::CaptureOutput::Text;
      return runner::DecodeCapture(options.capture, format, options.pcap, stdout);
    }
    if (options.mode == runner::Mode::ToReplay) return runner::CaptureToReplay(options.capture, stdout);
    if (options.mode == runner::Mode::CheckConfig) {
      view = SplitStandardOutput(options.trace, false);
      status = runner::CheckConfig(options, view);
      std::fflush(view);
      return status;
    }
    // Before the first thread starts, so that every thread keeps them blocked.
    runner::SignalWatch::BlockForRun();
    runner::EventLog events;
    const bool eventsOnStdout = OpenEvents(options.events, events);
    view = SplitStandardOutput(options.trace, eventsOnStdout);
    status = options.mode == runner::Mode::Forward ? runner::Forward(options, view, events)
                                                   : runner::Run(options, view, events);
  } catch (const runner::RunError& e) {
    std::fprintf(stderr, "qpr2427k-host: %s\n", e.what());
  } catch (const runner::LinkError& e) {
    std::fprintf(stderr, "qpr2427k-host: %s\n", e.what());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qpr2427k-host: %s\n", e.what());
  }
  std::fflush(stdout);
  if (view) std::fflush(view);
  return status;
}
