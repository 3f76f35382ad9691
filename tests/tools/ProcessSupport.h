// What the process-level tests of the runner share: reading a file whole,
// starting a program beside the test with its output in files, waiting for it
// to do something, and a free loopback port.
#pragma once
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>

#include <boost/asio.hpp>
#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace process_support {

inline std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

inline bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Starts args[0] (looked up on PATH) with standard output and error in files; -1 when it cannot.
inline pid_t Spawn(std::vector<std::string> args, const std::string& out, const std::string& err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// A program running beside the test; killed (SIGKILL) when it goes out of scope.
struct Child {
  pid_t pid = -1;
  Child(std::vector<std::string> args, const std::string& out, const std::string& err) {
    pid = Spawn(std::move(args), out, err);
  }
  ~Child() { Stop(SIGKILL); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  // Sends `signal` and waits for the end: the exit status, -1 when it did not exit.
  int Stop(int signal) {
    if (pid <= 0) return -1;
    kill(pid, signal);
    int status = 0;
    waitpid(pid, &status, 0);
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  bool Running() const { return pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0; }
};

// Waits (bounded) until a real process has done something; true when it has.
inline bool WaitFor(const std::function<bool()>& done, int seconds = 20) {
  for (int k = 0; k < seconds * 100; ++k) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

inline int FreePort() {
  boost::asio::io_context io;
  boost::asio::ip::tcp::acceptor a(io, {boost::asio::ip::make_address("127.0.0.1"), 0});
  return a.local_endpoint().port();
}

}  // namespace process_support
