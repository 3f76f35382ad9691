// Object identifiers as the SNMP subagent keeps them: numbers in a vector,
// read from and written as dotted text ("1.3.6.1.2.1.47").
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace runner {

using Oid = std::vector<std::uint32_t>;

// Dotted numbers, a leading dot allowed; none for anything else (an empty
// arc, a sign, a number above 2^32-1).
std::optional<Oid> ParseOid(const std::string& text);
std::string OidText(const Oid& oid);
// `base` followed by `more`.
Oid Join(Oid base, std::initializer_list<std::uint32_t> more);
bool StartsWith(const Oid& oid, const Oid& prefix);

}  // namespace runner
