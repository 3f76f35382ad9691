// The process tests' guard: a Child ends with all it started, however the test
// ends: stopped, out of scope, after a time-out, or the test process killed.
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tests/tools/ProcessSupport.h"

namespace {

using namespace process_support;

std::string Temp(const std::string& name) {
  static int counter = 0;
  return ::testing::TempDir() + "qpr-child-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" + name;
}

// The pid a program wrote to a file; 0 until it has.
pid_t PidIn(const std::string& file) {
  const std::string text = Slurp(file);
  return text.empty() ? 0 : std::stoi(text);
}

// Ended: no such process, or a zombie that init has yet to reap.
bool Gone(pid_t pid) {
  const std::string stat = Slurp("/proc/" + std::to_string(pid) + "/stat");
  const auto close = stat.rfind(')');
  return close == std::string::npos || stat.compare(close + 2, 1, "Z") == 0;
}

TEST(Child, EndsWithTheHelpersItStarted) {
  struct Row {
    const char* how;
    std::function<void(std::unique_ptr<Child>&)> end;
  };
  const Row rows[] = {
      {"stopped", [](std::unique_ptr<Child>& c) { EXPECT_EQ(c->Stop(SIGTERM), -1); }},
      {"out of scope", [](std::unique_ptr<Child>& c) { c.reset(); }},
      {"waited for too long", [](std::unique_ptr<Child>& c) { EXPECT_EQ(c->Wait(1), -1); }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.how);
    // A helper in the background (the shell's group) and one under timeout,
    // which moves to a process group of its own.
    const std::string background = Temp("background"), wrapped = Temp("wrapped");
    auto child = std::make_unique<Child>(
        std::vector<std::string>{"/bin/sh", "-c",
                                 "sleep 60 & echo $! >" + background + "; timeout 60 sh -c 'echo $$ >" + wrapped +
                                     "; exec sleep 60'"},
        "/dev/null", "/dev/null");
    pid_t helpers[2] = {0, 0};
    EXPECT_TRUE(WaitFor([&] { return (helpers[0] = PidIn(background)) > 0 && (helpers[1] = PidIn(wrapped)) > 0; }));
    row.end(child);
    for (const pid_t helper : helpers) EXPECT_TRUE(helper > 0 && WaitFor([&] { return Gone(helper); }, 5)) << helper;
  }
}

TEST(Child, EndsWhenTheTestProcessIsKilled) {
  const std::string file = Temp("pid");
  const pid_t test = fork();
  if (test == 0) {  // a test process that is killed outright: no destructor runs
    alarm(60);
    Child helper({"sleep", "60"}, "/dev/null", "/dev/null");
    std::ofstream(file) << helper.pid;
    pause();
    _exit(0);
  }
  pid_t helper = 0;
  EXPECT_TRUE(WaitFor([&] { return (helper = PidIn(file)) > 0; }));
  kill(test, SIGKILL);
  waitpid(test, nullptr, 0);
  EXPECT_TRUE(helper > 0 && WaitFor([&] { return Gone(helper); }, 5)) << helper;
}

}  // namespace
