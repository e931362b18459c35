#include "app/SnapshotUploader.h"

#include "live/browser/JpegEncoder.h"
#include "net/NetFTPPublish.h"
#include "platform/wmf/PictureTap.h"

#include <QMetaObject>
#include <QTime>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

// Keeps the newest picture of the tap (the encoding thread publishes; the
// upload thread takes).
class TNewestPicture final : public IPictureObserver {
public:
    void OnPicture(const TappedPicture& picture) override
    {
        {
            std::lock_guard lock(m_lock);
            m_picture = picture;
        }
        m_arrived.notify_all();
    }
    // The newest picture, waiting up to `wait` for a first one; empty on none.
    TappedPicture Take(std::chrono::milliseconds wait, const std::function<bool()>& stop)
    {
        std::unique_lock lock(m_lock);
        m_arrived.wait_for(lock, wait, [&] { return m_picture.i420 || stop(); });
        return m_picture;
    }
    void Poke() { m_arrived.notify_all(); }

private:
    std::mutex m_lock;
    std::condition_variable m_arrived;
    TappedPicture m_picture;
};

namespace {

void WriteWholeFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    // Private to the user, and a link in its place is refused.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        throw Exception("Cannot create file \"" + path + "\". " + std::strerror(errno));
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int e = errno;
            ::close(fd);
            throw Exception("Cannot write file \"" + path + "\". " + std::strerror(e));
        }
        done += static_cast<size_t>(n);
    }
    ::close(fd);
}

} // namespace

// One Start to Stop: what its thread needs, shared with it, so that a
// stopped run can finish its upload after the uploader has moved on.
struct TSnapshotUploader::Run {
    TSnapshotSettings settings;
    std::shared_ptr<TNewestPicture> newest = std::make_shared<TNewestPicture>();
    std::mutex lock;
    std::condition_variable wake;
    bool stop = false;
    std::atomic<bool> ended{false};

    bool Stopped()
    {
        std::lock_guard guard(lock);
        return stop;
    }
    void Loop(const QPointer<QObject>& context, const Report& report, const std::shared_ptr<std::atomic<bool>>& alive);
};

TSnapshotUploader::TSnapshotUploader(QObject* context, Report report)
    : m_context(context), m_report(std::move(report)), m_alive(std::make_shared<std::atomic<bool>>(true))
{
}

TSnapshotUploader::~TSnapshotUploader()
{
    Stop();
    *m_alive = false;
    for (auto& [run, thread] : m_threads)
        thread.join();
}

void TSnapshotUploader::Start(std::shared_ptr<PictureTap> tap, TSnapshotSettings settings)
{
    Stop();
    Reap();
    if (!tap)
        return;
    // Each run its own local file: a stopped run may still be sending its own.
    const std::filesystem::path local(settings.LocalFile);
    settings.LocalFile =
        (local.parent_path() / (local.stem().string() + "-" + std::to_string(++m_runs) + local.extension().string()))
            .string();
    m_run = std::make_shared<Run>();
    m_run->settings = std::move(settings);
    m_tap = std::move(tap);
    m_tap->Add(m_run->newest);
    m_threads.emplace_back(m_run, std::thread([run = m_run, context = m_context, report = m_report, alive = m_alive] {
        run->Loop(context, report, alive);
    }));
}

void TSnapshotUploader::Stop()
{
    if (!m_run)
        return;
    if (m_tap)
        m_tap->Remove(m_run->newest.get());
    {
        std::lock_guard lock(m_run->lock);
        m_run->stop = true;
    }
    m_run->wake.notify_all();
    m_run->newest->Poke();
    m_tap.reset();
    m_run.reset();
}

bool TSnapshotUploader::Working() const
{
    return std::any_of(m_threads.begin(), m_threads.end(), [](const auto& entry) { return !entry.first->ended; });
}

void TSnapshotUploader::Reap()
{
    for (auto it = m_threads.begin(); it != m_threads.end();) {
        if (it->first->ended) {
            it->second.join();
            it = m_threads.erase(it);
        } else {
            ++it;
        }
    }
}

namespace {
// One upload of the newest picture; the status text, or raises.
std::string UploadOnce(const TSnapshotSettings& settings, TNewestPicture& newest);
} // namespace

void TSnapshotUploader::Run::Loop(
    const QPointer<QObject>& context, const Report& report, const std::shared_ptr<std::atomic<bool>>& alive)
{
    auto stopped = [this] { return Stopped(); };
    // The first picture as soon as there is one; then one per interval.
    while (!stopped() && !newest->Take(std::chrono::milliseconds(200), stopped).i420) {
    }
    while (!stopped()) {
        const auto began = std::chrono::steady_clock::now();
        bool ok = true;
        std::string text;
        try {
            text = UploadOnce(settings, *newest);
        } catch (const std::exception& e) {
            ok = false;
            text = e.what();
        }
        if (stopped())
            break;
        if (QObject* target = context.data())
            QMetaObject::invokeMethod(
                target, [report, alive, ok, text] {
                    if (*alive)
                        report(ok, text);
                },
                Qt::QueuedConnection);
        std::unique_lock guard(lock);
        wake.wait_until(guard, began + settings.Interval, [this] { return stop; });
    }
    ::unlink(settings.LocalFile.c_str());
    ended = true;
}

namespace {

std::string UploadOnce(const TSnapshotSettings& settings, TNewestPicture& newest)
{
    const TappedPicture picture = newest.Take(std::chrono::milliseconds(0), [] { return true; });
    if (!picture.i420)
        throw Exception("no picture yet");
    std::vector<uint8_t> jpeg;
    JpegEncoder encoder;
    if (!encoder.Encode(picture.i420->data(), picture.width, picture.height, settings.Quality, &jpeg))
        throw Exception("the picture could not be encoded as JPEG");
    WriteWholeFile(settings.LocalFile, jpeg);

    TNetFTP ftp;
    ftp.SetHost(settings.Host);
    ftp.SetPort(settings.Port);
    ftp.SetUsername(settings.Username);
    ftp.SetPassword(settings.Password);
    ftp.SetTransferType(ftBinary);
    ftp.SetMaxLineAction(maException);
    ftp.SetSecurity(settings.Security);
    ftp.SetTrustedFingerprint(settings.TrustedFingerprint);
    ftp.SetPassiveFallback(true);
    ftp.SetReadTimeout(settings.ReplyTimeoutMs);
    ftp.SetDataAcceptTimeout(std::min(5000, settings.ReplyTimeoutMs));
    std::string text;
    try {
        ftp.OpenSession(true, settings.ReplyTimeoutMs);
        const TNetFTPPublishResult result = PublishFile(ftp, settings.LocalFile, settings.RemoteName);
        text = "Uploaded " + settings.RemoteName + " to " + settings.Host + " at " +
               QTime::currentTime().toString("HH:mm").toStdString() +
               (result.TLS ? " over " + ftp.TLSProtocol() : std::string(" over plain FTP")) +
               ReplaceMethodNote(result.Method);
    } catch (...) {
        try {
            if (ftp.IsConnected())
                ftp.CloseConnection();
        } catch (const std::exception&) {
        }
        throw;
    }
    try {
        if (ftp.IsConnected())
            ftp.QuitSession();
    } catch (const std::exception&) {
        ftp.CloseConnection();
    }
    return text;
}

} // namespace
