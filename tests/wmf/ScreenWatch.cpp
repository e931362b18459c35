// Watching a player's window on an X display: grab, find the window, read the code.

#include "tests/wmf/ScreenWatch.h"

#include "platform/dshow/TestPatternCode.h"
#include "tests/wmf/PlayerProcess.h"

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace wmflive {

namespace {

struct Grab {
    Clock::time_point at;
    std::vector<uint8_t> luma; // the whole screen, 8-bit gray
};

// Reads whole screen pictures from the grabber's pipe, each stamped when
// its last byte arrived; keeps the newest few seconds.
class GrabReader {
public:
    GrabReader(int fd, size_t frameBytes) : m_fd(fd), m_frameBytes(frameBytes), m_thread([this] { Run(); }) {}
    ~GrabReader()
    {
        m_stop = true;
        m_thread.join();
        close(m_fd);
    }
    // Waits up to `timeout` for the next picture.
    bool Next(Grab* out, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_ready.wait_for(lock, timeout, [this] { return !m_grabs.empty() || m_ended; }) || m_grabs.empty())
            return false;
        *out = std::move(m_grabs.front());
        m_grabs.pop_front();
        return true;
    }
    bool Ended()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_ended && m_grabs.empty();
    }

private:
    void Run()
    {
        std::vector<uint8_t> frame(m_frameBytes);
        size_t have = 0;
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            const ssize_t n = read(m_fd, frame.data() + have, frame.size() - have);
            if (n <= 0)
                break;
            have += static_cast<size_t>(n);
            if (have < frame.size())
                continue;
            have = 0;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_grabs.push_back({Clock::now(), frame});
            while (m_grabs.size() > 300)
                m_grabs.pop_front();
            m_ready.notify_one();
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ended = true;
        m_ready.notify_one();
    }

    int m_fd;
    size_t m_frameBytes;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<Grab> m_grabs;
    bool m_ended = false;
    std::thread m_thread;
};

struct Spot {
    int x, y;
};

// Top-left corners (on the screen) of every window of exactly that size.
std::vector<Spot> WindowsOfSize(int width, int height, int screenWidth, int screenHeight)
{
    static const std::regex geometry(R"((\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+))");
    std::vector<Spot> spots;
    std::istringstream lines(Run("xwininfo -root -tree 2>/dev/null"));
    std::string line;
    std::smatch m;
    while (std::getline(lines, line)) {
        if (!std::regex_search(line, m, geometry) || std::stoi(m[1]) != width || std::stoi(m[2]) != height)
            continue;
        const Spot s{std::stoi(m[3]), std::stoi(m[4])};
        if (s.x >= 0 && s.y >= 0 && s.x + width <= screenWidth && s.y + height <= screenHeight)
            spots.push_back(s);
    }
    return spots;
}

int CodeAt(const Grab& g, Spot s, int width, int height, int screenWidth)
{
    const uint8_t* origin = g.luma.data() + static_cast<size_t>(s.y) * screenWidth + s.x;
    return ReadTestPatternCode(origin, width, height, screenWidth);
}

std::string ReadWhole(const std::filesystem::path& path)
{
    std::ifstream f(path, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    return text.size() > 400 ? text.substr(text.size() - 400) : text;
}

} // namespace

ScreenWatch WatchOnScreen(Player player, const std::string& url, int width, int height,
    const std::vector<std::string>& options, std::chrono::milliseconds watch)
{
    namespace fs = std::filesystem;
    ScreenWatch r;
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) {
        r.error = "no X display (DISPLAY is not set)";
        return r;
    }
    int screenWidth = 0, screenHeight = 0;
    {
        std::smatch m;
        const std::string root = Run("xwininfo -root 2>/dev/null");
        static const std::regex w(R"(Width: (\d+))"), h(R"(Height: (\d+))");
        if (std::regex_search(root, m, w))
            screenWidth = std::stoi(m[1]);
        if (std::regex_search(root, m, h))
            screenHeight = std::stoi(m[1]);
    }
    if (screenWidth < width || screenHeight < height) {
        r.error = "the screen (" + std::to_string(screenWidth) + " x " + std::to_string(screenHeight) + ") is smaller than the picture";
        return r;
    }
    char temp[] = "/tmp/lumora-screen-XXXXXX";
    if (!mkdtemp(temp)) {
        r.error = "no temporary folder";
        return r;
    }
    const fs::path folder = temp, home = folder / "home", playerLog = folder / "player.log", grabLog = folder / "grab.log";
    std::error_code ec;
    fs::create_directory(home, ec);
    const bool root = geteuid() == 0;
    if (root) // VLC runs as nobody, who keeps its settings there
        for (const auto& p : {folder, home})
            chmod(p.c_str(), 0777);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        r.error = "no pipe";
        fs::remove_all(folder, ec);
        return r;
    }
    constexpr int kGrabsPerSecond = 60;
    r.grabInterval = 1.0 / kGrabsPerSecond;
    PlayerProcess grabber, process;
    const std::string size = std::to_string(screenWidth) + "x" + std::to_string(screenHeight);
    const bool grabbing = grabber.Spawn({"ffmpeg", "-nostdin", "-v", "error", "-f", "x11grab", "-draw_mouse", "0", "-framerate",
                                            std::to_string(kGrabsPerSecond), "-video_size", size, "-i", display, "-f", "rawvideo",
                                            "-pix_fmt", "gray", "-flush_packets", "1", "pipe:1"},
        grabLog.string(), pipeFds[1]);
    close(pipeFds[1]);
    GrabReader reader(pipeFds[0], static_cast<size_t>(screenWidth) * screenHeight);
    auto finish = [&](const std::string& why) {
        process.Stop();
        grabber.Stop();
        r.error = why;
        r.ok = why.empty();
        fs::remove_all(folder, ec);
        return r;
    };
    Grab grab;
    // The screen is grabbed from before the player starts, so its first
    // picture is seen however soon it comes.
    if (!grabbing || !reader.Next(&grab, std::chrono::seconds(10)))
        return finish("the screen grabber did not start: " + ReadWhole(grabLog));

    std::vector<std::string> args;
    switch (player) {
    case Player::Vlc:
        if (root)
            args = {"runuser", "-u", "nobody", "--"};
        args.insert(args.end(), {"env", "HOME=" + home.string(), std::string("DISPLAY=") + display, "cvlc", "--no-audio",
                                    "--vout=xcb_x11", "--no-video-title-show", "--no-osd"});
        break;
    case Player::Mpv:
        args = {"mpv", "--no-config", "--no-terminal", "--no-audio", "--vo=x11", "--no-osc", "--osd-level=0"};
        break;
    case Player::Ffmpeg:
        args = {"ffplay", "-v", "error", "-an", "-window_title", "ffplay"};
        break;
    }
    args.insert(args.end(), options.begin(), options.end());
    args.push_back(url);
    r.connected = Clock::now();
    if (!process.Spawn(args, playerLog.string()))
        return finish(std::string("cannot start ") + args[0]);

    std::deque<Grab> pending; // grabs while the window is not yet known
    std::vector<Spot> spots;
    bool found = false;
    Spot spot{};
    auto lastLook = Clock::now() - std::chrono::seconds(1);
    Clock::time_point deadline = r.connected + std::chrono::seconds(30);
    auto consider = [&](const Grab& g) {
        const int code = CodeAt(g, spot, width, height, screenWidth);
        if (code >= 0 && (r.changes.empty() || r.changes.back().code != code)) {
            if (r.changes.empty())
                deadline = g.at + watch;
            r.changes.push_back({g.at, code});
        }
    };
    while (Clock::now() < deadline) {
        if (process.Ended())
            return finish(std::string(PlayerName(player)) + " ended (status " + std::to_string(process.Status())
                + "): " + ReadWhole(playerLog));
        if (!reader.Next(&grab, std::chrono::milliseconds(200))) {
            if (reader.Ended())
                return finish("the screen grabber stopped: " + ReadWhole(grabLog));
            continue;
        }
        if (found) {
            consider(grab);
            continue;
        }
        pending.push_back(std::move(grab));
        while (pending.size() > 3 * kGrabsPerSecond)
            pending.pop_front();
        if (Clock::now() - lastLook < std::chrono::milliseconds(100))
            continue;
        lastLook = Clock::now();
        spots = WindowsOfSize(width, height, screenWidth, screenHeight);
        // The player's window is the one whose area carries a code; the
        // grabs kept since it opened tell when its first picture came.
        for (const Spot s : spots)
            for (const Grab& g : pending)
                if (!found && CodeAt(g, s, width, height, screenWidth) >= 0) {
                    found = true;
                    spot = s;
                }
        if (found) {
            for (const Grab& g : pending)
                consider(g);
            pending.clear();
        }
    }
    if (r.changes.empty())
        return finish(std::string(PlayerName(player)) + (found ? " window without a frame code" : " showed no picture")
            + " within 30 s (" + std::to_string(spots.size()) + " windows of the picture's size): " + ReadWhole(playerLog));
    return finish({});
}

} // namespace wmflive
