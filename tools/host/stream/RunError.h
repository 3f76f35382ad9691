// The runner's two kinds of failure, each one line for main() to print.
#pragma once
#include <stdexcept>

namespace runner {

// A run that cannot start or go on: exit status 1.
class RunError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A command line the runner cannot use: exit status 2.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace runner
