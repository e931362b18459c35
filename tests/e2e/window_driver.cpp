// The main window, offscreen, pressed by a test from outside the process:
// for tests that must run the window where only a process can go (inside a
// network namespace) and check what it did from elsewhere.
//
//   window_driver SETTINGS ECHO_URL
//
// The window opens in the current folder with SETTINGS and starts streaming
// as `lumora --start` does. Then one command per line on stdin, each answered
// on stdout by "done COMMAND" once the window has handled it:
//   stop     presses Stop
//   start    presses Start
//   source   picks a source in the source list, as a user does while streaming
//   close    closes the window (and ends the program)
// The end of stdin closes the window too, so a test that dies leaves nothing
// running. Error and message boxes are printed instead of shown.
#include "app/Unit1.h"
#include "platform/ui/Application.h"
#include "platform/ui/Dialogs.h"

#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QSocketNotifier>

#include <cstdio>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

void Say(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: window_driver SETTINGS ECHO_URL\n");
        return 2;
    }
    QApplication app(argc, argv);
    Application::Instance().SetExeName((std::filesystem::current_path() / "lumora").string());
    Application::Instance().SetExceptionHandler([](const std::string& text) { Say("error: " + text); });
    SetMessageHandler([](const TMessageRequest& r) {
        Say("message: " + r.Text);
        return r.DefaultResult;
    });

    TStartOptions options;
    options.SettingsFile = argv[1];
    options.EchoUrl = argv[2];
    options.Start = true;
    options.Unseen = true;
    auto form = std::make_unique<TForm1>(options);
    form->show();

    std::string pending;
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        char buf[256];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n <= 0) {
            input.setEnabled(false);
            form->close();
            QApplication::quit();
            return;
        }
        pending.append(buf, static_cast<size_t>(n));
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
            const std::string command = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (command == "stop") {
                form->btnStop->click();
            } else if (command == "start") {
                form->btnStart->click();
            } else if (command == "source") {
                // The next entry (the same one in a list of one), with the
                // list's own signal, as a pick with the mouse sends it.
                const int count = form->cbSource->count();
                const int index = count > 0 ? (form->cbSource->currentIndex() + 1) % count : -1;
                form->cbSource->setCurrentIndex(index);
                emit form->cbSource->activated(index);
            } else if (command == "close") {
                form->close();
                Say("done close");
                QApplication::quit();
                return;
            } else {
                Say("unknown command: " + command);
                continue;
            }
            Say("done " + command);
        }
    });
    const int result = app.exec();
    form.reset();
    return result;
}
