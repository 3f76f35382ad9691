// Each NUT command's reply, from one table like upsd's: name, handler and
// whether the command needs a user and password that match the users file.
#include "tools/host/outputs/nut/NutProtocol.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cstring>

namespace runner {
namespace {

using Words = std::vector<std::string>;

NutReply Line(std::string text) { return {text + "\n", false}; }
NutReply Err(const char* what) { return Line(std::string("ERR ") + what); }

bool Same(const std::string& a, const char* b) {
  return a.size() == std::strlen(b) &&
         std::equal(a.begin(), a.end(), b, [](char x, char y) { return std::toupper(static_cast<unsigned char>(x)) == y; });
}

// The client's user, when its user and password match the users file.
const NutUser* Authenticated(const NutClient& c, const NutContext& ctx) {
  if (!ctx.users) return nullptr;
  for (const auto& u : *ctx.users)
    if (u.name == c.user && u.password == c.password) return &u;
  return nullptr;
}

const NutUps* Find(const NutContext& ctx, const std::string& name) {
  for (const auto& u : ctx.ups)
    if (u.name == name) return &u;
  return nullptr;
}

NutReply Ver(const Words&, NutClient&, NutContext&) { return Line("qpr2427k-host NUT server"); }
NutReply NetVer(const Words&, NutClient&, NutContext&) { return Line("1.3"); }
NutReply Help(const Words&, NutClient&, NutContext&);

NutReply Get(const Words& w, NutClient&, NutContext& ctx) {
  if (w.size() < 2) return Err("INVALID-ARGUMENT");
  const std::string& what = w[1];
  const bool withVar = Same(what, "VAR") || Same(what, "TYPE") || Same(what, "DESC");
  const bool withUps = withVar || Same(what, "UPSDESC") || Same(what, "NUMLOGINS") || Same(what, "CMDDESC");
  if (!withUps || w.size() != (withVar || Same(what, "CMDDESC") ? 4u : 3u)) return Err("INVALID-ARGUMENT");
  const std::string& ups = w[2];
  const NutUps* u = Find(ctx, ups);
  if (!u) return Err("UNKNOWN-UPS");
  if (Same(what, "UPSDESC")) return Line(fmt::format("UPSDESC {} {}", ups, Quoted(u->description)));
  if (Same(what, "NUMLOGINS")) {
    const auto n = std::count_if(ctx.clients->begin(), ctx.clients->end(),
                                 [&](const NutClient* c) { return c->loggedIn && c->ups == ups; });
    return Line(fmt::format("NUMLOGINS {} {}", ups, n));
  }
  if (Same(what, "CMDDESC")) return Err("CMD-NOT-SUPPORTED");
  const std::string& name = w[3];
  // Values are refused while stale, as a server whose driver lost the device does.
  if (Same(what, "VAR") && !u->model->Fresh(ctx.now)) return Err("DATA-STALE");
  const auto vars = u->model->Variables();
  const auto it = vars.find(name);
  if (it == vars.end()) return Err("VAR-NOT-SUPPORTED");
  if (Same(what, "VAR")) return Line(fmt::format("VAR {} {} {}", ups, name, Quoted(it->second)));
  if (Same(what, "DESC")) return Line(fmt::format("DESC {} {} {}", ups, name, Quoted(NutModel::Describe(name))));
  char* end = nullptr;
  std::strtod(it->second.c_str(), &end);
  const bool number = !it->second.empty() && *end == '\0';
  return Line(fmt::format("TYPE {} {} {}", ups, name, number ? "NUMBER" : fmt::format("STRING:{}", it->second.size())));
}

NutReply List(const Words& w, NutClient&, NutContext& ctx) {
  if (w.size() < 2) return Err("INVALID-ARGUMENT");
  if (w.size() == 2 && Same(w[1], "UPS")) {
    std::string body;
    for (const auto& u : ctx.ups) body += fmt::format("UPS {} {}\n", u.name, Quoted(u.description));
    return {"BEGIN LIST UPS\n" + body + "END LIST UPS\n", false};
  }
  const bool known = Same(w[1], "VAR") || Same(w[1], "RW") || Same(w[1], "CMD") || Same(w[1], "CLIENT");
  if (w.size() != 3 || !known) return Err("INVALID-ARGUMENT");
  const std::string& ups = w[2];
  const NutUps* u = Find(ctx, ups);
  if (!u) return Err("UNKNOWN-UPS");
  std::string kind = w[1];
  std::transform(kind.begin(), kind.end(), kind.begin(), [](unsigned char c) { return std::toupper(c); });
  std::string body;
  if (kind == "VAR") {
    if (!u->model->Fresh(ctx.now)) return Err("DATA-STALE");
    for (const auto& [name, value] : u->model->Variables()) body += fmt::format("VAR {} {} {}\n", ups, name, Quoted(value));
  } else if (kind == "CLIENT") {
    for (const NutClient* c : *ctx.clients)
      if (c->loggedIn && c->ups == ups) body += fmt::format("CLIENT {} {}\n", ups, c->address);
  }  // RW and CMD: none, nothing can be set or commanded through this server
  return {fmt::format("BEGIN LIST {0} {1}\n{2}END LIST {0} {1}\n", kind, ups, body), false};
}

NutReply Username(const Words& w, NutClient& c, NutContext&) {
  if (w.size() != 2) return Err("INVALID-ARGUMENT");
  if (c.hasUser) return Err("ALREADY-SET-USERNAME");
  c.user = w[1];
  c.hasUser = true;
  return Line("OK");
}

NutReply Password(const Words& w, NutClient& c, NutContext&) {
  if (w.size() != 2) return Err("INVALID-ARGUMENT");
  if (c.hasPassword) return Err("ALREADY-SET-PASSWORD");
  if (w[1].empty()) return Err("INVALID-PASSWORD");
  c.password = w[1];
  c.hasPassword = true;
  return Line("OK");
}

// LOGIN, PRIMARY and FSD: only for users the file names as upsmon (FSD and
// PRIMARY: as primary).
NutReply Login(const Words& w, NutClient& c, NutContext& ctx) {
  if (w.size() != 2) return Err("INVALID-ARGUMENT");
  if (Authenticated(c, ctx)->role == NutUser::Role::None) return Err("ACCESS-DENIED");
  if (!Find(ctx, w[1])) return Err("UNKNOWN-UPS");
  if (c.loggedIn) return Err("ALREADY-LOGGED-IN");
  c.loggedIn = true;
  c.ups = w[1];
  return Line("OK");
}

NutReply Primary(const Words& w, NutClient& c, NutContext& ctx) {
  if (w.size() != 2) return Err("INVALID-ARGUMENT");
  if (Authenticated(c, ctx)->role != NutUser::Role::Primary) return Err("ACCESS-DENIED");
  if (!Find(ctx, w[1])) return Err("UNKNOWN-UPS");
  return Line(Same(w[0], "MASTER") ? "OK MASTER-GRANTED" : "OK PRIMARY-GRANTED");
}

NutReply Fsd(const Words& w, NutClient& c, NutContext& ctx) {
  if (w.size() != 2) return Err("INVALID-ARGUMENT");
  if (Authenticated(c, ctx)->role != NutUser::Role::Primary) return Err("ACCESS-DENIED");
  const NutUps* u = Find(ctx, w[1]);
  if (!u) return Err("UNKNOWN-UPS");
  u->model->ForceShutdown();
  return Line("OK FSD-SET");
}

// Nothing is writable and there are no instant commands.
NutReply Set(const Words& w, NutClient&, NutContext& ctx) {
  if (w.size() != 5 || !Same(w[1], "VAR")) return Err("INVALID-ARGUMENT");
  const NutUps* u = Find(ctx, w[2]);
  if (!u) return Err("UNKNOWN-UPS");
  return Err(u->model->Variables().count(w[3]) ? "READONLY" : "VAR-NOT-SUPPORTED");
}

NutReply InstCmd(const Words& w, NutClient&, NutContext& ctx) {
  if (w.size() < 3 || w.size() > 4) return Err("INVALID-ARGUMENT");
  if (!Find(ctx, w[1])) return Err("UNKNOWN-UPS");
  return Err("CMD-NOT-SUPPORTED");
}

NutReply Logout(const Words&, NutClient&, NutContext&) { return {"OK Goodbye\n", true}; }
NutReply StartTls(const Words&, NutClient&, NutContext&) { return Err("FEATURE-NOT-CONFIGURED"); }

struct Command {
  const char* name;
  NutReply (*handler)(const Words&, NutClient&, NutContext&);
  bool needsLogin;  // a user and password that match the users file
};

constexpr Command kCommands[] = {
    {"VER", Ver, false},
    {"NETVER", NetVer, false},
    {"HELP", Help, false},
    {"GET", Get, false},
    {"LIST", List, false},
    {"USERNAME", Username, false},
    {"PASSWORD", Password, false},
    {"LOGIN", Login, true},
    {"LOGOUT", Logout, false},
    {"PRIMARY", Primary, true},
    {"MASTER", Primary, true},
    {"FSD", Fsd, true},
    {"SET", Set, true},
    {"INSTCMD", InstCmd, true},
    {"STARTTLS", StartTls, false},
};

NutReply Help(const Words&, NutClient&, NutContext&) {
  std::string text = "Commands:";
  for (const auto& c : kCommands) text += std::string(" ") + c.name;
  return Line(text);
}

}  // namespace

bool SplitWords(const std::string& line, std::vector<std::string>& words) {
  words.clear();
  std::string word;
  bool inWord = false, quoted = false;
  for (std::size_t k = 0; k < line.size(); ++k) {
    const char c = line[k];
    if (c == '\\') {
      if (++k == line.size()) return false;
      word += line[k];
      inWord = true;
    } else if (c == '"') {
      quoted = !quoted;
      inWord = true;  // "" is an empty word
    } else if (!quoted && (c == ' ' || c == '\t')) {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (quoted) return false;
  if (inWord) words.push_back(word);
  return true;
}

std::string Quoted(const std::string& value) {
  std::string q = "\"";
  for (const char c : value) {
    if (c == '"' || c == '\\') q += '\\';
    q += c;
  }
  return q + "\"";
}

NutReply Answer(const std::string& line, NutClient& client, NutContext& ctx) {
  Words w;
  if (!SplitWords(line, w)) return Err("INVALID-ARGUMENT");
  if (w.empty()) return {};
  for (const auto& c : kCommands) {
    if (!Same(w[0], c.name)) continue;
    if (c.needsLogin) {
      if (!client.hasUser) return Err("USERNAME-REQUIRED");
      if (!client.hasPassword) return Err("PASSWORD-REQUIRED");
      if (!Authenticated(client, ctx)) return Err("ACCESS-DENIED");
    }
    return c.handler(w, client, ctx);
  }
  return Err("UNKNOWN-COMMAND");
}

}  // namespace runner
