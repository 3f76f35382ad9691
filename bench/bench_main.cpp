// qpr_bench: the allocation check, then the Google Benchmark suite. The
// plug-in's trace lines go to /dev/null; reports go to the original standard
// output. Exits with 1 when the plug-in's own code allocates in steady state.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <ext/stdio_filebuf.h>
#include <iostream>
#include <ostream>

#include "bench/Benchmarks.h"

int main(int argc, char** argv) {
  // --alloc_only: the allocation check without the benchmarks.
  bool allocOnly = false;
  for (int k = 1; k < argc; ++k) {
    if (std::strcmp(argv[k], "--alloc_only") == 0) {
      allocOnly = true;
      for (int j = k; j + 1 < argc; ++j) argv[j] = argv[j + 1];
      --argc;
      break;
    }
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 2;

  std::fflush(stdout);
  const int reportFd = dup(STDOUT_FILENO);
  const int devNull = open("/dev/null", O_WRONLY);
  if (reportFd < 0 || devNull < 0 || dup2(devNull, STDOUT_FILENO) < 0) {
    std::perror("qpr_bench: cannot set the trace lines aside");
    return 2;
  }
  close(devNull);
  std::FILE* report = fdopen(dup(reportFd), "w");
  __gnu_cxx::stdio_filebuf<char> reportBuf(reportFd, std::ios::out);
  std::ostream reportStream(&reportBuf);

  unsigned long long pluginAllocations = 0;
  try {
    pluginAllocations = bench::CheckAllocations(report);
    std::fflush(report);
    if (!allocOnly) {
      bench::RegisterBenchmarks();
      benchmark::ConsoleReporter console(benchmark::ConsoleReporter::OO_Tabular);
      console.SetOutputStream(&reportStream);
      console.SetErrorStream(&std::cerr);
      benchmark::RunSpecifiedBenchmarks(&console);
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "qpr_bench: %s\n", e.what());
    return 2;
  }
  benchmark::Shutdown();
  reportStream.flush();
  std::fclose(report);
  return pluginAllocations == 0 ? 0 : 1;
}
