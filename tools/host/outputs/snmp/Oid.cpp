// Reading and writing object identifiers as dotted text.
#include "tools/host/outputs/snmp/Oid.h"

#include <algorithm>

namespace runner {

std::optional<Oid> ParseOid(const std::string& text) {
  Oid oid;
  std::size_t k = !text.empty() && text[0] == '.' ? 1 : 0;
  if (k == text.size()) return std::nullopt;
  while (k <= text.size()) {
    std::uint64_t arc = 0;
    const std::size_t start = k;
    for (; k < text.size() && text[k] >= '0' && text[k] <= '9'; ++k) {
      arc = arc * 10 + static_cast<unsigned>(text[k] - '0');
      if (arc > 0xFFFFFFFFull) return std::nullopt;
    }
    if (k == start || (k < text.size() && text[k] != '.')) return std::nullopt;
    oid.push_back(static_cast<std::uint32_t>(arc));
    ++k;
  }
  return oid;
}

std::string OidText(const Oid& oid) {
  std::string s;
  for (std::size_t k = 0; k < oid.size(); ++k) s += (k ? "." : "") + std::to_string(oid[k]);
  return s;
}

Oid Join(Oid base, std::initializer_list<std::uint32_t> more) {
  base.insert(base.end(), more.begin(), more.end());
  return base;
}

bool StartsWith(const Oid& oid, const Oid& prefix) {
  return oid.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), oid.begin());
}

}  // namespace runner
