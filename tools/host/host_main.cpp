// qpr2427k-host: loads the plug-in and polls a power system, real, simulated
// or replayed, as the monitoring host does.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "tools/host/Links.h"
#include "tools/host/Options.h"
#include "tools/host/Runner.h"

#ifndef QPR_SOURCE_DIR
#define QPR_SOURCE_DIR "."
#endif
#ifndef QPR_BUILT_PLUGIN
#define QPR_BUILT_PLUGIN ""
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

bool Exists(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

// The plug-in writes trace lines to standard output. The view keeps the
// original standard output; descriptor 1 goes to the trace file, or nowhere.
std::FILE* SplitStandardOutput(const std::string& trace) {
  std::fflush(stdout);
  std::cout.flush();
  const int viewFd = dup(STDOUT_FILENO);
  std::FILE* view = viewFd >= 0 ? fdopen(viewFd, "w") : nullptr;
  if (!view) return stdout;
  if (trace == "-") return view;
  const int fd = open(trace.empty() ? "/dev/null" : trace.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    std::fprintf(stderr, "qpr2427k-host: cannot write the trace file %s\n", trace.c_str());
    std::exit(1);
  }
  dup2(fd, STDOUT_FILENO);
  close(fd);
  return view;
}

}  // namespace

int main(int argc, char** argv) {
  runner::Options options;
  try {
    options = runner::ParseOptions(argc, argv);
  } catch (const runner::UsageError& e) {
    std::fprintf(stderr, "qpr2427k-host: %s\n(try --help)\n", e.what());
    return 2;
  }
  if (options.help) {
    std::fputs(runner::UsageText(), stdout);
    return 0;
  }
  const std::string programDir = ProgramDir();
  if (options.plugin.empty())
    options.plugin = Exists(programDir + "/qpr2427k.so") || std::string(QPR_BUILT_PLUGIN).empty()
                         ? programDir + "/qpr2427k.so"
                         : QPR_BUILT_PLUGIN;
  if (options.config.empty())
    options.config = Exists("examples/site.json") ? "examples/site.json" : QPR_SOURCE_DIR "/examples/site.json";

  std::FILE* view = SplitStandardOutput(options.trace);
  int status = 1;
  try {
    status = runner::Run(options, view);
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
