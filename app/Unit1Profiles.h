#pragma once
// The profile edits of the "Network bitrate" list: the system profile's XML
// text edited for a row by plain, case-insensitive substring replacements.

#include <string>

// The bitrate text a row puts into the profile ("32000" for no selection
// and any row outside the list).
const char* ProfileBitrateText(int row);

// Replaces every occurrence of `pattern` (ASCII letters compared without
// regard to case), scanning on after each replacement.
std::string ReplaceAllNoCase(const std::string& text, const std::string& pattern, const std::string& replacement);

// The base profile's text edited for a row: the bitrate, the quality
// attribute removed, and for rows below 5 (no selection included) the
// 240 x 176 frame made 320 x 240.
std::string EditProfileText(const std::string& xml, int row);
