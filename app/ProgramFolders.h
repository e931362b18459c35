// Where an installed program keeps what it writes. A program run from its
// build folder keeps the historic places (settings beside the program,
// documents in the working folder); an installed one never writes into its
// installation prefix.
#pragma once

#include <string>

// True when exePath sits in the bin folder of an installation: the folder is
// called "bin" and the installation's desktop entry lies beside it under
// share/applications. The same binary run from the build folder is not.
bool IsInstalledProgram(const std::string& exePath);

// $XDG_DATA_HOME/lumora (default ~/.local/share/lumora), created if missing;
// empty when neither XDG_DATA_HOME nor HOME is set.
std::string UserDataFolder();

// The folder that the embedded documents ("template.htm", "help.htm") and other
// bare file names should resolve against: workingDir itself when it is
// writable, is not "/" and (for an installed program) is not inside the
// installation prefix; UserDataFolder() otherwise (workingDir when that is empty).
std::string WritableDataFolder(const std::string& workingDir, const std::string& exePath);

// Changes the process's working folder to WritableDataFolder() of the current
// one. A relative settingsFile given on the command line is made absolute
// first, so it still names the file the user meant. Returns the folder
// entered, or an empty string when it stays put.
std::string EnterWritableDataFolder(const std::string& exePath, std::string& settingsFile);
