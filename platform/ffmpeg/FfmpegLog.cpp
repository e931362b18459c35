#include "platform/ffmpeg/FfmpegLog.h"

#include "platform/core/Verbosity.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstdarg>
#include <cstdio>

namespace {
thread_local std::function<void(int, std::string_view)> t_listener;

void LogCallback(void* context, int level, const char* format, va_list args)
{
    if (t_listener && level <= AV_LOG_VERBOSE) {
        char text[512];
        va_list copy;
        va_copy(copy, args);
        std::vsnprintf(text, sizeof text, format, copy);
        va_end(copy);
        t_listener(level, text);
    }
    if (level > AV_LOG_WARNING || !VerboseConsole())
        return;
    // One whole line per call, so lines from encoder threads do not mix.
    char line[1024];
    int printPrefix = 1;
    av_log_format_line2(context, level, format, args, line, sizeof line, &printPrefix);
    std::fprintf(stderr, "ffmpeg: %s", line);
}
} // namespace

void RouteFfmpegLog() { av_log_set_callback(LogCallback); }

void ListenToFfmpegLogOnThisThread(std::function<void(int level, std::string_view line)> listener)
{
    RouteFfmpegLog();
    t_listener = std::move(listener);
}
