// Reading the users file of the NUT server: owner-only mode, one user a line.
#include "tools/host/outputs/nut/NutUsers.h"

#include <fmt/format.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tools/host/stream/RunError.h"

namespace runner {
namespace {

// Names a client sends in USERNAME: no spaces, quotes or controls.
bool NameFits(const std::string& s) {
  return !s.empty() && s.size() <= 64 && std::all_of(s.begin(), s.end(), [](unsigned char c) {
    return std::isalnum(c) || c == '.' || c == '_' || c == '-' || c == '@';
  });
}

bool PasswordFits(const std::string& s) {
  return !s.empty() && s.size() <= 128 && std::all_of(s.begin(), s.end(), [](unsigned char c) { return c > ' ' && c != 0x7f; });
}

}  // namespace

std::vector<NutUser> ReadNutUsers(const std::string& path) {
  const auto fail = [&](const std::string& why) { return UsageError(fmt::format("--nut-users {}: {}", path, why)); };
  std::ifstream in(path);
  struct stat st {};
  if (!in || stat(path.c_str(), &st) != 0) throw fail(std::strerror(errno ? errno : ENOENT));
  if (!S_ISREG(st.st_mode)) throw fail("not a regular file");
  // Passwords: only the owner may read the file (upsd asks the same of its own).
  if ((st.st_mode & 077) != 0)
    throw fail(fmt::format("mode {:04o} lets others than its owner read or write it; chmod 600 it",
                           static_cast<unsigned>(st.st_mode & 07777)));
  std::vector<NutUser> users;
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;) w.push_back(word);
    if (w.empty() || w[0][0] == '#') continue;
    const auto bad = [&](const std::string& why) { return fail(fmt::format("line {}: {}", number, why)); };
    if (w.size() != 2 && w.size() != 4)
      throw bad("expected USER PASSWORD [upsmon primary|secondary]");
    NutUser u{w[0], w[1], NutUser::Role::None};
    if (!NameFits(u.name)) throw bad(fmt::format("\"{}\" is not a user name (letters, digits, . _ - @)", u.name));
    if (!PasswordFits(u.password)) throw bad("the password must be 1 to 128 printable characters without spaces");
    if (w.size() == 4) {
      if (w[2] != "upsmon") throw bad(fmt::format("expected \"upsmon\", got \"{}\"", w[2]));
      if (w[3] == "primary" || w[3] == "master") u.role = NutUser::Role::Primary;
      else if (w[3] == "secondary" || w[3] == "slave") u.role = NutUser::Role::Secondary;
      else throw bad(fmt::format("expected primary or secondary, got \"{}\"", w[3]));
    }
    if (std::any_of(users.begin(), users.end(), [&](const NutUser& o) { return o.name == u.name; }))
      throw bad(fmt::format("user \"{}\" is named twice", u.name));
    users.push_back(std::move(u));
  }
  if (in.bad()) throw fail("cannot read it");
  return users;
}

}  // namespace runner
