// The two moments a user waits for: from launch to the window on screen, and
// from pressing Start to the first byte of stream data at a viewer. Runs
// offscreen with the test source on loopback and prints each median against
// its target (ratio below 1 is inside the target).
#include "app/Unit1.h"
#include "bench/support/BenchSupport.h"
#include "media/MediaKit.h"
#include "platform/ui/Application.h"
#include "platform/ui/Dialogs.h"
#include "tests/support/TestSupport.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Milliseconds until the first byte after the HTTP reply's headers arrives.
double FirstStreamByte(int port, QElapsedTimer& clock)
{
    const int fd = bench::OpenLoopback(port, "GET / HTTP/1.0\r\nUser-Agent: bench\r\n\r\n");
    if (fd < 0)
        return -1;
    std::string got;
    char buf[4096];
    double at = -1;
    while (at < 0) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0)
            break;
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
        const size_t end = got.find("\r\n\r\n");
        if (end != std::string::npos && got.size() > end + 4)
            at = clock.nsecsElapsed() / 1e6;
    }
    close(fd);
    return at;
}

} // namespace

int main(int argc, char** argv)
{
    SelectOffscreenWhenHeadless();
    QElapsedTimer launch;
    launch.start();
    QApplication app(argc, argv);
    const std::filesystem::path dir = std::filesystem::temp_directory_path() / "lumora-bench-app";
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
    Application::Instance().SetExeName((dir / "lumora").string());
    Application::Instance().SetExceptionHandler([](const std::string& t) { std::fprintf(stderr, "error: %s\n", t.c_str()); });
    SetMessageHandler([](const TMessageRequest& r) {
        std::fprintf(stderr, "dialog: %s\n", r.Text.c_str());
        return r.DefaultResult;
    });

    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
    std::vector<double> shown, firstByte;
    bool first = true;
    for (int i = 0; i < runs; ++i) {
        std::filesystem::remove(dir / "lumora.ini");
        QElapsedTimer clock;
        clock.start();
        TStartOptions options;
        options.EchoUrl = "http://127.0.0.1:" + std::to_string(testsupport::FreeTcpPort()) + "/";
        TForm1 form(options);
        form.show();
        QApplication::processEvents();
        // The first run includes creating the application object, as a launch does.
        shown.push_back((first ? launch.nsecsElapsed() : clock.nsecsElapsed()) / 1e6);
        first = false;

        const int port = testsupport::FreeTcpPort();
        form.edPort->setText(QString::number(port));
        form.cbSource->setCurrentIndex(form.cbSource->count() - 1);
        QElapsedTimer start;
        start.start();
        form.btnStartClick();
        firstByte.push_back(FirstStreamByte(port, start));
        form.btnStopClick();
        form.FilterGraph1->SetActive(false);
    }
    const double shownMs = Median(shown);
    const double byteMs = Median(firstByte);
    std::printf("launch to window shown: median %.1f ms over %d runs (first, with application start: %.1f ms); "
                "target 300 ms; ratio %.2f\n",
                shownMs, runs, shown.front(), shownMs / 300.0);
    std::printf("Start to first stream byte at a loopback client: median %.1f ms; target 1000 ms; ratio %.2f\n", byteMs,
                byteMs / 1000.0);
    return 0;
}
