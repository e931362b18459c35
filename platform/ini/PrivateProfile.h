#pragma once
// INI ("private profile") files with the semantics programs expect from the
// classic Windows functions: section and key names compare case-insensitively,
// a missing key yields the caller's default, values come back through the
// caller's buffer (at most size - 1 characters), and a write creates the file
// and the section as needed.
//
// Only a regular file of at most 1 MB is read: a FIFO, a device or a larger
// file counts as missing, and opening it never waits.
//
// Writes replace the file atomically (a temporary file in the same folder,
// then rename) and give it mode 0600, since the settings hold a password.

#include <cstdint>
#include <string>

// Why the settings file cannot be read as one: "" when it is readable or
// missing, else a line naming the file and what it is (not a regular file,
// or larger than 1 MB). Never opens the file.
std::string SettingsFileRefusal(const std::string& fileName);

// Copies the value (or `def` when the key is missing) into buffer, cut to
// size - 1 characters and NUL-terminated; returns the number of characters
// copied. Surrounding blanks are removed, and a value quoted at both ends
// loses the quotes.
uint32_t GetPrivateProfileStringA(const char* section, const char* key, const char* def, char* buffer,
                                  uint32_t size, const char* fileName);

// Writes key=value into the section. A null value deletes the key, a null key
// the whole section. Returns false (errno set) when the file cannot be written.
bool WritePrivateProfileStringA(const char* section, const char* key, const char* value, const char* fileName);

// The integer value of a key (decimal digits after optional blanks and sign),
// or def when the key is missing or does not start with a number.
int32_t GetPrivateProfileIntA(const char* section, const char* key, int32_t def, const char* fileName);
