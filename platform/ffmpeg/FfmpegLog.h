#pragma once
// FFmpeg's log goes through our own callback instead of straight to stderr:
// nothing at normal verbosity (the encoder's rate-control remarks would fill
// the console many times a second), its warnings and errors when the console
// is verbose (platform/core/Verbosity.h). Safe to call more than once.

#include <functional>
#include <string_view>

void RouteFfmpegLog();

// A listener for what FFmpeg logs on the calling thread, every line up to
// verbose level, before the console's filter (a caller that must learn from
// the library's words what its result codes do not say). An empty function
// removes it. Routes the log (RouteFfmpegLog) as well.
void ListenToFfmpegLogOnThisThread(std::function<void(int level, std::string_view line)> listener);
