// The NUT server's users file (--nut-users): one user a line,
// `USER PASSWORD [upsmon primary|secondary]`, '#' starting a comment line.
#pragma once
#include <string>
#include <vector>

namespace runner {

struct NutUser {
  enum class Role { None, Primary, Secondary };  // what LOGIN, PRIMARY and FSD allow
  std::string name, password;
  Role role = Role::None;
};

// Reads and checks the file: throws UsageError with one line naming the file
// (and the line) when it cannot be read, is readable or writable by others
// than its owner, or is malformed.
std::vector<NutUser> ReadNutUsers(const std::string& path);

}  // namespace runner
