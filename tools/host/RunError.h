// A run that cannot start or go on; main() prints the text and exits with 1.
#pragma once
#include <stdexcept>

namespace runner {

class RunError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace runner
