// Live-edge figures of the served stream, every bitrate row side by side in
// one run (bench_wmf live [seconds]): the test source into the writer and
// the network sink, as Start builds it; after `seconds` (60 by default) a
// late joiner connects with ffmpeg over http:// and mmsh://.
//
//   connect -> first picture   ffmpeg started until it had decoded a picture
//   behind capture             the source's frame counter at that moment
//                              minus the frame code in the picture
//   fps, max gap, key spacing  ffprobe's packets over 15 s (mmsh://)
//   bytes                      a plain client over the whole run vs the row

#include "platform/dshow/TestPatternCode.h"
#include "tests/wmf/LiveRig.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <thread>

namespace {

using wmflive::Clock;

struct RowFigures {
    wmflive::Row row{};
    std::string error;
    double connectHttp = -1, connectMmsh = -1, behindHttp = 1e9, behindMmsh = 1e9;
    double connectQuick = -1, behindQuick = 1e9; // http, without the player's frame-rate probe
    wmflive::PacketTable table;
    double bitsPerSecond = 0;
};

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The frame code unwrapped near the source's count at `t`: seconds behind.
double Behind(const wmflive::LiveRig& rig, const wmflive::FirstPicture& p)
{
    if (!p.ok)
        return 1e9;
    const double now = rig.FrameAt(p.decoded);
    const double period = (1 << kTestPatternCodeBits) * kTestPatternCodeStep;
    const double shown = p.code + period * std::round((now - p.code) / period);
    return (now - shown) / rig.SourceFps();
}

void Measure(RowFigures& f, int seconds)
{
    wmflive::LiveRig rig;
    if (!rig.Start(f.row, &f.error))
        return;
    // A plain client counts what a viewer receives over the whole run.
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> bytes{0};
    Clock::time_point countFrom;
    std::thread counter([&] {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(rig.Port()));
        if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(fd);
            return;
        }
        const char request[] = "GET / HTTP/1.0\r\nUser-Agent: bench\r\n\r\n";
        send(fd, request, sizeof request - 1, MSG_NOSIGNAL);
        char buf[65536];
        const auto start = Clock::now();
        bool counting = false;
        while (!stop) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            const ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            // The first 5 s hold the header and the join; count after them.
            if (!counting && Clock::now() - start > std::chrono::seconds(5)) {
                counting = true;
                countFrom = Clock::now();
            }
            if (counting)
                bytes += static_cast<uint64_t>(n);
        }
        close(fd);
    });
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    const auto http = wmflive::FirstDecodedPicture(rig.Url(), f.row.width, f.row.height);
    const auto mmsh = wmflive::FirstDecodedPicture(rig.Url("mmsh"), f.row.width, f.row.height);
    const auto quick = wmflive::FirstDecodedPicture(rig.Url(), f.row.width, f.row.height, "-fpsprobesize 0");
    if (quick.ok) {
        f.connectQuick = Seconds(quick.decoded - quick.connected);
        f.behindQuick = Behind(rig, quick);
    }
    if (http.ok) {
        f.connectHttp = Seconds(http.decoded - http.connected);
        f.behindHttp = Behind(rig, http);
    } else {
        f.error += "http: " + http.error;
    }
    if (mmsh.ok) {
        f.connectMmsh = Seconds(mmsh.decoded - mmsh.connected);
        f.behindMmsh = Behind(rig, mmsh);
    } else {
        f.error += "mmsh: " + mmsh.error;
    }
    f.table = wmflive::ProbePackets(rig.Url("mmsh"), 15);
    stop = true;
    const auto end = Clock::now();
    counter.join();
    if (countFrom.time_since_epoch().count())
        f.bitsPerSecond = bytes * 8.0 / Seconds(end - countFrom);
}

} // namespace

int Live(int seconds)
{
    std::vector<RowFigures> rows(7);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < rows.size(); ++i) {
        rows[i].row = wmflive::kRows[i];
        threads.emplace_back([&rows, i, seconds] { Measure(rows[i], seconds); });
    }
    for (auto& t : threads)
        t.join();
    std::printf("live: test source -> writer -> network sink, every row at once; late joiner (ffmpeg) after %d s\n", seconds);
    std::printf("  row  bit/s   connect->picture http/mmsh/quick   behind capture http/mmsh/quick   fps   max gap  key spacing  bytes/row\n");
    int status = 0;
    for (const auto& f : rows) {
        if (!f.error.empty())
            std::printf("  row %d: %s\n", f.row.index, f.error.c_str());
        std::printf("  %d  %6u    %5.2f / %5.2f / %5.2f s            %5.2f / %5.2f / %5.2f s          %5.2f  %5.2f s   %5.2f s     %5.3f%s\n",
            f.row.index, f.row.bitrate, f.connectHttp, f.connectMmsh, f.connectQuick, f.behindHttp, f.behindMmsh, f.behindQuick,
            f.table.FramesPerSecond(),
            f.table.MaxGap(), f.table.MaxKeySpacing(), f.bitsPerSecond / f.row.bitrate, f.table.FirstIsKey() ? "" : "  (first packet not key)");
        if (!f.error.empty())
            status = 1;
    }
    std::printf("  quick = ffmpeg -fpsprobesize 0 over http:// (without the 40 frames FFmpeg's ASF reader\n"
                "  otherwise gathers to guess the frame rate before its first picture)\n");
    std::printf("  targets: connect < 0.5 s, behind < 1 s, fps >= 12 (rows 0-3) / 8 (4-6), gap <= 0.5 s, key spacing <= 8 s, bytes within 10 %%\n");
    return status;
}
