#pragma once
// The character entity names the parser knows, in two tables: the names that
// yield Windows-1252 text directly (the Latin-1 names and a few that the
// viewer writes as ASCII), and HTML 4's other names by their code points.

#include <cstdint>
#include <string>
#include <string_view>

// Looks an entity name up (case-sensitive); false when unknown.
bool LookupEntity(const std::string& name, std::string& result);

// The code point of an HTML 4 character entity name that is not one of the
// Latin-1 names (for example "bull", "mdash", "euro", "alpha"); 0 when the
// name is not one.
std::uint32_t Html4EntityCodePoint(std::string_view name);
