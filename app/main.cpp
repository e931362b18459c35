// Program entry: initialise the application, create the main window, run the
// message loop until the window closes.
#include "app/ProgramFolders.h"
#include "app/Unit1.h"
#include "app/AntiFreeze.h"
#include "app/SignalWatchdog.h"
#include "platform/core/Verbosity.h"
#include "platform/ui/Application.h"
#include "platform/ui/QtMessages.h"
#include "platform/ui/UnattendedDialogs.h"
#include "platform/ffmpeg/FfmpegLog.h"

#include <QApplication>
#include <QDialog>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <fcntl.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};
TSignalWatchdog* g_watchdog = nullptr;

void OnSignal(int)
{
    const int saved = errno;
    const char c = 1;
    [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &c, 1);
    if (g_watchdog)
        g_watchdog->Arm();
    errno = saved;
}

void PrintUsage(FILE* to)
{
    std::fprintf(to, "usage: lumora [--start] [--settings FILE] [--echo-url URL] [--verbose] [--relay URL]\n"
                     "  --start           start streaming as soon as the window is created\n"
                     "  --settings FILE   read and write the settings in FILE\n"
                     "  --echo-url URL    the public-address echo service (default http://checkip.dyndns.org/;\n"
                     "                    the environment variable LUMORA_ECHO_URL does the same)\n"
                     "  --verbose         also show the warnings and errors of FFmpeg and Qt\n"
                     "                    (the environment variable LUMORA_DEBUG=1 does the same)\n"
                     "  --relay URL       relay the stream to rtmp://host/app/streamkey for this run (not saved)\n");
}

// Parses the command line; false (after printing why) when it is not usable.
bool ParseOptions(int argc, char** argv, TStartOptions& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "lumora: %s needs a value\n", name);
                return nullptr;
            }
            return argv[++i];
        };
        if (arg == "--start") {
            options.Start = true;
        } else if (arg == "--settings") {
            const char* v = value("--settings");
            if (!v)
                return false;
            options.SettingsFile = v;
        } else if (arg == "--echo-url") {
            const char* v = value("--echo-url");
            if (!v)
                return false;
            options.EchoUrl = v;
        } else if (arg == "--verbose") {
            options.Verbose = true;
        } else if (arg == "--relay") {
            const char* v = value("--relay");
            if (!v)
                return false;
            options.RelayUrl = v;
        } else if (arg == "--help" || arg == "-h") {
            PrintUsage(stdout);
            std::exit(0);
        } else {
            std::fprintf(stderr, "lumora: unknown option %s\n", arg.c_str());
            PrintUsage(stderr);
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    TStartOptions options;
    if (!ParseOptions(argc, argv, options))
        return 2;

    if (options.Verbose)
        SetVerboseConsole(true);
    FilterQtMessages();
    RouteFfmpegLog();

    const bool offscreen = SelectOffscreenWhenHeadless();
    QApplication app(argc, argv);
    // The documents written at start-up resolve against the working folder;
    // from "/" (a service) or a read-only folder they go to the user's data folder.
    EnterWritableDataFolder(Application::Instance().ExeName(), options.SettingsFile);
    QApplication::setApplicationName("Lumora");
    QApplication::setQuitOnLastWindowClosed(true);

    if (offscreen) {
        std::printf("Lumora is running without a display (offscreen); stop it with Ctrl+C.\n");
        std::fflush(stdout);
    }

    // SIGINT and SIGTERM ask the window to close as its close button does,
    // so the settings are saved and the graph is torn down. A request that
    // waits on a peer is given up, open dialogs are dismissed, and no new
    // one waits for an answer. A program that has still not ended 10 seconds
    // later is ended by the watchdog, whatever the main thread is doing.
    // Installed before the window is created, so a signal during start-up
    // (an automatic start waiting on the echo service) is honoured too.
    TSignalWatchdog watchdog({TProgramFiles {}.WanPageFile()});
    g_watchdog = &watchdog;
    if (::pipe2(g_signalPipe, O_CLOEXEC) == 0) {
        auto* notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [] {
            char buf[16];
            [[maybe_unused]] ssize_t n = ::read(g_signalPipe[0], buf, sizeof buf);
            static bool ending = false;
            if (ending)
                return;
            ending = true;
            SetDialogsUnattended();
            if (auto* form = dynamic_cast<TForm1*>(Application::Instance().MainForm()))
                if (form->AntiFreeze && form->AntiFreeze->Busy())
                    form->AntiFreeze->Abandon();
            while (QWidget* modal = QApplication::activeModalWidget()) {
                if (auto* dialog = qobject_cast<QDialog*>(modal))
                    dialog->reject();
                else
                    modal->close();
                if (QApplication::activeModalWidget() == modal)
                    break;
            }
            // Once the dialogs' own loops, any start-up and the request
            // given up have returned. A timer (not a posted call, which the
            // request's own event pumping would run too early and lose) that
            // waits while a request is still winding down.
            auto* closer = new QTimer(QCoreApplication::instance());
            closer->setInterval(50);
            QObject::connect(closer, &QTimer::timeout, closer, [closer] {
                auto* form = dynamic_cast<TForm1*>(Application::Instance().MainForm());
                if (form && form->AntiFreeze && form->AntiFreeze->Busy())
                    return;
                closer->stop();
                if (QWidget* window = Application::Instance().MainForm())
                    window->close();
                else
                    QApplication::quit();
            });
            closer->start();
        });
        struct sigaction sa {};
        sa.sa_handler = OnSignal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, nullptr);
        sigaction(SIGTERM, &sa, nullptr);
    }

    int result = 0;
    {
        options.Unseen = offscreen;
        TForm1 form(options);
        form.show();
        result = app.exec();
    }
    // The watchdog must not run during static destruction.
    g_watchdog = nullptr;
    return result;
}
