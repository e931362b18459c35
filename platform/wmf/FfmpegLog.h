#pragma once
// FFmpeg's log goes through our own callback instead of straight to stderr:
// nothing at normal verbosity (the encoder's rate-control remarks would fill
// the console many times a second), its warnings and errors when the console
// is verbose (platform/core/Verbosity.h). Safe to call more than once.

void RouteFfmpegLog();
