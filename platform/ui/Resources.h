#pragma once
// Documents compiled into the program, found by name, and the small file
// helpers the program uses to write them out.

#include <string>
#include <string_view>

// Registers a named document (the data must live for the whole process).
void RegisterResource(const std::string& name, std::string_view data);
// The document's bytes; raises "Resource %s not found" for an unknown name.
std::string_view FindResourceData(const std::string& name);

// Creates (or truncates) the file and writes the data into it; raises
// "Cannot create file "%s". %s" with the system's reason on failure.
void WriteFileFromData(const std::string& fileName, std::string_view data);
// Copies a registered document to a file (create or truncate).
void SaveResourceToFile(const std::string& resourceName, const std::string& fileName);

bool FileExists(const std::string& fileName);
// Removes a file; a missing file or a failure is ignored.
void DeleteFileQuietly(const std::string& fileName);
