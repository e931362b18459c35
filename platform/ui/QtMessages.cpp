#include "platform/ui/QtMessages.h"

#include "platform/core/Verbosity.h"

#include <QString>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>

namespace {
void Handler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    const bool libraryChatter = type == QtDebugMsg || type == QtInfoMsg || type == QtWarningMsg;
    if (libraryChatter && !VerboseConsole())
        return;
    std::fprintf(stderr, "%s\n", qFormatLogMessage(type, context, message).toLocal8Bit().constData());
    if (type == QtFatalMsg)
        std::abort();
}
} // namespace

void FilterQtMessages() { qInstallMessageHandler(Handler); }
