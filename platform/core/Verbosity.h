#pragma once
// How much the program says on its console. At normal verbosity only the
// program's own lines appear; verbose adds the libraries' warnings and errors
// (FFmpeg, Qt). LUMORA_DEBUG=1 in the environment selects verbose at start;
// the program's --verbose option does the same.

bool VerboseConsole();
void SetVerboseConsole(bool verbose);
