// What the process-level tests of the runner share: reading a file whole,
// starting a program beside the test with its output in files and stopping it
// with all it started, waiting for it to do something, and a free loopback port.
#pragma once
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <chrono>
#include <cstdlib>
#include <filesystem>
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

// The resident memory of a process, in kB; -1 when it is gone.
inline long RssKb(pid_t pid) {
  const std::string status = Slurp("/proc/" + std::to_string(pid) + "/status");
  const auto at = status.find("VmRSS:");
  return at == std::string::npos ? -1 : std::stol(status.substr(at + 6));
}

// Sanitizers keep freed memory for themselves: under one, the resident size says nothing.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
inline constexpr bool kSanitized = true;
#else
inline constexpr bool kSanitized = false;
#endif
#else
inline constexpr bool kSanitized = false;
#endif

// The processes whose session is `sid`: a child's own helpers, whatever group they moved to.
inline std::vector<pid_t> SessionMembers(pid_t sid) {
  std::vector<pid_t> r;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    // pid (comm) state ppid pgrp session ...: comm may hold spaces and parentheses.
    const std::string stat = Slurp("/proc/" + name + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 1));
    std::string state;
    long ppid = 0, pgrp = 0, session = 0;
    if (rest >> state >> ppid >> pgrp >> session && session == sid) r.push_back(std::stoi(name));
  }
  return r;
}

// Starts args[0] (looked up on PATH) in a session and process group of its
// own, after `inChild` has set up its standard streams, limits or folder in the
// new process (async-signal-safe calls only; false: it cannot start). It gets
// SIGTERM when the test's thread that started it ends, a crash or a time-out's
// kill included: SIGTERM, so that a wrapper such as timeout passes it on.
// -1 when it cannot be started.
inline pid_t Spawn(std::vector<std::string> args, const std::function<bool()>& inChild) {
  if (args.empty()) return -1;
  // Everything the child needs is made here: after fork() it only calls async-signal-safe functions.
  std::string program = args[0];
  if (program.find('/') == std::string::npos) {
    const char* path = std::getenv("PATH");
    std::istringstream folders(path ? path : "/usr/bin:/bin");
    for (std::string folder; std::getline(folders, folder, ':');)
      if (!folder.empty() && access((folder + "/" + program).c_str(), X_OK) == 0) {
        program = folder + "/" + program;
        break;
      }
  }
  if (access(program.c_str(), X_OK) != 0) return -1;
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid != 0) return pid;
  setsid();
  prctl(PR_SET_PDEATHSIG, SIGTERM);
  if (getppid() != parent) _exit(127);  // the test ended before the line above
  if (!inChild()) _exit(127);
  execve(program.c_str(), argv.data(), environ);
  _exit(127);
}

// The same with standard output and error in files (empty: the test's own), in `dir` (empty: here).
inline pid_t Spawn(std::vector<std::string> args, const std::string& out, const std::string& err,
                   const std::string& dir = "") {
  const auto redirect = [](const std::string& file, int fd) {
    if (file.empty()) return true;
    const int f = open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    return f >= 0 && dup2(f, fd) == fd;
  };
  return Spawn(std::move(args),
               [&] { return redirect(out, 1) && redirect(err, 2) && (dir.empty() || chdir(dir.c_str()) == 0); });
}

// A program running beside the test, with all it starts: stopped when it goes
// out of scope, on every exit path of the test (a failed assertion included).
struct Child {
  pid_t pid = -1;
  int waitStatus = -1;  // as waitpid() gave it, once it has ended
  Child(std::vector<std::string> args, const std::string& out, const std::string& err, const std::string& dir = "") {
    pid = Spawn(std::move(args), out, err, dir);
  }
  Child(std::vector<std::string> args, const std::function<bool()>& inChild) { pid = Spawn(std::move(args), inChild); }
  ~Child() { Stop(SIGTERM); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Sends `signal` to its process group and waits for the end: the exit
  // status, -1 when it did not exit. Its session is killed when it has not
  // ended after `graceSeconds`, and what it left behind when it has.
  int Stop(int signal, int graceSeconds = 10) {
    if (pid <= 0) return -1;
    // Once: a program may take a second SIGTERM as "end at once". A wrapper
    // such as timeout passes it on to its own group.
    if (kill(-pid, signal) != 0) kill(pid, signal);  // not yet in a group of its own
    if (!Ended(graceSeconds)) KillSession();
    return Reap();
  }
  // Waits for it to end by itself: the exit status, -1 when it did not exit
  // (killed by a signal, or stopped after `seconds`).
  int Wait(int seconds = 120) {
    if (pid <= 0) return -1;
    if (!Ended(seconds)) KillSession();
    return Reap();
  }
  bool Running() const {
    siginfo_t info{};
    return pid > 0 && waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
  }

 private:
  void KillSession() const {
    for (const pid_t p : SessionMembers(pid)) kill(p, SIGKILL);
    kill(pid, SIGKILL);  // a program that has not yet made its session
  }
  // Whether the program ended within `seconds`; it stays unreaped, so that its
  // session's number is not given to another process meanwhile.
  bool Ended(int seconds) const {
    for (int k = 0; k < seconds * 100; ++k) {
      if (!Running()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return !Running();
  }
  int Reap() {
    siginfo_t info{};
    waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT);
    for (const pid_t p : SessionMembers(pid))
      if (p != pid) kill(p, SIGKILL);  // helpers the program left behind
    waitpid(pid, &waitStatus, 0);
    pid = -1;
    return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : -1;
  }
};

// Runs a program to its end (at most `seconds`): its exit status, -1 when it did not exit.
inline int RunToEnd(std::vector<std::string> args, const std::string& out, const std::string& err,
                    int seconds = 120, const std::string& dir = "") {
  return Child(std::move(args), out, err, dir).Wait(seconds);
}

// std::system with a guard: the shell and all it started in the background
// end with it; at most `seconds`. The wait status, as std::system gives it.
inline int System(const std::string& command, int seconds = 300) {
  Child shell({"/bin/sh", "-c", command}, "", "");
  shell.Wait(seconds);
  return shell.waitStatus;
}

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
