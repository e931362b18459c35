#include "platform/wmf/FfmpegLog.h"

#include "platform/core/Verbosity.h"

extern "C" {
#include <libavutil/log.h>
}

#include <cstdarg>
#include <cstdio>

namespace {
void LogCallback(void* context, int level, const char* format, va_list args)
{
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
