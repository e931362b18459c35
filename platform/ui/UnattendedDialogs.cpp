#include "platform/ui/UnattendedDialogs.h"

#include <QGuiApplication>

#include <atomic>
#include <cstdio>

namespace {
std::atomic<bool> g_ending {false};
}

bool DialogsUnattended()
{
    return g_ending || QGuiApplication::platformName() == QLatin1String("offscreen");
}

void SetDialogsUnattended() { g_ending = true; }

std::string UnattendedLine(const TMessageRequest& request)
{
    std::string line = request.Caption.empty() ? std::string() : request.Caption + ": ";
    bool blank = true; // no blank after the caption's, none leading
    for (char c : request.Text) {
        const bool space = c == '\r' || c == '\n' || c == '\t' || c == ' ';
        if (space) {
            if (!blank)
                line += ' ';
            blank = true;
        } else {
            line += c;
            blank = false;
        }
    }
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line;
}

std::optional<TModalResult> AnswerUnattended(const TMessageRequest& request)
{
    if (!DialogsUnattended())
        return std::nullopt;
    std::fprintf(stderr, "%s\n", UnattendedLine(request).c_str());
    std::fflush(stderr);
    return request.DefaultResult;
}
