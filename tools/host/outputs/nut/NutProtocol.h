// The NUT network protocol's commands (RFC 9271) as answered by the gateway:
// splitting a line into words, one table of commands (name, handler, whether
// it needs a login), and each command's reply. No sockets: NutServer feeds it
// lines.
#pragma once
#include <list>
#include <string>
#include <vector>

#include "tools/host/outputs/nut/NutModel.h"
#include "tools/host/outputs/nut/NutUsers.h"
#include "tools/host/stream/Observation.h"

namespace runner {

// One connection's state.
struct NutClient {
  std::string address;  // the client's IP address, for LIST CLIENT
  std::string user, password;
  bool hasUser = false, hasPassword = false;
  bool loggedIn = false;  // LOGIN done: counted in NUMLOGINS of `ups`
  std::string ups;        // the UPS it logged in to
};

// One UPS the server answers for: one per power system.
struct NutUps {
  std::string name, description;
  NutModel* model = nullptr;
};

// What the commands read and change beyond the connection.
struct NutContext {
  std::vector<NutUps> ups;  // in LIST UPS order
  const std::vector<NutUser>* users = nullptr;
  const std::list<NutClient*>* clients = nullptr;  // every open connection
  Millis now = 0;
};

struct NutReply {
  std::string text;    // one or more lines, each ending in '\n'; empty: nothing to send
  bool close = false;  // close the connection once the text is sent
};

// The words of a line: separated by spaces or tabs, "double quotes" group,
// a backslash takes the next character as it is. False on an open quote or
// a trailing backslash.
bool SplitWords(const std::string& line, std::vector<std::string>& words);
// A value in double quotes, its backslashes and quotes escaped.
std::string Quoted(const std::string& value);

// The reply to one line (without its newline).
NutReply Answer(const std::string& line, NutClient& client, NutContext& ctx);

}  // namespace runner
