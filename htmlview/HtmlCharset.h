#pragma once
// Pages written in UTF-8. The viewer holds text as Windows-1252 bytes, so a
// page that says it is UTF-8 (a byte order mark, or a META charset in its
// head) is turned into Windows-1252 before it is parsed. A character that
// Windows-1252 does not have becomes "?", as a numeric character reference
// above 255 does.

#include <cstdint>
#include <string>
#include <string_view>

// True when text begins with the UTF-8 byte order mark, or a META tag before
// the BODY (within the first 8 KB) names the charset "utf-8" -- either
// <meta charset="utf-8"> or <meta http-equiv="Content-Type"
// content="text/html; charset=utf-8">.
bool DeclaresUtf8(std::string_view html);

// UTF-8 text as Windows-1252 bytes. A leading byte order mark is dropped. A
// byte that does not start a well-formed sequence (a Latin-1 page mislabelled
// as UTF-8) is kept as the Windows-1252 byte it is.
std::string Utf8ToCp1252(std::string_view text);
